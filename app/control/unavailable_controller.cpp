#include "app/control/unavailable_controller.h"

#include <string>

namespace pavonix {

bool UnavailableController::isAvailable(std::string_view) { return false; }

CommandResult UnavailableController::perform(const PresentationCommand& command, std::string_view) {
    return CommandResult::failed(command, std::string(message_));
}

SlideListResult UnavailableController::listSlides(std::string_view) {
    return {ResultStatus::failed, std::string(message_), {}};
}

}  // namespace pavonix
