#include "app/remote/http_pairing_store.h"

#include <gtest/gtest.h>

#include "app/remote/remote_lanternpost_target.h"
#include "platform/crypto/base64.h"
#include "platform/keychain/memory_store.h"

namespace pavonix::remote {
namespace {

// Counts up from `start`, so that identifiers and secrets are known in advance.
RandomByteSource countingSource(std::uint8_t start) {
    return [next = start](std::size_t count) mutable {
        Bytes bytes(count);
        for (auto& byte : bytes) byte = next++;
        return std::optional<Bytes>(bytes);
    };
}

class HTTPPairingStoreTest : public ::testing::Test {
protected:
    void SetUp() override { keychain::setProcessKeychain({primary, legacy}); }

    Bytes primaryItem(const std::string& account) {
        Bytes data;
        primary->read({std::string(httpAuthKeychainService), account}, data);
        return data;
    }

    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>();
    std::shared_ptr<keychain::MemoryStore> legacy = std::make_shared<keychain::MemoryStore>("Legacy");
    Date now = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
};

// The secret leaves the program only in the setup URL, with its items in order.
TEST_F(HTTPPairingStoreTest, NewPairingKeepsItsSecretInTheKeychainAndTheSetupURLReadsBack) {
    const HTTPPairingSetup setup = HTTPPairingStore(countingSource(0)).createPairing("  Stage Laptop \n", now);
    // Identifier: bytes 0-11; secret: bytes 12-43.
    EXPECT_EQ(setup, (HTTPPairingSetup{{"lpp_AAECAwQFBgcICQoL", "Stage Laptop", now},
                                       "DA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKis"}));
    EXPECT_EQ(primaryItem(setup.device.id), *crypto::base64urlDecode(setup.secret));
    // The record that the settings file keeps must not carry the secret.
    EXPECT_EQ(encodeRecord(setup.device).find(setup.secret), std::string::npos);
    EXPECT_EQ(HTTPPairingStore().createPairing(" \t\n", now).device.name, "Paired Device");

    const std::string prefix = "pavonix://pair?version=1&host=192.168.1.20&port=8090&pairId=lpp_AAECAwQFBgcICQoL"
                               "&secret=DA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKis&algorithm=HMAC-SHA256";
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::nullopt), prefix);
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::string("   ")), prefix);
    EXPECT_EQ(setupURL(setup, "192.168.1.20", 8090, std::string(" Stage Laptop\n")),
              prefix + "&deviceName=Stage%20Laptop");

    // Whatever the writer encodes, the reader gets back exactly.
    for (const std::string name : {"Caf\xC3\xA9 & Bar = 100%+", "a/b?c#d"}) {
        EXPECT_EQ(RemoteLanternpostSetup::parse(*setupURL(setup, "studio-mac.local", 65535, name)),
                  (RemoteLanternpostSetup{"studio-mac.local", 65535, setup.device.id,
                                          *crypto::base64urlDecode(setup.secret), "HMAC-SHA256", "1", name}));
    }
    EXPECT_EQ(setupURL(setup, "bad\xFFhost", 8090, std::nullopt), std::nullopt);
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
    keychain::setProcessKeychain({nullptr, nullptr});
    EXPECT_EQ(thrownText(systemRandomByteSource()), "Unable to save pairing secret in Keychain. Status -25291.");
}

TEST_F(HTTPPairingStoreTest, CredentialsComeFromEitherKeychainAndSkipMissingSecrets) {
    const HTTPPairedDevice current{"lpp_current", "A", now}, old{"lpp_old", "B", now}, gone{"lpp_gone", "C", now};
    primary->add({std::string(httpAuthKeychainService), current.id}, {1, 2, 3});
    legacy->add({std::string(httpAuthKeychainService), old.id}, {4, 5, 6});

    EXPECT_EQ(HTTPPairingStore::credentials({gone, old, current}),
              (std::vector<HTTPAuthCredential>{{"lpp_old", {4, 5, 6}}, {"lpp_current", {1, 2, 3}}}));
    // The legacy secret was copied into the primary keychain on the way.
    EXPECT_EQ(primaryItem(old.id), (Bytes{4, 5, 6}));
}

}  // namespace
}  // namespace pavonix::remote
