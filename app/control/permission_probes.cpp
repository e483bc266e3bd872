#include "app/control/permission_probes.h"

#include "app/settings/settings_keys.h"
#include "platform/dispatch/dispatch.h"

namespace pavonix {

SystemPermissionProbes::SystemPermissionProbes(std::shared_ptr<x11::WindowSystem> windows,
                                               std::function<void(bool)> writeLocalNetworkGranted)
    : windows_(std::move(windows)), write_(std::move(writeLocalNetworkGranted)) {}

void SystemPermissionProbes::probeKeyInjection(Answer answer) {
    // Connecting to a display can block (a remote DISPLAY, a stuck server): never on the caller.
    dispatch::globalQueue()->async([windows = windows_, answer = std::move(answer)] {
        answer(windows && windows->canSendKeys());
    });
}

void SystemPermissionProbes::setLocalNetworkGranted(bool granted) {
    if (write_) write_(granted);
}

std::shared_ptr<PermissionProbes> makeSystemPermissionProbes(std::shared_ptr<x11::WindowSystem> windows,
                                                             SettingsStore& settings) {
    return std::make_shared<SystemPermissionProbes>(
        std::move(windows),
        [&settings](bool granted) { settings.setValue(settings::localNetworkPermissionGranted, granted); });
}

}  // namespace pavonix
