#include "app/core/keychain.h"

#include <memory>

#include <gtest/gtest.h>

#include "platform/keychain/memory_store.h"

namespace pavonix {
namespace {

class KeychainFunctionsTest : public ::testing::Test {
protected:
    void SetUp() override { keychain::setProcessKeychain({primary, legacy}); }
    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>("P");
    std::shared_ptr<keychain::MemoryStore> legacy = std::make_shared<keychain::MemoryStore>("L");
};

TEST_F(KeychainFunctionsTest, SaveGoesToThePrimaryStoreAndLegacyQueriesNeedALegacyStore) {
    EXPECT_EQ(keychainSaveData(Bytes{1}, "svc", "acc"), 0);
    EXPECT_EQ(keychainSaveData(Bytes{2}, "svc", "acc"), 0);
    EXPECT_EQ(keychainReadData(keychainQuery("svc", "acc")), Bytes{2});
    EXPECT_EQ(keychainReadData(legacyKeychainQuery("svc", "acc")), std::nullopt);
    EXPECT_EQ(primary->size(), 1u);
    // An item without bytes reads as nothing.
    EXPECT_EQ(keychainSaveData(Bytes{}, "svc", "empty"), 0);
    EXPECT_EQ(keychainReadData(keychainQuery("svc", "empty")), std::nullopt);

    // Without a legacy store, legacy queries find nothing.
    keychain::setProcessKeychain({primary, nullptr});
    EXPECT_EQ(keychainReadData(legacyKeychainQuery("svc", "acc")), std::nullopt);
    EXPECT_EQ(keychainDeleteData(legacyKeychainQuery("svc", "acc")), keychain::itemNotFound);
}

TEST_F(KeychainFunctionsTest, LegacyItemsAreCopiedOverAndDeletedWithThePrimaryCopy) {
    ASSERT_EQ(legacy->add({"svc", "acc"}, Bytes{7}), keychain::success);
    EXPECT_EQ(keychainReadDataMigratingLegacy("svc", "acc"), Bytes{7});
    EXPECT_EQ(keychainReadData(keychainQuery("svc", "acc")), Bytes{7});
    EXPECT_EQ(keychainReadDataMigratingLegacy("svc", "missing"), std::nullopt);
    EXPECT_EQ(primary->size(), 1u);
    EXPECT_EQ(keychainDeleteData(keychainQuery("svc", "acc")), 0);
    EXPECT_EQ(keychainReadDataMigratingLegacy("svc", "acc"), std::nullopt);
    EXPECT_EQ(keychainDeleteData(keychainQuery("svc", "acc")), keychain::itemNotFound);
    // Only the legacy copy left: deleting through the primary query still reports it deleted.
    ASSERT_EQ(legacy->add({"svc", "b"}, Bytes{1}), keychain::success);
    EXPECT_EQ(keychainDeleteData(keychainQuery("svc", "b")), 0);
}

}  // namespace
}  // namespace pavonix
