// What the HTTP pairing sheet, the Bluetooth paired devices sheet and the remote devices sheet
// show and decide, without Qt: each sheet's widget only draws its state and passes input on.
// A state lives exactly as long as its sheet's presentation, so every opening starts afresh.
//
// Everything here runs on the main thread. `onChange` handlers run after every change of what
// the sheet shows: the state's own fields, the settings lists it reads, and (HTTP sheet) the
// listen settings, the port and the interface list that make the setup URL.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/date.h"
#include "app/core/pairing_records.h"
#include "app/model/observable_value.h"
#include "app/views/pairing/pairing_sheets_model.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// The dates of the device lists: the locale's medium date and short time, in the local zone.
std::string pairingListDateText(Date date);

// The base of the three states: change handlers and the settings subscriptions they follow.
class PairingSheetStateBase {
public:
    PairingSheetStateBase(const PairingSheetStateBase&) = delete;
    PairingSheetStateBase& operator=(const PairingSheetStateBase&) = delete;

    void onChange(std::function<void()> handler) { handlers_.push_back(std::move(handler)); }

protected:
    PairingSheetStateBase(PairingSheetsModel& model, SettingsStore& store) : model_(model), store_(store) {}
    ~PairingSheetStateBase() = default;

    template <class T>
    void follow(const SettingsStore::Key<T>& key) {
        subscriptions_.push_back(store_.observe(key, [this](const T&) { changed(); }));
    }
    void changed();

    PairingSheetsModel& model_;
    SettingsStore& store_;
    std::vector<Observation> observations_;

private:
    std::vector<std::function<void()>> handlers_;
    std::vector<SettingsStore::Subscription> subscriptions_;
};

// A removal that waits for the user's confirmation.
template <class Record>
class PendingRemovalState : public PairingSheetStateBase {
public:
    const std::optional<Record>& pendingRemoval() const { return pendingRemoval_; }
    void requestRemoval(const Record& record) {
        pendingRemoval_ = record;
        changed();
    }
    // Removes the pending record; then nothing is pending.
    void confirmRemoval() {
        if (!pendingRemoval_) return;
        const Record record = *pendingRemoval_;
        remove(record);
        pendingRemoval_.reset();
        changed();
    }
    void cancelRemoval() {
        pendingRemoval_.reset();
        changed();
    }

protected:
    using PairingSheetStateBase::PairingSheetStateBase;
    ~PendingRemovalState() = default;
    virtual void remove(const Record& record) = 0;

private:
    std::optional<Record> pendingRemoval_;
};

class HTTPPairingSheetState : public PendingRemovalState<HTTPPairedDevice> {
public:
    HTTPPairingSheetState(PairingSheetsModel& model, SettingsStore& store);
    // Overwrites the secret's memory: it is shown only while this presentation lasts.
    ~HTTPPairingSheetState();

    std::vector<HTTPPairedDevice> devices() const;

    const std::string& deviceName() const { return deviceName_; }
    void setDeviceName(std::string name);
    // A name is typed and no pairing is being saved.
    bool canAdd() const;
    // Creates a pairing with the name as typed; once it is saved, its credentials replace any shown.
    void addDevice();

    const std::optional<HTTPPairingSetup>& setup() const { return setup_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    const std::optional<std::string>& copiedMessage() const { return copiedMessage_; }

    // The host written into the setup URL, from the listen settings and the interface list.
    std::string setupHost() const;
    // The shown pairing's setup URL with this instance's display name; nothing without a
    // pairing, with a port outside 1-65535, or when no URL can be formed.
    std::optional<std::string> setupURL() const;

    // The widget has put `value` on the clipboard.
    void copied(std::string_view label);

    // "This will prevent <name> from communicating with Pavonix until it is paired again."
    std::string removalMessage() const;

private:
    // Hides the credentials when they are the device's.
    void remove(const HTTPPairedDevice& device) override;
    void wipeSecret();

    std::string deviceName_;
    bool adding_ = false;
    std::optional<HTTPPairingSetup> setup_;
    std::optional<std::string> errorMessage_;
    std::optional<std::string> copiedMessage_;
    // A pairing saved after the sheet closed finds it gone.
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);
};

class BluetoothPairedDevicesSheetState : public PendingRemovalState<BluetoothPairedDevice> {
public:
    BluetoothPairedDevicesSheetState(PairingSheetsModel& model, SettingsStore& store);

    std::vector<BluetoothPairedDevice> devices() const;
    // The trimmed name, else "Paired Device".
    static std::string displayName(const BluetoothPairedDevice& device);
    // "<id> - Paired <date>" until the device is seen, then "<id> - Last seen <date>".
    static std::string detailText(const BluetoothPairedDevice& device);

    std::string removalMessage() const;

private:
    // Drops the list entry, deletes the secret, restarts the server.
    void remove(const BluetoothPairedDevice& device) override;
};

class RemoteDevicesSheetState : public PairingSheetStateBase {
public:
    RemoteDevicesSheetState(PairingSheetsModel& model, SettingsStore& store);

    std::vector<RemoteLanternpostTarget> targets() const;
    // The trimmed name, else the endpoint.
    static std::string rowTitle(const RemoteLanternpostTarget& target);
    // "<endpoint> - <pair id> - Added <date>".
    static std::string rowDetail(const RemoteLanternpostTarget& target);

    const std::string& deviceName() const { return deviceName_; }
    const std::string& setupURLString() const { return setupURLString_; }
    void setDeviceName(std::string name);
    void setSetupURLString(std::string text);
    // The clipboard's text, unchanged; nothing on the clipboard changes nothing.
    void paste(const std::optional<std::string>& clipboardText);

    bool canAdd() const;
    // "Will connect to <host>:<port> using HMAC-SHA256." for a URL that parses; else nothing.
    std::optional<std::string> setupPreview() const;
    // Adds the target (the model selects it); clears both fields on success, keeps them on failure.
    void addRemoteTarget();
    void removeTarget(const std::string& id);

    const std::optional<std::string>& errorMessage() const { return errorMessage_; }

private:
    std::string deviceName_;
    std::string setupURLString_;
    std::optional<std::string> errorMessage_;
};

}  // namespace pavonix
