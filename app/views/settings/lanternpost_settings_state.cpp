#include "app/views/settings/lanternpost_settings_state.h"

#include <utility>

#include "app/settings/settings_keys.h"
#include "app/views/settings/build_info.h"

namespace pavonix {

std::string AppInfo::displayNameOrDefault() const { return displayName.value_or(name.value_or("Pavonix")); }
std::string AppInfo::versionOrDefault() const { return version.value_or("1.0"); }
std::string AppInfo::buildOrDefault() const { return build.value_or("1"); }

AppInfo AppInfo::thisBuild() {
    const std::string commit = build::commit;
    return {std::nullopt, "Pavonix", build::version, commit.empty() ? "unknown" : commit};
}

LanternpostSettingsState::LanternpostSettingsState(SettingsWindowModel& model, SettingsStore& store,
                                                   std::function<void()> openMainWindow)
    : model_(model), store_(store), openMainWindow_(std::move(openMainWindow)) {
    const auto restartOSC = [this](const auto&) { applyServerSetting(&SettingsWindowModel::restartOSCServer); };
    const auto restartHTTP = [this](const auto&) { applyServerSetting(&SettingsWindowModel::restartHTTPServer); };
    const auto watch = [this](auto&& subscription) { subscriptions_.push_back(std::move(subscription)); };
    watch(store_.observe(settings::oscEnabled, restartOSC));
    watch(store_.observe(settings::oscPort, restartOSC));
    watch(store_.observe(settings::httpEnabled, restartHTTP));
    watch(store_.observe(settings::httpPort, restartHTTP));
    watch(store_.observe(settings::httpAuthenticationEnabled, restartHTTP));
    watch(store_.observe(settings::bluetoothEnabled, [this](bool enabled) { bluetoothEnabledChanged(enabled); }));
    watch(store_.observe(settings::bluetoothDiscoverable, [this](bool) { model_.restartBluetoothServer(); }));
    watch(store_.observe(settings::listenAddressMode, [this](const auto&) { listenAddressChanged(true); }));
    watch(store_.observe(settings::selectedListenAddress, [this](const auto&) { listenAddressChanged(false); }));
}

void LanternpostSettingsState::applyServerSetting(void (SettingsWindowModel::*restart)()) {
    // The restart resolves its listen binding from the interface list, so that goes first.
    model_.rescanInterfaces();
    (model_.*restart)();
    model_.refreshStatus();
}

void LanternpostSettingsState::bluetoothEnabledChanged(bool enabled) {
    if (!enabled) store_.setValue(settings::bluetoothDiscoverable, false);
    model_.restartBluetoothServer();
}

void LanternpostSettingsState::listenAddressChanged(bool ensureSelection) {
    if (ensureSelection) model_.ensureListenAddressSelection();
    model_.rescanInterfaces();
    model_.restartOSCServer();
    model_.restartHTTPServer();
    model_.restartBluetoothServer();
    model_.refreshStatus();
}

std::string LanternpostSettingsState::identityFooter() const {
    return "Shown to remotes when pairing. Leave blank to use " + model_.defaultPavonixName() + ".";
}

LanternpostSettingsState::Footer LanternpostSettingsState::httpAuthenticationFooter() const {
    if (!store_.value(settings::httpAuthenticationEnabled)) {
        return {"When disabled, any client that can reach the HTTP server can open the web controls and send commands.",
                false};
    }
    if (httpPairedDeviceCount() == 0) {
        return {"No HTTP devices are paired. Remote HTTP clients will receive an authentication error until you add "
                "one. Localhost remains available.",
                true};
    }
    return {"Remote HTTP requests must include a valid Pavonix HMAC signature. Localhost and OSC are unchanged.", false};
}

std::string LanternpostSettingsState::bluetoothFooter() const {
    if (!store_.value(settings::bluetoothEnabled)) {
        return "Turn on Bluetooth to allow paired phones and tablets to connect.";
    }
    if (model_.bluetoothStatus().get().state == BridgeServerStatus::State::failed) {
        return "No Bluetooth remote can connect while Bluetooth is not available (see the status above).";
    }
    if (!store_.value(settings::bluetoothDiscoverable)) {
        return "Paired Bluetooth remotes can connect. Turn on Discoverable only when pairing a new device.";
    }
    return "Paired Bluetooth remotes can connect, and nearby phones and tablets can pair.";
}

bool LanternpostSettingsState::discoverableEditable() const { return store_.value(settings::bluetoothEnabled); }

std::size_t LanternpostSettingsState::httpPairedDeviceCount() const {
    return store_.value(settings::httpPairedDevices).size();
}

std::size_t LanternpostSettingsState::bluetoothPairedDeviceCount() const {
    return store_.value(settings::bluetoothPairedDevices).size();
}

LanternpostSettingsState::Footer LanternpostSettingsState::keychainLine() const {
    const std::string line = "Pairing secrets: " + model_.keychainName();
    if (!model_.storageNotices().get().secrets) return {line, false};
    return {line + " (not usable now; see the notice at the top)", true};
}

std::vector<std::string> LanternpostSettingsState::storageLines() const { return model_.storageNotices().get().lines(); }

namespace {

// The stored entries of a list that do not decode: the program leaves them out of the list it
// uses, but keeps them in the file.
template <class R>
std::size_t unreadableEntries(const SettingsStore& store, const SettingsStore::Key<std::vector<R>>& key) {
    const std::size_t stored = store.defaults().withStored(
        key.name, [](const nlohmann::json* value) { return value && value->is_array() ? value->size() : 0; });
    const std::size_t read = store.value(key).size();
    return stored > read ? stored - read : 0;
}

}  // namespace

std::string LanternpostSettingsState::unreadableHTTPPairingsLine() const {
    return unreadableRecordsNotice(unreadableEntries(store_, settings::httpPairedDevices));
}

std::string LanternpostSettingsState::unreadableBluetoothPairingsLine() const {
    return unreadableRecordsNotice(unreadableEntries(store_, settings::bluetoothPairedDevices));
}

APIReference LanternpostSettingsState::apiReference(APIReferenceKind kind) const {
    APIReference reference;
    reference.kind = kind;
    reference.port = store_.value(kind == APIReferenceKind::osc ? settings::oscPort : settings::httpPort);
    reference.listenAddressMode = store_.value(settings::listenAddressMode);
    reference.selectedListenAddress = store_.value(settings::selectedListenAddress);
    reference.interfaces = withLoopbackEntry(model_.availableInterfaces().get());
    return reference;
}

void LanternpostSettingsState::resetOnboarding() {
    store_.setValue(settings::welcomeScreenRequested, true);
    store_.setValue(settings::localNetworkPermissionGranted, false);
    if (openMainWindow_) openMainWindow_();
}

}  // namespace pavonix
