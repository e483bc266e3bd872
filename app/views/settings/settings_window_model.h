// What the settings window needs of the application model, behind one narrow interface so that
// its state classes run in tests against a fake model.
//
// Everything here runs on the main thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/core/bridge_server_status.h"
#include "app/network/network_listen.h"
#include "app/model/observable_value.h"
#include "app/model/storage_notices.h"

namespace pavonix {

class LanternpostModel;

class SettingsWindowModel {
public:
    virtual ~SettingsWindowModel() = default;

    virtual ObservableValue<std::vector<network::NetworkInterfaceAddress>>& availableInterfaces() = 0;
    virtual ObservableValue<BridgeServerStatus>& oscStatus() = 0;
    virtual ObservableValue<BridgeServerStatus>& httpStatus() = 0;
    virtual ObservableValue<BridgeServerStatus>& bluetoothStatus() = 0;
    // What stands wrong with the settings file and the pairing secrets.
    virtual ObservableValue<StorageNotices>& storageNotices() = 0;

    // A fresh interface scan into availableInterfaces.
    virtual void rescanInterfaces() = 0;
    virtual void restartOSCServer() = 0;
    virtual void restartHTTPServer() = 0;
    virtual void restartBluetoothServer() = 0;
    virtual void refreshStatus() = 0;
    // Rescans, then picks the first interface when the specific-interface mode has none chosen.
    virtual void ensureListenAddressSelection() = 0;

    // The name offered to other instances while the setting is blank.
    virtual std::string defaultPavonixName() const = 0;
    // Which keychain holds the pairing secrets, for the user.
    virtual std::string keychainName() const = 0;
};

// The application model behind SettingsWindowModel; keeps the model alive while it lives.
std::unique_ptr<SettingsWindowModel> makeSettingsWindowModel(const std::shared_ptr<LanternpostModel>& model);

}  // namespace pavonix
