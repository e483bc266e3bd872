// The window system of an X server, spoken to through xcb.
//
// xcb reports protocol errors as values instead of calling a process-wide handler, so a window
// that vanishes mid-call or a server that goes away never ends the program: the call fails and
// the next one connects again.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/x11/window_system.h"

namespace pavonix::x11 {

class XcbWindowSystem final : public WindowSystem {
public:
    // `display` names the X display (":1"); empty means $DISPLAY. Nothing connects until the
    // first call.
    explicit XcbWindowSystem(std::string display = {});
    ~XcbWindowSystem() override;
    XcbWindowSystem(const XcbWindowSystem&) = delete;
    XcbWindowSystem& operator=(const XcbWindowSystem&) = delete;

    std::optional<std::string> unavailableReason() override;
    bool canSendKeys() override;
    std::vector<WindowInfo> listWindows() override;
    std::optional<WindowInfo> window(WindowId id) override;
    std::optional<WindowId> activeWindow() override;
    Outcome activate(WindowId id, std::chrono::milliseconds timeout) override;
    Outcome sendKeys(WindowId target, std::span<const KeyStroke> strokes) override;

    struct Connection;  // one open xcb connection and what was learnt about its server

private:
    enum class Focus { held, elsewhere, gone };

    Connection* connectionLocked();
    Focus focusLocked(Connection& c, WindowId id);
    Outcome requestActivationLocked(Connection& c, WindowId id, bool ewmh);
    Outcome lostConnectionLocked();

    std::mutex mutex_;
    std::string display_;
    std::unique_ptr<Connection> connection_;
    std::string reason_;
};

}  // namespace pavonix::x11
