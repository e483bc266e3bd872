// Test support: windows of another X client that record the keys they receive, on the private X
// server that with_xvfb.sh starts for a test. Nothing here is linked into the program.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/window_system.h"

namespace pavonix::x11::testing {

// A top-level window made by its own X client, as another application would make it, 400 x 300
// pixels large.
class TestWindow {
public:
    struct Options {
        std::optional<std::string> netWmName = {};  // _NET_WM_NAME (UTF8_STRING), raw bytes
        std::optional<std::string> wmName = {};     // WM_NAME (STRING), raw bytes
        std::string instanceName = "pavonix-test";
        std::string className = "PavonixTest";
        std::uint32_t processID = 0;  // 0: no _NET_WM_PID
        bool fullscreen = false;  // ask the window manager for the fullscreen state
        bool mapped = true;       // false: created, never shown
    };
    struct KeyEvent {
        bool press = false;
        std::uint32_t keysym = 0;  // of the level Shift selects
        std::uint16_t state = 0;  // modifier mask at the time of the event
    };

    TestWindow(const std::string& display, Options options);
    ~TestWindow();
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    WindowId id() const { return window_; }
    // Waits until the window manager lists and maps the window.
    bool waitUntilManaged(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until this window holds the keyboard focus.
    bool waitForFocus(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits until at least `presses` key presses arrived (and the releases sent with them).
    bool waitForKeyPresses(std::size_t presses,
                           std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads whatever events have arrived without waiting.
    void pump();
    std::vector<KeyEvent> keyEvents() const { return keys_; }
    std::vector<std::uint32_t> pressedKeysyms() const;
    void clearKeys() { keys_.clear(); }
    void destroy();

private:
    bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
    void handle(const xcb_generic_event_t* event);

    xcb_connection_t* c_ = nullptr;
    std::uint32_t root_ = 0;
    WindowId window_ = 0;
    std::vector<KeyEvent> keys_;
    std::uint8_t minKeycode_ = 0;
    std::uint8_t symsPerKeycode_ = 0;
    std::vector<std::uint32_t> keymap_;
};

}  // namespace pavonix::x11::testing
