#include "app/bluetooth/bluetooth_pairing_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"

namespace pavonix::bluetooth {
namespace {

TEST(BluetoothPairingStoreTest, NewPairsKeepTheirSecretInTheKeychain) {
    auto primary = std::make_shared<keychain::MemoryStore>();
    auto legacy = std::make_shared<keychain::MemoryStore>();
    keychain::setProcessKeychain({primary, legacy});
    const Date now{std::chrono::seconds(1'700'000'000)};
    const auto setup = BluetoothPairingStore().createPairing(" \n ", now);
    EXPECT_EQ(setup.device, (BluetoothPairedDevice{setup.device.id, "Bluetooth Remote", now, std::nullopt}));
    // 12 random bytes in the id and 32 in the secret, both in unpadded base64url.
    EXPECT_THAT(setup.device.id + " " + setup.secret, ::testing::MatchesRegex("lpb_[-_A-Za-z0-9]{16} [-_A-Za-z0-9]{43}"));
    EXPECT_EQ(BluetoothPairingStore().createPairing(" Phone ", now).device.name, "Phone");

    // The second device's secret is missing, the third's only in the legacy keychain.
    legacy->add({std::string(bluetoothAuthKeychainService), "lpb_old"}, Bytes{5});
    const auto credentials = BluetoothPairingStore::credentials(
        {setup.device, {"lpb_gone", "x", now, std::nullopt}, {"lpb_old", "y", now, std::nullopt}});
    EXPECT_EQ(credentials, (std::vector<HTTPAuthCredential>{{setup.device.id, *crypto::base64urlDecode(setup.secret)},
                                                            {"lpb_old", Bytes{5}}}));
    Bytes migrated;
    EXPECT_EQ(primary->read({std::string(bluetoothAuthKeychainService), "lpb_old"}, migrated), keychain::success);
}

TEST(BluetoothPairingStoreTest, FailuresSayWhatWentWrongAndStoreNothing) {
    EXPECT_STREQ(BluetoothPairingStoreError::keychain(-25291).what(),
                 "Unable to save Bluetooth pairing secret in Keychain. Status -25291 (no Secret Service answered).");
    // The reason in words only where the number has one on this system.
    EXPECT_STREQ(BluetoothPairingStoreError::keychain(-25295).what(),
                 "Unable to save Bluetooth pairing secret in Keychain. Status -25295 (the keychain file is damaged or open "
                 "to other users).");
    EXPECT_STREQ(BluetoothPairingStoreError::keychain(-4).what(), "Unable to save Bluetooth pairing secret in Keychain. Status -4.");
    auto memory = std::make_shared<keychain::MemoryStore>();
    keychain::setProcessKeychain({memory, nullptr});
    const BluetoothPairingStore shortSource([](std::size_t count) { return std::optional<Bytes>(Bytes(count - 1)); });
    EXPECT_THROW(shortSource.createPairing("Phone", Date{}), BluetoothPairingStoreError);
    EXPECT_EQ(memory->size(), 0u);
}

}  // namespace
}  // namespace pavonix::bluetooth
