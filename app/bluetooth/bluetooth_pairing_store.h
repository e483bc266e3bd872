// Bluetooth pairings: a pair identifier ("lpb_" + 16 base64url characters) and a 32-byte secret
// per paired remote. The secret lives in the keychain (service
// "com.vrel.Lanternpost.bluetooth-auth", account = pair identifier) and leaves the program only in
// the pairing payload read by the remote; the device record the settings keep holds no secret.
#pragma once

#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/keychain.h"
#include "app/core/pairing_records.h"

namespace pavonix::bluetooth {

inline constexpr std::string_view kBluetoothPairIDPrefix = "lpb_";
inline constexpr std::string_view kDefaultBluetoothDeviceName = "Bluetooth Remote";

// What a new pairing hands out once: the device to save and its secret as unpadded base64url.
struct BluetoothPairingSetup {
    BluetoothPairedDevice device;
    std::string secret;

    friend bool operator==(const BluetoothPairingSetup&, const BluetoothPairingSetup&) = default;
};

class BluetoothPairingStoreError : public std::exception {
public:
    enum class Kind { keychain, randomBytes };

    static BluetoothPairingStoreError keychain(KeychainStatus status) { return {Kind::keychain, status}; }
    static BluetoothPairingStoreError randomBytes() { return {Kind::randomBytes, 0}; }

    Kind kind() const { return kind_; }
    KeychainStatus status() const { return status_; }
    // "Unable to save Bluetooth pairing secret in Keychain. Status -25291 (no Secret Service
    // answered)." or
    // "Unable to generate secure random bytes."
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    BluetoothPairingStoreError(Kind kind, KeychainStatus status);
    Kind kind_;
    KeychainStatus status_;
    std::string description_;
};

// Works on the process keychain (app/core/keychain.h); tests install an in-memory one.
class BluetoothPairingStore {
public:
    // `count` secure random bytes, or nothing when the source cannot deliver.
    using RandomSource = std::function<std::optional<Bytes>(std::size_t count)>;

    explicit BluetoothPairingStore(RandomSource random = nullptr);

    // A new pair; its secret is in the keychain before the setup is returned. The name is
    // trimmed; an empty one becomes "Bluetooth Remote". The device has no lastSeenAt yet.
    // Throws BluetoothPairingStoreError, randomBytes before anything is saved.
    BluetoothPairingSetup createPairing(std::string_view name, Date now) const;

    // One credential per device whose secret can be read, in the devices' order; a secret found
    // only in the legacy keychain is copied into the primary one. Never throws.
    static std::vector<HTTPAuthCredential> credentials(const std::vector<BluetoothPairedDevice>& devices);

    // Throws BluetoothPairingStoreError::randomBytes when the source fails.
    Bytes randomBytes(std::size_t count) const;

private:
    RandomSource random_;
};

}  // namespace pavonix::bluetooth
