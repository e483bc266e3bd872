// PowerPoint is driven through Apple Events, which exist only on macOS; on this system its
// controller explains that and does nothing.
#pragma once

#include "app/control/presentation_controller.h"

namespace pavonix {

class PowerPointController final : public PresentationController {
public:
    static constexpr std::string_view unavailableMessage =
        "PowerPoint can only be controlled on macOS.";

    bool isAvailable(std::string_view applicationName) override;
    CommandResult perform(const PresentationCommand& command,
                          std::string_view applicationName) override;
    SlideListResult listSlides(std::string_view applicationName) override;
};

}  // namespace pavonix
