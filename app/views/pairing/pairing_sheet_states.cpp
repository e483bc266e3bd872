#include "app/views/pairing/pairing_sheet_states.h"

#include <algorithm>
#include <memory>
#include <utility>

#include <unicode/datefmt.h>
#include <unicode/unistr.h>

#include "app/core/text.h"
#include "app/remote/http_pairing_store.h"
#include "app/remote/remote_lanternpost_target.h"
#include "app/settings/settings_keys.h"

namespace pavonix {

namespace {

constexpr std::string_view loopbackHost = "127.0.0.1";

bool isPort(std::int64_t port) { return port >= 1 && port <= 65535; }

std::string endpoint(const RemoteLanternpostTarget& target) {
    if (target.transport == RemoteLanternpostTransport::bluetooth) return "Bluetooth";
    return target.host + ":" + std::to_string(target.port);
}

}  // namespace

std::string pairingListDateText(Date date) {
    // Made once: building an ICU formatter loads locale data.
    static const std::unique_ptr<icu::DateFormat> formatter(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort));
    if (!formatter) return {};
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    icu::UnicodeString text;
    formatter->format(static_cast<UDate>(millis), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

void PairingSheetStateBase::changed() {
    auto handlers = handlers_;  // a handler may add another
    for (const auto& handler : handlers) handler();
}

// ---- HTTP pairing sheet ----

HTTPPairingSheetState::HTTPPairingSheetState(PairingSheetsModel& model, SettingsStore& store)
    : PendingRemovalState(model, store) {
    follow(settings::httpPairedDevices);
    follow(settings::httpPort);
    follow(settings::listenAddressMode);
    follow(settings::selectedListenAddress);
    follow(settings::pavonixName);
    observations_.push_back(model_.availableInterfaces().observe([this](const auto&) { changed(); }));
}

HTTPPairingSheetState::~HTTPPairingSheetState() { wipeSecret(); }

namespace {

void wipe(std::string& secret) {
    volatile char* bytes = secret.data();
    for (std::size_t i = 0; i < secret.size(); ++i) bytes[i] = 0;
}

}  // namespace

void HTTPPairingSheetState::wipeSecret() {
    if (!setup_) return;
    wipe(setup_->secret);
    setup_.reset();
}

std::vector<HTTPPairedDevice> HTTPPairingSheetState::devices() const { return store_.value(settings::httpPairedDevices); }

void HTTPPairingSheetState::setDeviceName(std::string name) {
    deviceName_ = std::move(name);
    changed();
}

bool HTTPPairingSheetState::canAdd() const { return !adding_ && !trimmedWhitespaceAndNewlines(deviceName_).empty(); }

void HTTPPairingSheetState::addDevice() {
    if (adding_) return;
    adding_ = true;
    changed();
    model_.addHTTPPairing(deviceName_, [this, alive = std::weak_ptr<void>(alive_)](std::optional<HTTPPairingSetup> created,
                                                                                   std::exception_ptr error) {
        if (alive.expired()) {
            if (created) wipe(created->secret);
            return;
        }
        adding_ = false;
        const auto devices = this->devices();
        if (created && std::none_of(devices.begin(), devices.end(), [&](const auto& device) { return device.id == created->device.id; })) {
            // Removed from the list while it was being saved: its credentials go with it, as shown ones do.
            wipe(created->secret);
        } else if (created) {
            wipeSecret();
            setup_ = std::move(created);
            errorMessage_.reset();
            copiedMessage_.reset();
        } else {
            try {
                std::rethrow_exception(error);
            } catch (const std::exception& thrown) {
                errorMessage_ = thrown.what();
            }
        }
        changed();
    });
}

std::string HTTPPairingSheetState::setupHost() const {
    switch (store_.value(settings::listenAddressMode)) {
        case network::NetworkListenMode::allInterfaces: {
            const auto& interfaces = model_.availableInterfaces().get();
            return interfaces.empty() ? std::string(loopbackHost) : interfaces.front().address;
        }
        case network::NetworkListenMode::localhost:
            return std::string(loopbackHost);
        case network::NetworkListenMode::specificInterface: {
            std::string address = store_.value(settings::selectedListenAddress);
            return address.empty() ? std::string(loopbackHost) : address;
        }
    }
    return std::string(loopbackHost);
}

std::optional<std::string> HTTPPairingSheetState::setupURL() const {
    const std::int64_t port = store_.value(settings::httpPort);
    if (!isPort(port) || !setup_) return std::nullopt;
    return remote::setupURL(*setup_, setupHost(), port, model_.effectivePavonixName());
}

void HTTPPairingSheetState::copied(std::string_view label) {
    copiedMessage_ = "Copied " + std::string(label) + ".";
    changed();
}

void HTTPPairingSheetState::remove(const HTTPPairedDevice& device) {
    if (setup_ && setup_->device.id == device.id) wipeSecret();
    model_.removeHTTPPairing(device.id);
}

std::string HTTPPairingSheetState::removalMessage() const {
    const std::string name = pendingRemoval() ? pendingRemoval()->name : std::string();
    return "This will prevent " + name + " from communicating with Pavonix until it is paired again.";
}

// ---- Bluetooth paired devices sheet ----

BluetoothPairedDevicesSheetState::BluetoothPairedDevicesSheetState(PairingSheetsModel& model, SettingsStore& store)
    : PendingRemovalState(model, store) {
    follow(settings::bluetoothPairedDevices);
}

std::vector<BluetoothPairedDevice> BluetoothPairedDevicesSheetState::devices() const {
    return store_.value(settings::bluetoothPairedDevices);
}

std::string BluetoothPairedDevicesSheetState::displayName(const BluetoothPairedDevice& device) {
    std::string name = trimmedWhitespaceAndNewlines(device.name);
    return name.empty() ? "Paired Device" : name;
}

std::string BluetoothPairedDevicesSheetState::detailText(const BluetoothPairedDevice& device) {
    if (device.lastSeenAt) return device.id + " - Last seen " + pairingListDateText(*device.lastSeenAt);
    return device.id + " - Paired " + pairingListDateText(device.createdAt);
}

void BluetoothPairedDevicesSheetState::remove(const BluetoothPairedDevice& device) {
    model_.removeBluetoothPairedDevice(device.id);
    model_.deleteBluetoothSecret(device.id);
    // Rebuilt only once the pairing and its secret are gone, so it cannot accept them again.
    model_.restartBluetoothServer();
}

std::string BluetoothPairedDevicesSheetState::removalMessage() const {
    const std::string name = pendingRemoval() ? displayName(*pendingRemoval()) : std::string("Paired Device");
    return "This will remove " + name + "'s shared pairing credential until it is paired again.";
}

// ---- Remote devices sheet ----

RemoteDevicesSheetState::RemoteDevicesSheetState(PairingSheetsModel& model, SettingsStore& store)
    : PairingSheetStateBase(model, store) {
    follow(settings::remoteLanternpostTargets);
}

std::vector<RemoteLanternpostTarget> RemoteDevicesSheetState::targets() const {
    return store_.value(settings::remoteLanternpostTargets);
}

std::string RemoteDevicesSheetState::rowTitle(const RemoteLanternpostTarget& target) {
    std::string name = trimmedWhitespaceAndNewlines(target.name);
    return name.empty() ? endpoint(target) : name;
}

std::string RemoteDevicesSheetState::rowDetail(const RemoteLanternpostTarget& target) {
    return endpoint(target) + " - " + target.pairID + " - Added " + pairingListDateText(target.createdAt);
}

void RemoteDevicesSheetState::setDeviceName(std::string name) {
    deviceName_ = std::move(name);
    changed();
}

void RemoteDevicesSheetState::setSetupURLString(std::string text) {
    setupURLString_ = std::move(text);
    changed();
}

void RemoteDevicesSheetState::paste(const std::optional<std::string>& clipboardText) {
    if (clipboardText) setSetupURLString(*clipboardText);
}

bool RemoteDevicesSheetState::canAdd() const {
    return !trimmedWhitespaceAndNewlines(deviceName_).empty() && !trimmedWhitespaceAndNewlines(setupURLString_).empty();
}

std::optional<std::string> RemoteDevicesSheetState::setupPreview() const {
    try {
        const auto setup = remote::RemoteLanternpostSetup::parse(setupURLString_);
        return "Will connect to " + setup.host + ":" + std::to_string(setup.port) + " using " + setup.algorithm + ".";
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void RemoteDevicesSheetState::addRemoteTarget() {
    if (!canAdd()) return;
    try {
        (void)model_.addRemoteTarget(setupURLString_, deviceName_);
        deviceName_.clear();
        setupURLString_.clear();
        errorMessage_.reset();
    } catch (const std::exception& error) {
        errorMessage_ = error.what();
    }
    changed();
}

void RemoteDevicesSheetState::removeTarget(const std::string& id) {
    model_.removeRemoteTarget(id);
    changed();
}

}  // namespace pavonix
