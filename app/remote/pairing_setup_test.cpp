#include "app/remote/http_pairing_store.h"
#include "app/remote/remote_lanternpost_target.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <numeric>

#include "platform/crypto/base64.h"
#include "platform/keychain/file_store.h"
#include "platform/keychain/memory_store.h"
#include "platform/testing/temporary_folder.h"

namespace pavonix::remote {
namespace {

// 32 bytes counting up from 0, base64url.
const std::string kSecret = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";
const std::string kValid = "pavonix://pair?version=1&host=192.168.1.20&port=8090&pairId=lpp_abc&secret=" + kSecret +
                           "&algorithm=HMAC-SHA256&deviceName=Stage%20Laptop";

const Bytes kSecretBytes = [] {
    Bytes bytes(32);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}();

// A valid setup URL with one more item, which wins over the earlier one of its name.
std::string validExcept(const std::string& replaced) {
    return "pavonix://pair?version=1&algorithm=HMAC-SHA256&host=10.0.0.2&port=8090&pairId=lpp_abc&secret=" + kSecret +
           "&" + replaced;
}

const std::string kInvalid = "Enter a valid Pavonix setup URL.";
const std::string kVersion = "This Pavonix setup URL version is not supported.";
const std::string kAlgorithm = "This Pavonix setup URL uses an unsupported signing algorithm.";
const std::string kNoRandom = "Unable to generate secure random bytes.";

template <class F>
std::string thrownText(F&& operation) {
    try {
        operation();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "(no error)";
}
std::string parseError(const std::string& url) { return thrownText([&] { RemoteLanternpostSetup::parse(url); }); }

// Counts up from 0, so that identifiers and secrets are known in advance.
RandomByteSource countingSource() {
    return [next = std::uint8_t{0}](std::size_t count) mutable {
        Bytes bytes(count);
        for (auto& byte : bytes) byte = next++;
        return std::optional<Bytes>(bytes);
    };
}

class PairingSetupTest : public ::testing::Test {
protected:
    void SetUp() override { keychain::setProcessKeychain({primary, legacy}); }

    Bytes primaryItem(std::string_view service, const std::string& account) {
        Bytes data;
        primary->read({std::string(service), account}, data);
        return data;
    }

    std::shared_ptr<keychain::MemoryStore> primary = std::make_shared<keychain::MemoryStore>();
    std::shared_ptr<keychain::MemoryStore> legacy = std::make_shared<keychain::MemoryStore>("Legacy");
    Date now = std::chrono::system_clock::time_point(std::chrono::seconds(1'700'000'000));
};

// The secret leaves the program only in the setup URL, with its items in order.
TEST_F(PairingSetupTest, NewPairingKeepsItsSecretInTheKeychainAndTheSetupURLReadsBack) {
    const HTTPPairingSetup setup = HTTPPairingStore(countingSource()).createPairing("  Stage Laptop \n", now);
    // Identifier: bytes 0-11; secret: bytes 12-43.
    EXPECT_EQ(setup, (HTTPPairingSetup{{"lpp_AAECAwQFBgcICQoL", "Stage Laptop", now},
                                       "DA0ODxAREhMUFRYXGBkaGxwdHh8gISIjJCUmJygpKis"}));
    EXPECT_EQ(primaryItem(httpAuthKeychainService, setup.device.id), *crypto::base64urlDecode(setup.secret));
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

TEST_F(PairingSetupTest, CredentialsComeFromEitherKeychainAndSkipMissingSecrets) {
    const HTTPPairedDevice current{"lpp_current", "A", now}, old{"lpp_old", "B", now}, gone{"lpp_gone", "C", now};
    primary->add({std::string(httpAuthKeychainService), current.id}, {1, 2, 3});
    legacy->add({std::string(httpAuthKeychainService), old.id}, {4, 5, 6});

    EXPECT_EQ(HTTPPairingStore::credentials({gone, old, current}),
              (std::vector<HTTPAuthCredential>{{"lpp_old", {4, 5, 6}}, {"lpp_current", {1, 2, 3}}}));
    // The legacy secret was copied into the primary keychain on the way.
    EXPECT_EQ(primaryItem(httpAuthKeychainService, old.id), (Bytes{4, 5, 6}));
}

TEST(RemoteLanternpostSetupTest, ReadsEveryFieldOfAValidURL) {
    const RemoteLanternpostSetup setup = RemoteLanternpostSetup::parse(kValid);
    EXPECT_EQ(setup, (RemoteLanternpostSetup{"192.168.1.20", 8090, "lpp_abc", kSecretBytes, "HMAC-SHA256", "1",
                                             "Stage Laptop"}));
    // Spaces around it and upper-case scheme and host change nothing; nor does the old scheme.
    EXPECT_EQ(RemoteLanternpostSetup::parse(" \n PAVONIX://PAIR?" + kValid.substr(15) + "\t"), setup);
    EXPECT_EQ(RemoteLanternpostSetup::parse("lanternpost" + kValid.substr(7)), setup);

    // Items come in any order, the last of a name wins, and a blank device name is none.
    EXPECT_EQ(RemoteLanternpostSetup::parse("pavonix://pair?secret=" + kSecret +
                                            "&host=first&port=%2B8090&version=2&pairId=%20lpp_x%20&host=second"
                                            "&algorithm=HMAC-SHA256&version=1&deviceName=%20%20&flag"),
              (RemoteLanternpostSetup{"second", 8090, "lpp_x", kSecretBytes, "HMAC-SHA256", "1", std::nullopt}));
    // Secrets in the standard alphabet or with padding decode too, to the same bytes.
    for (const auto& [item, secret] : std::vector<std::pair<std::string, Bytes>>{
             {"secret=-_-_", {0xFB, 0xFF, 0xBF}}, {"secret=%2B/%2B/", {0xFB, 0xFF, 0xBF}},
             {"secret=AQ%3D%3D", {1}}, {"secret=AQ==", {1}}}) {
        EXPECT_EQ(RemoteLanternpostSetup::parse(validExcept(item)).secret, secret) << item;
    }
    // IPv6 addresses and non-ASCII names are hosts too.
    EXPECT_EQ(RemoteLanternpostSetup::parse(validExcept("host=fe80::1")).host, "fe80::1");
    EXPECT_EQ(RemoteLanternpostSetup::parse(validExcept("host=%5B::1%5D")).host, "[::1]");
    EXPECT_EQ(RemoteLanternpostSetup::parse(validExcept("host=caf%C3%A9.local")).host, "caf\xC3\xA9.local");
}

TEST(RemoteLanternpostSetupTest, ErrorsFollowTheOrderOfTheChecks) {
    // URL syntax, scheme and host come before everything else.
    for (const std::string url : {"", "pavonix://pair?version=2&x=a b", "pavonix://pair?version=%zz",
                                  "http://pair?version=2", "//pair?version=2", "pavonix:pair?version=2",
                                  "pavonix://pairing?version=2"}) {
        EXPECT_EQ(parseError(url), kInvalid) << url;
    }
    // Then the version, even when everything else is missing.
    for (const std::string url : {"pavonix://pair", "pavonix://pair?version", "pavonix://pair?version=2&algorithm=MD5",
                                  "pavonix://pair?Version=1&algorithm=HMAC-SHA256"}) {
        EXPECT_EQ(parseError(url), kVersion) << url;
    }
    // Then the algorithm, exactly as written.
    EXPECT_EQ(parseError("pavonix://pair?version=1&port=0"), kAlgorithm);
    EXPECT_EQ(parseError("pavonix://pair?version=1&algorithm=hmac-sha256"), kAlgorithm);
    // Then host, port, pair identifier and secret; hosts and pair identifiers that could break a
    // request (its URL or a header line) among them.
    EXPECT_EQ(parseError("pavonix://pair?version=1&algorithm=HMAC-SHA256&port=8090&pairId=a&secret=" + kSecret), kInvalid);
    for (const std::string bad :
         {"host=%20%0A", "host=evil.example/x", "host=a%20b", "host=a%0Ab", "host=a%09b", "host=host:80",
          "host=user@host", "host=a%3Fb", "host=a%23b", "host=%00", "host=%5B::1", "host=a%5Cb",
          "host=caf%C3%A9%C2%A0x", "host=a%E2%80%8Bb", "port=0", "port=65536", "port=-1", "port=%208090", "port=80a",
          "port=", "port=99999999999999999999", "pairId=%20", "pairId=lpp_a%0D%0AX-Evil:%201", "pairId=lpp%20a",
          "secret=", "secret=AAAAA", "secret=%3D%3D%3D%3D", "secret=A%21%21A"}) {
        EXPECT_EQ(parseError(validExcept(bad)), kInvalid) << bad;
    }
}

TEST_F(PairingSetupTest, NewTargetKeepsTheSecretInTheKeychain) {
    const RemoteLanternpostTarget target = makeRemoteLanternpostTarget(kValid, "  ", now);
    EXPECT_TRUE(target.id.starts_with("lpt_") && target.id.size() == 20) << target.id;
    EXPECT_EQ(target, (RemoteLanternpostTarget{target.id, "Stage Laptop", "192.168.1.20", 8090, "lpp_abc", now,
                                               RemoteLanternpostTransport::http, std::nullopt}));
    EXPECT_EQ(encodeRecord(target).find(kSecret), std::string::npos);
    EXPECT_EQ(primaryItem(remoteTargetsKeychainService, target.id), kSecretBytes);

    EXPECT_EQ(makeRemoteLanternpostTarget(kValid, " Podium\n", now).name, "Podium");
    EXPECT_EQ(makeRemoteLanternpostTarget(validExcept("x=1"), "", now).name, "");
}

TEST_F(PairingSetupTest, RandomOrKeychainFailuresSaveNothing) {
    const RandomByteSource none = [](std::size_t) { return std::optional<Bytes>(); };
    // A source that delivers short must not yield a weaker secret.
    const RandomByteSource halfOnly = [](std::size_t count) { return std::optional<Bytes>(Bytes(count / 2)); };
    for (const RandomByteSource& source : {none, halfOnly}) {
        EXPECT_EQ(thrownText([&] { HTTPPairingStore(source).createPairing("A", now); }), kNoRandom);
        EXPECT_EQ(thrownText([&] { makeRemoteLanternpostTarget(kValid, "A", now, source); }), kNoRandom);
    }
    EXPECT_EQ(thrownText([&] { makeRemoteLanternpostTarget("pavonix://pair?version=1", "A", now); }), kAlgorithm);
    EXPECT_EQ(primary->size(), 0u);
    keychain::setProcessKeychain({nullptr, nullptr});
    EXPECT_EQ(thrownText([&] { HTTPPairingStore().createPairing("A", now); }),
              "Unable to save pairing secret in Keychain. Status -25291 (no Secret Service answered).");
    EXPECT_EQ(thrownText([&] { makeRemoteLanternpostTarget(kValid, "A", now); }),
              "Unable to save the remote device secret in Keychain. Status -25291 (no Secret Service answered).");

    // Where it was to go, and what is wrong there.
    pavonix::testing::TemporaryFolder dir;
    const auto file = dir / "keychain.json";
    pavonix::testing::writeFile(file, R"({"version":1,"items":[]})");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    keychain::setProcessKeychain({std::make_shared<keychain::FileStore>(file.string()), nullptr});
    const std::string status = "Status -25295 (the keychain file is damaged or open to other users). Keychain: " +
                               file.string() + ": Open to other users (mode 0644).";
    EXPECT_EQ(thrownText([&] { HTTPPairingStore().createPairing("A", now); }),
              "Unable to save pairing secret in Keychain. " + status);
    EXPECT_EQ(thrownText([&] { makeRemoteLanternpostTarget(kValid, "A", now); }),
              "Unable to save the remote device secret in Keychain. " + status);
}

}  // namespace
}  // namespace pavonix::remote
