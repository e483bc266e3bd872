// PowerPoint is driven through Apple Events, which exist only on macOS; on this system its
// controller explains that and does nothing.
#pragma once

#include "app/control/unavailable_controller.h"

namespace pavonix {

class PowerPointController final : public UnavailableController {
public:
    static constexpr std::string_view unavailableMessage = "PowerPoint can only be controlled on macOS.";

    PowerPointController() : UnavailableController(unavailableMessage) {}
};

}  // namespace pavonix
