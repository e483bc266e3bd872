#include "app/remote/http_pairing_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/remote/remote_lanternpost_target.h"
#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"
#include "platform/testing/temporary_folder.h"

namespace pavonix::remote {
namespace {

using keychain::MemoryStore;

// Counts up from `start`, so that identifiers and secrets are known in advance.
RandomByteSource countingSource(std::uint8_t start) {
    return [next = start](std::size_t count) mutable {
        Bytes bytes(count);
        for (auto& byte : bytes) byte = next++;
        return std::optional<Bytes>(bytes);
    };
}

class RefusingStore final : public keychain::Store {
public:
    std::string name() const override { return "Refusing"; }
    keychain::Status read(const keychain::ItemKey&, Bytes&) override { return keychain::itemNotFound; }
    keychain::Status add(const keychain::ItemKey&, const Bytes&) override { return keychain::notAvailable; }
    keychain::Status update(const keychain::ItemKey&, const Bytes&) override { return keychain::notAvailable; }
    keychain::Status remove(const keychain::ItemKey&) override { return keychain::itemNotFound; }
};

class HTTPPairingStoreTest : public ::testing::Test {
protected:
    void SetUp() override { keychain::setProcessKeychain({primary, legacy}); }

    Bytes primaryItem(const std::string& account) {
        Bytes data;
        primary->read({std::string(httpAuthKeychainService), account}, data);
        return data;
    }

    std::shared_ptr<MemoryStore> primary = std::make_shared<MemoryStore>();
    std::shared_ptr<MemoryStore> legacy = std::make_shared<MemoryStore>("Legacy");
    Date now = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
};

TEST_F(HTTPPairingStoreTest, NewPairingKeepsItsSecretInTheKeychainOnly) {
    const HTTPPairingSetup setup = HTTPPairingStore().createPairing("  Stage Laptop \n", now);
    EXPECT_EQ(setup.device.name, "Stage Laptop");
    EXPECT_EQ(setup.device.createdAt, now);
    EXPECT_TRUE(setup.device.id.starts_with("lpp_"));
    EXPECT_EQ(setup.device.id.size(), 20u);
    ASSERT_EQ(setup.secret.size(), 43u);
    const auto secret = crypto::base64urlDecode(setup.secret);
    ASSERT_TRUE(secret && secret->size() == 32);
    EXPECT_EQ(primaryItem(setup.device.id), *secret);
    // The record that the settings file keeps must not carry the secret.
    EXPECT_EQ(encodeRecord(setup.device).find(setup.secret), std::string::npos);

    EXPECT_EQ(HTTPPairingStore().createPairing(" \t\n", now).device.name, "Paired Device");
}

TEST_F(HTTPPairingStoreTest, RandomOrKeychainFailureRecordsNothing) {
    auto thrownText = [&](const RandomByteSource& source) -> std::string {
        try {
            HTTPPairingStore(source).createPairing("A", now);
        } catch (const HTTPPairingStoreError& error) {
            return error.description();
        }
        return "(no error)";
    };
    EXPECT_EQ(thrownText([](std::size_t) { return std::optional<Bytes>(); }), "Unable to generate secure random bytes.");
    // A source that delivers short must not yield a weaker secret.
    EXPECT_EQ(thrownText([](std::size_t count) { return std::optional<Bytes>(Bytes(count / 2)); }),
              "Unable to generate secure random bytes.");
    EXPECT_EQ(primary->size(), 0u);
    keychain::setProcessKeychain({std::make_shared<RefusingStore>(), nullptr});
    EXPECT_EQ(thrownText(systemRandomByteSource()), "Unable to save pairing secret in Keychain. Status -25291.");
}

TEST_F(HTTPPairingStoreTest, CredentialsComeFromEitherKeychainAndSkipMissingSecrets) {
    const HTTPPairedDevice current{"lpp_current", "A", now}, old{"lpp_old", "B", now}, gone{"lpp_gone", "C", now};
    const std::string service(httpAuthKeychainService);
    primary->add({service, current.id}, {1, 2, 3});
    legacy->add({service, old.id}, {4, 5, 6});

    const auto credentials = HTTPPairingStore::credentials({gone, old, current});
    ASSERT_EQ(credentials.size(), 2u);
    EXPECT_EQ(credentials[0], (HTTPAuthCredential{"lpp_old", {4, 5, 6}}));
    EXPECT_EQ(credentials[1], (HTTPAuthCredential{"lpp_current", {1, 2, 3}}));
    // The legacy secret was copied into the primary keychain on the way.
    EXPECT_EQ(primaryItem(old.id), (Bytes{4, 5, 6}));
}

TEST_F(HTTPPairingStoreTest, SetupURLListsItsItemsInOrderAndReadsBack) {
    const HTTPPairingSetup setup = HTTPPairingStore(countingSource(0)).createPairing("Phone", now);
    // Identifier: bytes 0-11; secret: bytes 12-43.
    EXPECT_EQ(setup.device.id, "lpp_AAECAwQFBgcICQoL");
    const std::string prefix = "pavonix://pair?version=1&host=192.168.1.20&port=8090&pairId=lpp_AAECAwQFBgcICQoL"
                               "&secret=DA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKis&algorithm=HMAC-SHA256";
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::nullopt), prefix);
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::string("   ")), prefix);
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::string(" Stage Laptop\n")),
              prefix + "&deviceName=Stage%20Laptop");

    // Whatever the writer encodes, the reader gets back exactly.
    for (const std::string name : {"Caf\xC3\xA9 & Bar = 100%+", "a/b?c#d"}) {
        const auto url = setupURL(setup, "studio-mac.local", 65535, name);
        ASSERT_TRUE(url);
        const RemoteLanternpostSetup parsed = RemoteLanternpostSetup::parse(*url);
        EXPECT_EQ(parsed.host, "studio-mac.local");
        EXPECT_EQ(parsed.port, 65535);
        EXPECT_EQ(parsed.pairID, setup.device.id);
        EXPECT_EQ(parsed.secret, *crypto::base64urlDecode(setup.secret));
        EXPECT_EQ(parsed.deviceName, name);
    }
    EXPECT_EQ(setupURL(setup, "bad\xFFhost", 8090, std::nullopt), std::nullopt);
}

// Run by tests/remote/pairing_secret_service_test.sh against a private gnome-keyring: makes a
// pairing in the real Secret Service and writes its setup URL where the script looks for it.
TEST(HTTPPairingSecretServiceTest, PairingSecretLandsInTheSecretService) {
    const char* output = std::getenv("PAVONIX_TEST_PAIRING_OUTPUT");
    if (output == nullptr) GTEST_SKIP() << "run by pairing_secret_service_test.sh";
    keychain::setProcessKeychain(keychain::systemKeychain());
    ASSERT_EQ(keychainBackendName(), "Secret Service");
    const HTTPPairingSetup setup = HTTPPairingStore().createPairing("Keyring Check", dateNow());
    const auto credentials = HTTPPairingStore::credentials({setup.device});
    ASSERT_EQ(credentials.size(), 1u);
    EXPECT_EQ(credentials[0].secret, *crypto::base64urlDecode(setup.secret));
    testing::writeFile(output, *setupURL(setup, "127.0.0.1", 8090, std::nullopt) + "\n");
}

}  // namespace
}  // namespace pavonix::remote
