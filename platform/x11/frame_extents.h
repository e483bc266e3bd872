// The frame a window manager puts around a window, known before the window is mapped.
//
// A program that sizes and places a window before it is shown cannot know how tall the title bar
// will be; a window manager that offers _NET_REQUEST_FRAME_EXTENTS answers that question for a
// window it does not manage yet, by setting _NET_FRAME_EXTENTS on it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/x11/window_system.h"

namespace pavonix::x11 {

struct FrameExtents {
    int left = 0;
    int right = 0;
    int top = 0;
    int bottom = 0;

    bool operator==(const FrameExtents&) const = default;
};

// The frame `window` (any client's, mapped or not) has or will get on `display` (empty: $DISPLAY),
// asked of the window manager on a connection of its own. Nothing when the display cannot be
// reached, the window does not exist, no window manager offers the request, or none answers
// within `timeout`; never longer than that.
std::optional<FrameExtents> requestFrameExtents(const std::string& display, WindowId window,
                                                std::chrono::milliseconds timeout);

}  // namespace pavonix::x11
