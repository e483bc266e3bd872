// What the pairing and device sheets need of the application model, behind one narrow interface
// so that their state classes run in tests against a fake model.
//
// Everything here runs on the main thread.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/pairing_records.h"
#include "app/model/observable_value.h"
#include "app/network/network_listen.h"

namespace pavonix {

class LanternpostModel;

class PairingSheetsModel {
public:
    virtual ~PairingSheetsModel() = default;

    virtual ObservableValue<std::vector<network::NetworkInterfaceAddress>>& availableInterfaces() = 0;
    // This instance's display name: the trimmed setting, else the default name; never empty.
    virtual std::string effectivePavonixName() const = 0;

    // Hands `done` the new pairing once its record is saved (perhaps later, and then on the main
    // thread), or the error (a std::exception with the user's text); nothing is stored then.
    using HTTPPairingDone = std::function<void(std::optional<HTTPPairingSetup> setup, std::exception_ptr error)>;
    virtual void addHTTPPairing(const std::string& name, HTTPPairingDone done) = 0;
    virtual void removeHTTPPairing(const std::string& pairID) = 0;

    // Only the list entry; the secret and the server are the caller's.
    virtual void removeBluetoothPairedDevice(const std::string& pairID) = 0;
    // Deletes the secret of a Bluetooth pairing; a missing item is no error.
    virtual void deleteBluetoothSecret(const std::string& pairID) = 0;
    virtual void restartBluetoothServer() = 0;

    // Throws the target error (std::exception with the user's text); nothing is stored then. The
    // new target becomes the selected one.
    virtual RemoteLanternpostTarget addRemoteTarget(const std::string& setupURL, const std::string& name) = 0;
    virtual void removeRemoteTarget(const std::string& id) = 0;
};

// The application model behind PairingSheetsModel; keeps the model alive while it lives.
std::unique_ptr<PairingSheetsModel> makePairingSheetsModel(const std::shared_ptr<LanternpostModel>& model);

}  // namespace pavonix
