// Google Slides in a browser window: the saved window is focused and sent the keys the
// presentation editor understands. There is no scripting interface, so named slides and slide
// lists are not offered.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/control/presentation_controller.h"
#include "platform/x11/window_system.h"

namespace pavonix {

class GoogleSlidesController final : public PresentationController {
public:
    // The saved window's id (the `googleSlidesWindowID` setting); 0 when none is saved.
    using SelectedWindowID = std::function<std::int64_t()>;

    static constexpr std::chrono::milliseconds defaultFocusTimeout{500};
    static constexpr std::string_view namedSlidesMessage =
        "Named slide lookup is unavailable for Google Slides.";
    static constexpr std::string_view slideListMessage = "Slide lists are unavailable for Google Slides.";

    GoogleSlidesController(std::shared_ptr<x11::WindowSystem> windows, SelectedWindowID selectedWindowID,
                           std::chrono::milliseconds focusTimeout = defaultFocusTimeout);

    // A usable saved window exists: the display accepts synthetic keys and the window is open.
    bool isAvailable(std::string_view applicationName) override;
    // Focuses the saved window (waiting at most the focus time-out) and types the command's keys.
    // Blocks the calling thread for that long at worst.
    CommandResult perform(const PresentationCommand& command,
                          std::string_view applicationName) override;
    SlideListResult listSlides(std::string_view applicationName) override;

    // The keys for a command; nothing for commands that have no keys (named slides, slide numbers
    // below 1).
    static std::optional<std::vector<x11::KeyStroke>> keyStrokes(const PresentationCommand& command);

private:
    std::optional<x11::WindowId> savedWindow() const;

    std::shared_ptr<x11::WindowSystem> windows_;
    SelectedWindowID selectedWindowID_;
    std::chrono::milliseconds focusTimeout_;
};

}  // namespace pavonix
