// One presentation application, as the model drives it: is it there, do this, list the slides.
#pragma once

#include <string_view>

#include "app/core/presentation_command.h"
#include "app/core/slide_list_result.h"

namespace pavonix {

// Every outcome is a value: a controller never throws, and a failure is a result with status
// failed and a message the user can act on. The application name is the model's description of
// the target ("Keynote", "Microsoft PowerPoint", the saved window's title).
class PresentationController {
public:
    virtual ~PresentationController() = default;

    virtual bool isAvailable(std::string_view applicationName) = 0;
    virtual CommandResult perform(const PresentationCommand& command,
                                  std::string_view applicationName) = 0;
    virtual SlideListResult listSlides(std::string_view applicationName) = 0;
};

}  // namespace pavonix
