#include "app/settings/settings_keys.h"

namespace pavonix::settings {

namespace {

template <class F>
void forEachKey(F&& f) {
    f(presentationProvider);
    f(googleSlidesWindowID);
    f(googleSlidesWindowOwnerProcessID);
    f(googleSlidesWindowOwnerName);
    f(googleSlidesWindowBundleIdentifier);
    f(googleSlidesWindowTitle);
    f(remoteLanternpostTargets);
    f(selectedRemoteLanternpostTargetID);
    f(oscEnabled);
    f(oscPort);
    f(httpEnabled);
    f(httpPort);
    f(httpAuthenticationEnabled);
    f(httpPairedDevices);
    f(pavonixName);
    f(bluetoothEnabled);
    f(bluetoothDiscoverable);
    f(bluetoothPairedDevices);
    f(listenAddressMode);
    f(selectedListenAddress);
    f(welcomeCompleted);
    f(welcomeScreenRequested);
    f(localNetworkPermissionGranted);
}

}  // namespace

const std::vector<std::string_view>& keyNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        forEachKey([&](const auto& key) { out.push_back(key.name); });
        return out;
    }();
    return names;
}

void registerDefaults(defaults::UserDefaults& defaults) {
    forEachKey([&](const auto& key) { SettingsStore::registerDefault(defaults, key); });
}

void requireSigningAfterLoadProblem(SettingsStore& store) {
    const auto problem = store.defaults().loadProblem();
    if (!problem) return;
    if (problem->setAside) {
        // Written now rather than with the next batch: a crash right after start would otherwise
        // leave no file, and the next start would take the default (off).
        store.setValue(httpAuthenticationEnabled, true);
        store.defaults().flush();
    } else {
        store.defaults().setTransient(httpAuthenticationEnabled.name, true);
    }
}

}  // namespace pavonix::settings
