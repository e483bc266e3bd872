#include "app/control/keynote_controller.h"

namespace pavonix {

bool KeynoteController::isAvailable(std::string_view) { return false; }

CommandResult KeynoteController::perform(const PresentationCommand& command, std::string_view) {
    return CommandResult::failed(command, std::string(unavailableMessage));
}

SlideListResult KeynoteController::listSlides(std::string_view) {
    return {ResultStatus::failed, std::string(unavailableMessage), {}};
}

}  // namespace pavonix
