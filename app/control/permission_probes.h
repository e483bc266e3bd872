// What the permission authorizer asks the system, behind one interface so that tests can answer
// instead, as slowly as they like.
#pragma once

#include <functional>
#include <memory>

#include "platform/x11/window_system.h"

namespace pavonix {

class SettingsStore;

class PermissionProbes {
public:
    using Answer = std::function<void(bool)>;

    virtual ~PermissionProbes() = default;

    // Whether an X display that accepts synthetic key events (XTEST) is reachable. Called on the
    // main thread, which it must not block: the answer comes later, once, on any thread.
    virtual void probeKeyInjection(Answer answer) = 0;

    // Records the user's Local Network answer; main thread, quick.
    virtual void setLocalNetworkGranted(bool granted) = 0;
};

// The real probes: the window system, asked on a background queue, and the Local Network setting
// through the given writer.
class SystemPermissionProbes final : public PermissionProbes {
public:
    SystemPermissionProbes(std::shared_ptr<x11::WindowSystem> windows,
                           std::function<void(bool)> writeLocalNetworkGranted);

    void probeKeyInjection(Answer answer) override;
    void setLocalNetworkGranted(bool granted) override;

private:
    std::shared_ptr<x11::WindowSystem> windows_;
    std::function<void(bool)> write_;
};

// The program's probes: `windows` for the display, and the `localNetworkPermissionGranted` setting
// of `settings`, which must outlive them.
std::shared_ptr<PermissionProbes> makeSystemPermissionProbes(std::shared_ptr<x11::WindowSystem> windows,
                                                             SettingsStore& settings);

}  // namespace pavonix
