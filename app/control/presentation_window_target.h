// The windows a Google Slides presentation may be running in, as the window picker offers them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/core/presentation_window_results.h"
#include "platform/x11/window_system.h"

namespace pavonix {

struct PresentationWindowTarget {
    // The title given to untitled windows that fill the screen.
    static constexpr std::string_view fullScreenWindowTitle = "Full Screen Window";
    // The owner name of windows that do not say which application they belong to.
    static constexpr std::string_view unknownOwnerName = "Unknown application";

    std::int64_t windowID = 0;        // the X window id
    std::int64_t ownerProcessID = 0;  // _NET_WM_PID, 0 when unknown
    std::string ownerName;            // the application: the class half of WM_CLASS
    std::string bundleIdentifier;     // the instance half of WM_CLASS
    std::string title;
    std::string detailText;  // process, size and window id, for tooltips and detail lines

    std::int64_t id() const { return windowID; }

    // Owner name, " - " and the title ("(untitled window)" when it has none).
    std::string menuTitle() const;
    PresentationWindowDisplaySection displaySection() const;
    PresentationWindowSummary summary() const;

    // The candidate windows: every titled managed window, and untitled ones that fill the screen
    // (titled "Full Screen Window"), except the windows of this process; only those on screen
    // when asked. Sorted by section, owner
    // name, title (in the user's locale) and window id unless `skipSorting`. Never fails: empty
    // when there is no window system.
    static std::vector<PresentationWindowTarget> availableWindows(x11::WindowSystem& windows,
                                                                  bool onScreenOnly,
                                                                  bool skipSorting);
    // The target for one window, or nothing when it would not be listed.
    static std::optional<PresentationWindowTarget> from(const x11::WindowInfo& window);
    static void sort(std::vector<PresentationWindowTarget>& targets);

    friend bool operator==(const PresentationWindowTarget&, const PresentationWindowTarget&) = default;
};

// The section a window title belongs to: Google Slides when it names the presentation editor's
// address or both "google" and "slides" (ignoring case and diacritics), the full-screen section
// when it says "Full Screen Window", otherwise other.
PresentationWindowDisplaySection displaySectionForTitle(std::string_view title);

}  // namespace pavonix
