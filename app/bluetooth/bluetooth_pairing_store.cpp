#include "app/bluetooth/bluetooth_pairing_store.h"

#include <openssl/crypto.h>

#include <utility>

#include "app/core/text.h"
#include "platform/crypto/base64.h"
#include "platform/crypto/secure_random.h"

namespace pavonix::bluetooth {

namespace {

constexpr std::size_t kPairIDRandomByteCount = 12;
constexpr std::size_t kSecretByteCount = 32;

}  // namespace

BluetoothPairingStoreError::BluetoothPairingStoreError(Kind kind, KeychainStatus status)
    : kind_(kind),
      status_(status),
      description_(kind == Kind::keychain
                       ? "Unable to save Bluetooth pairing secret in Keychain. Status " + keychain::statusText(status) + "."
                       : std::string("Unable to generate secure random bytes.")) {}

BluetoothPairingStore::BluetoothPairingStore(RandomSource random)
    : random_(random ? std::move(random) : RandomSource(crypto::secureRandomBytes)) {}

Bytes BluetoothPairingStore::randomBytes(std::size_t count) const {
    auto bytes = random_(count);
    // Fewer bytes than asked for would silently weaken the secret.
    if (!bytes || bytes->size() != count) throw BluetoothPairingStoreError::randomBytes();
    return std::move(*bytes);
}

BluetoothPairingSetup BluetoothPairingStore::createPairing(std::string_view name, Date now) const {
    const std::string pairID =
        std::string(kBluetoothPairIDPrefix) + crypto::base64urlEncode(randomBytes(kPairIDRandomByteCount));
    Bytes secret = randomBytes(kSecretByteCount);

    const KeychainStatus status = keychainSaveData(secret, bluetoothAuthKeychainService, pairID);
    BluetoothPairingSetup setup;
    setup.secret = crypto::base64urlEncode(secret);
    OPENSSL_cleanse(secret.data(), secret.size());
    if (status != keychain::success) throw BluetoothPairingStoreError::keychain(status);

    std::string trimmed = trimmedWhitespaceAndNewlines(name);
    setup.device = {pairID, trimmed.empty() ? std::string(kDefaultBluetoothDeviceName) : std::move(trimmed), now,
                    std::nullopt};
    return setup;
}

std::vector<HTTPAuthCredential> BluetoothPairingStore::credentials(const std::vector<BluetoothPairedDevice>& devices) {
    std::vector<HTTPAuthCredential> out;
    out.reserve(devices.size());
    for (const BluetoothPairedDevice& device : devices) {
        if (auto secret = keychainReadDataMigratingLegacy(bluetoothAuthKeychainService, device.id)) {
            out.push_back({device.id, std::move(*secret)});
        }
    }
    return out;
}

}  // namespace pavonix::bluetooth
