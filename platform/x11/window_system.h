// The window system as the presentation controllers see it: which top-level windows exist, which
// one has the keyboard, bringing one forward, and typing into it.
//
// One narrow interface with two implementations: XcbWindowSystem talks to an X server, and
// RecordingWindowSystem keeps windows in memory and records what would have been typed, so code
// above this layer can be tested without a display.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace pavonix::x11 {

// An X window id (29 significant bits), so it always fits a signed 64-bit integer.
using WindowId = std::uint32_t;

struct WindowGeometry {
    int x = 0;  // relative to the root window
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const WindowGeometry&) const = default;
};

struct WindowInfo {
    WindowId id = 0;
    // Valid UTF-8: _NET_WM_NAME, else WM_NAME; empty when the window has no title.
    std::string title;
    // _NET_WM_PID; 0 when the client does not say.
    std::int64_t processID = 0;
    // The two halves of WM_CLASS; empty when absent.
    std::string instanceName;
    std::string className;
    WindowGeometry geometry;
    // Mapped, not minimised, and on the current desktop (or on all desktops).
    bool onScreen = false;
    // Covers the whole screen, or the window manager keeps it in the fullscreen state.
    bool fillsScreen = false;

    bool operator==(const WindowInfo&) const = default;
};

// X keysyms of the keys the controllers type (values from the X protocol's keysym table).
namespace keysym {
inline constexpr std::uint32_t Return = 0xff0d;
inline constexpr std::uint32_t Escape = 0xff1b;
inline constexpr std::uint32_t Left = 0xff51;
inline constexpr std::uint32_t Right = 0xff53;
inline constexpr std::uint32_t F5 = 0xffc2;
inline constexpr std::uint32_t ShiftL = 0xffe1;
inline constexpr std::uint32_t ControlL = 0xffe3;
inline constexpr std::uint32_t digit(int d) { return 0x30 + static_cast<std::uint32_t>(d); }
}  // namespace keysym

// One key press and release, with modifiers held around it.
struct KeyStroke {
    std::uint32_t keysym = 0;
    bool control = false;
    bool shift = false;

    bool operator==(const KeyStroke&) const = default;
};

// Success, or the reason for a failure in words a user can act on.
struct Outcome {
    std::optional<std::string> error;

    bool ok() const { return !error.has_value(); }
    static Outcome success() { return {}; }
    static Outcome failure(std::string message) { return {std::move(message)}; }
};

// Every member may be called from any thread; implementations serialise internally. Calls may
// block on the window server (activate() for up to its time-out), so callers that must stay
// responsive call them off their own thread.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    // Empty when the window system can be used; otherwise why not (no display, refused, ...).
    virtual std::optional<std::string> unavailableReason() = 0;
    bool isAvailable() { return !unavailableReason().has_value(); }

    // Whether synthetic key events can be sent (for X: the XTEST extension is present).
    virtual bool canSendKeys() = 0;

    // The managed top-level windows, in the window manager's order. Empty when unavailable.
    virtual std::vector<WindowInfo> listWindows() = 0;

    // One window by id; empty when it no longer exists (or the system is unavailable).
    virtual std::optional<WindowInfo> window(WindowId id) = 0;

    // The window that has keyboard focus (the top-level window holding it); empty when none.
    virtual std::optional<WindowId> activeWindow() = 0;

    // Brings the window forward and gives it keyboard focus; succeeds only once it really holds
    // the focus, waiting at most `timeout` for the window manager.
    virtual Outcome activate(WindowId id, std::chrono::milliseconds timeout) = 0;

    // Types the strokes into `target`, which must hold the focus: keys are never sent while
    // another window has it, so a window closing or losing focus cannot redirect them.
    virtual Outcome sendKeys(WindowId target, std::span<const KeyStroke> strokes) = 0;
};

}  // namespace pavonix::x11
