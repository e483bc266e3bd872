// Keynote runs only on macOS; on this system its controller explains that and does nothing.
#pragma once

#include "app/control/unavailable_controller.h"

namespace pavonix {

class KeynoteController final : public UnavailableController {
public:
    static constexpr std::string_view unavailableMessage = "Keynote can only be controlled on macOS.";

    KeynoteController() : UnavailableController(unavailableMessage) {}
};

}  // namespace pavonix
