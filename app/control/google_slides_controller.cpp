#include "app/control/google_slides_controller.h"

#include <limits>

namespace pavonix {

namespace {

// Appended piece by piece: GCC 12 at -O3 warns (-Wrestrict) on "\"" + std::string(name).
std::string quoted(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    out += '"';
    out += name;
    out += '"';
    return out;
}

}  // namespace

GoogleSlidesController::GoogleSlidesController(std::shared_ptr<x11::WindowSystem> windows,
                                               SelectedWindowID selectedWindowID,
                                               std::chrono::milliseconds focusTimeout)
    : windows_(std::move(windows)),
      selectedWindowID_(std::move(selectedWindowID)),
      focusTimeout_(focusTimeout) {}

std::optional<x11::WindowId> GoogleSlidesController::savedWindow() const {
    std::int64_t id = selectedWindowID_ ? selectedWindowID_() : 0;
    // Anything outside the X id range can only be a stale or foreign number: no window has it.
    if (id <= 0 || id > std::numeric_limits<x11::WindowId>::max()) return std::nullopt;
    return static_cast<x11::WindowId>(id);
}

std::optional<std::vector<x11::KeyStroke>> GoogleSlidesController::keyStrokes(
    const PresentationCommand& command) {
    using K = PresentationCommand::Kind;
    namespace ks = x11::keysym;
    switch (command.kind()) {
    case K::start:
        return std::vector<x11::KeyStroke>{{ks::F5, true, command.fromFirstSlide()}};
    case K::showNext: return std::vector<x11::KeyStroke>{{ks::Right}};
    case K::showPrevious: return std::vector<x11::KeyStroke>{{ks::Left}};
    case K::stop: return std::vector<x11::KeyStroke>{{ks::Escape}};
    case K::goToSlideNumber: {
        if (command.slideNumber() < 1) return std::nullopt;
        std::vector<x11::KeyStroke> strokes;
        for (char digit : std::to_string(command.slideNumber())) {
            strokes.push_back({ks::digit(digit - '0')});
        }
        strokes.push_back({ks::Return});
        return strokes;
    }
    case K::goToSlideNamed: return std::nullopt;
    }
    return std::nullopt;
}

bool GoogleSlidesController::isAvailable(std::string_view) {
    auto id = savedWindow();
    return id && windows_ && windows_->canSendKeys() && windows_->window(*id).has_value();
}

CommandResult GoogleSlidesController::perform(const PresentationCommand& command,
                                              std::string_view applicationName) {
    if (command.kind() == PresentationCommand::Kind::goToSlideNamed) {
        return CommandResult::failed(command, std::string(namedSlidesMessage));
    }
    auto strokes = keyStrokes(command);
    if (!strokes) return CommandResult::failed(command, "Slide number must be 1 or greater.");
    if (!windows_) {
        return CommandResult::failed(command, "Google Slides windows cannot be controlled here.");
    }
    if (auto reason = windows_->unavailableReason()) {
        return CommandResult::failed(command, "Google Slides windows cannot be controlled: " + *reason);
    }
    if (!windows_->canSendKeys()) {
        return CommandResult::failed(
            command, "Keystrokes cannot be sent: the X server does not offer the XTEST extension.");
    }
    if (!selectedWindowID_ || selectedWindowID_() == 0) {
        return CommandResult::failed(command, "Choose a Google Slides window first.");
    }
    auto id = savedWindow();
    if (!id || !windows_->window(*id)) {
        return CommandResult::failed(command, "The Google Slides window " + quoted(applicationName) +
                                                  " is no longer open. Refresh the window list "
                                                  "and choose it again.");
    }
    if (auto focused = windows_->activate(*id, focusTimeout_); !focused.ok()) {
        return CommandResult::failed(command,
                                     "Could not focus " + quoted(applicationName) + ": " + *focused.error);
    }
    if (auto sent = windows_->sendKeys(*id, *strokes); !sent.ok()) {
        return CommandResult::failed(command, "Could not send keys to " + quoted(applicationName) +
                                                  ": " + *sent.error);
    }
    return CommandResult::ok(command, command.displayText() + " sent to " +
                                          quoted(applicationName) + ".");
}

SlideListResult GoogleSlidesController::listSlides(std::string_view) {
    return {ResultStatus::failed, std::string(slideListMessage), {}};
}

}  // namespace pavonix
