// Reads and requests the permissions the welcome screen lists, with their meaning on Linux:
//   Accessibility   granted when an X display with the XTEST extension is reachable (that is
//                   what focusing a window and typing into it needs), else not determined;
//   Local Network   no such permission exists, so it is always granted; a request is only
//                   recorded;
//   Keynote and PowerPoint automation   unavailable: those applications do not run here.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "app/control/permission_probes.h"
#include "app/core/welcome_permission.h"

namespace pavonix {

class LanternpostPermissionAuthorizer {
public:
    using Completion = std::function<void(WelcomePermissionGrantState)>;

    static constexpr std::chrono::milliseconds defaultProbeTimeout{5000};

    // A probe that has not answered within `probeTimeout` counts as not determined.
    explicit LanternpostPermissionAuthorizer(std::shared_ptr<PermissionProbes> probes,
                                             std::chrono::milliseconds probeTimeout = defaultProbeTimeout);

    // Both are called on the main thread and return at once. The completion runs exactly once,
    // later, on the main thread (through MainExecutor), with a state; they never fail and never
    // prompt.
    void currentState(WelcomePermission permission, Completion completion);
    void request(WelcomePermission permission, Completion completion);

private:
    void probeAccessibility(Completion completion);

    std::shared_ptr<PermissionProbes> probes_;
    std::chrono::milliseconds probeTimeout_;
};

}  // namespace pavonix
