#include "app/control/power_point_controller.h"

namespace pavonix {

bool PowerPointController::isAvailable(std::string_view) { return false; }

CommandResult PowerPointController::perform(const PresentationCommand& command, std::string_view) {
    return CommandResult::failed(command, std::string(unavailableMessage));
}

SlideListResult PowerPointController::listSlides(std::string_view) {
    return {ResultStatus::failed, std::string(unavailableMessage), {}};
}

}  // namespace pavonix
