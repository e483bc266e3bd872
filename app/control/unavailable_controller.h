// A controller for an application that does not run on this system: never available, and every
// request fails with the one message that says so.
#pragma once

#include <string_view>

#include "app/control/presentation_controller.h"

namespace pavonix {

class UnavailableController : public PresentationController {
public:
    bool isAvailable(std::string_view applicationName) final;
    CommandResult perform(const PresentationCommand& command, std::string_view applicationName) final;
    SlideListResult listSlides(std::string_view applicationName) final;

protected:
    // `message` must outlive the controller (the subclasses pass their static text).
    explicit UnavailableController(std::string_view message) : message_(message) {}

private:
    std::string_view message_;
};

}  // namespace pavonix
