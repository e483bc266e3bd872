// Test support: a private X server (Xvfb) with a window manager (openbox), and windows that
// record the keys they receive. Nothing here is linked into the program.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/temporary_folder.h"
#include "platform/x11/window_system.h"

namespace pavonix::x11::testing {

class XvfbSession {
public:
    // Starts Xvfb on a display number it picks itself, then (unless told otherwise) openbox, and
    // waits until the window manager has taken over the screen. Returns null and sets `error`
    // when that fails.
    static std::unique_ptr<XvfbSession> start(std::string& error, bool windowManager = true);
    ~XvfbSession();
    XvfbSession(const XvfbSession&) = delete;
    XvfbSession& operator=(const XvfbSession&) = delete;

    const std::string& display() const { return display_; }

private:
    XvfbSession() = default;
    std::string display_;
    pid_t xvfb_ = -1;
    pid_t openbox_ = -1;
    // Logs, HOME and openbox's configuration; removed after both servers have stopped.
    std::unique_ptr<pavonix::testing::TemporaryFolder> folder_;
};

// The session shared by one test executable, started on first use and stopped at exit; null
// when it could not be started (then `sharedXvfbError()` says why).
XvfbSession* sharedXvfb();
const std::string& sharedXvfbError();
// True when running in CI (CI=true), where a missing X server is a failure rather than a skip.
bool inCI();

// Use at the top of a test (or SetUp) that needs the shared X server.
#define PAVONIX_REQUIRE_XVFB(session)                                                   \
    auto* session = ::pavonix::x11::testing::sharedXvfb();                              \
    if (!session) {                                                                     \
        if (::pavonix::x11::testing::inCI()) {                                          \
            FAIL() << "X server unavailable: " << ::pavonix::x11::testing::sharedXvfbError(); \
        }                                                                               \
        GTEST_SKIP() << "X server unavailable: "                                        \
                     << ::pavonix::x11::testing::sharedXvfbError();                     \
    }

// A top-level window made by its own X client, as another application would make it, 400 x 300
// pixels large.
class TestWindow {
public:
    static constexpr std::uint16_t kWidth = 400;
    static constexpr std::uint16_t kHeight = 300;
    struct Options {
        std::optional<std::string> netWmName;  // _NET_WM_NAME (UTF8_STRING), raw bytes
        std::optional<std::string> wmName;      // WM_NAME (STRING), raw bytes
        std::string instanceName = "pavonix-test";
        std::string className = "PavonixTest";
        std::uint32_t processID = 0;  // 0: no _NET_WM_PID
        bool fullscreen = false;  // ask the window manager for the fullscreen state
    };
    struct KeyEvent {
        bool press = false;
        std::uint32_t keysym = 0;
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
