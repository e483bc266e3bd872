// The settings window without its widgets: the texts that depend on the settings, "Reset
// Onboarding", the API reference a sheet is built with, and the nine change handlers that make a
// change of a server setting a server restart.
//
// The handlers exist while this object does, that is while the settings window is open. Each
// runs once after its setting's stored value changed, whoever wrote it (this window, the listen
// pane, the model, the settings file), as a main-queue task; the value present at construction
// is no change, and storing an equal value is none either. A write made by a handler is itself a
// change and runs that setting's handler in turn.
//
// Threads: the main thread only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/views/settings/api_reference.h"
#include "app/views/settings/settings_window_model.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// What the program says about itself in the About tab; an absent value falls back (an empty one
// counts as present).
struct AppInfo {
    std::optional<std::string> displayName;
    std::optional<std::string> name;
    std::optional<std::string> version;
    std::optional<std::string> build;

    // The display name, else the name, else "Pavonix".
    std::string displayNameOrDefault() const;
    // Else "1.0".
    std::string versionOrDefault() const;
    // Else "1".
    std::string buildOrDefault() const;

    // This program as built: the project's version and the commit it was built from ("unknown"
    // when built outside a git checkout).
    static AppInfo thisBuild();
};

class LanternpostSettingsState {
public:
    struct Footer {
        std::string text;
        bool warning = false;  // shown in orange
    };

    // The model and the store must outlive this object. `openMainWindow` shows the main window
    // and brings the program to the front.
    LanternpostSettingsState(SettingsWindowModel& model, SettingsStore& store, std::function<void()> openMainWindow);

    SettingsWindowModel& model() const { return model_; }
    SettingsStore& store() const { return store_; }

    // "Shown to remotes when pairing. Leave blank to use " + the default name + ".".
    std::string identityFooter() const;
    Footer httpAuthenticationFooter() const;
    // While the Bluetooth server reports failure (no adapter, no bluetoothd), says that nothing
    // can connect rather than what could.
    std::string bluetoothFooter() const;
    // "Discoverable" can be changed only while Bluetooth is on.
    bool discoverableEditable() const;
    std::size_t httpPairedDeviceCount() const;
    std::size_t bluetoothPairedDeviceCount() const;
    // "Pairing secrets: " and the name of the keychain that holds them; while they cannot be
    // read, " (not usable now; see the notice at the top)" after it, as a warning.
    Footer keychainLine() const;
    // The problems with the settings file and the pairing secrets, one sentence each.
    std::vector<std::string> storageLines() const;
    // How many stored pairings of each list could not be read (and are kept as they are), said
    // for the user; empty when all could.
    std::string unreadableHTTPPairingsLine() const;
    std::string unreadableBluetoothPairingsLine() const;

    // The sheet for `kind`, with that server's port, the listen settings as stored and the
    // loopback entry before the model's interfaces.
    APIReference apiReference(APIReferenceKind kind) const;

    // Asks for the welcome screen again, forgets the local-network permission, and brings the
    // main window forward. Onboarding stays complete; nothing is asked first.
    void resetOnboarding();

private:
    void applyServerSetting(void (SettingsWindowModel::*restart)());
    void bluetoothEnabledChanged(bool enabled);
    void listenAddressChanged(bool ensureSelection);

    SettingsWindowModel& model_;
    SettingsStore& store_;
    std::function<void()> openMainWindow_;
    std::vector<SettingsStore::Subscription> subscriptions_;
};

}  // namespace pavonix
