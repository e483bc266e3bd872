// Vectors below were computed outside this code base with Python's hmac and hashlib:
//   secret = bytes(range(32)), nonce = base64url(bytes(range(16))), timestamp "1700000000",
//   text = "\n".join([algorithm, method, path, base64url(sha256(body)), timestamp, nonce]),
//   signature = base64url(hmac.new(secret, text, sha256)), "=" stripped.
#include "app/signing/request_signing.h"
#include "platform/testing/scoped_environment.h"
#include "platform/testing/temporary_folder.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>

namespace pavonix::signing {
namespace {

const std::string kNonce = "AAECAwQFBgcICQoLDA0ODw";
const std::string kBody = R"({"fromBeginning":true})";
const std::string kPostSignature = "WmlnfjBDzmQ7UWR67_ZFL2qglI_AaQRQA0mcyzPP5_o";
constexpr double kT = 1700000000;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

HTTPAuthCredential pairA() {
    Bytes secret(32);
    for (int i = 0; i < 32; ++i) secret[i] = static_cast<std::uint8_t>(i);
    return {"lpp_pairA", secret};
}

// The signer as a whole (body hash, canonical text with the method upper-cased, HMAC); the
// verifier's side, the legacy identifier and the empty body of a GET are pinned through the HTTP
// authenticator's tests.
TEST(RequestSigning, SignerMatchesTheVectors) {
    const auto signedHeaders = signRequest(pairA(), "post", "/show/next", bytes(kBody), "1700000000", kNonce);
    EXPECT_EQ(signedHeaders.headers().back(),
              (std::pair<std::string, std::string>{"X-Pavonix-Signature", kPostSignature}));
    EXPECT_EQ(signatureTimestamp(1700000000.999), "1700000000");
    const auto nonce = makeRequestNonce();
    ASSERT_TRUE(nonce);
    EXPECT_EQ(nonce->size(), 22u);
    EXPECT_NE(*nonce, *makeRequestNonce());
}

// Not-a-number and infinite texts parse; the time window refuses them (see TimeWindowEdges).
TEST(RequestSigning, TimestampParsing) {
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"1700000000", 1700000000.0}, {"+1.5e3", 1500.0}, {"0x10", 16.0}, {"1700000000.25", 1700000000.25},
        {"", {}}, {" 1700000000", {}}, {"1700000000 ", {}}, {"\t1", {}}, {"1,5", {}}, {"12abc", {}}, {"abc", {}},
        {".", {}}, {std::string("17\0" "00", 5), {}}};
    for (const auto& [text, value] : cases) EXPECT_EQ(parseSignatureTimestamp(text), value) << '"' << text << '"';
    EXPECT_FALSE(isTimestampWithinWindow(kT, NAN));
}

TEST(RequestSigning, TimestampIgnoresProgramLocale) {
    // A locale whose decimal separator is a comma, compiled into a private folder.
    const testing::TemporaryFolder dir("pavonix-locale");
    const std::string command = "localedef -i de_DE -f UTF-8 '" + (dir / "de_DE.UTF-8").string() + "' >/dev/null 2>&1";
    const bool built = std::system(command.c_str()) == 0;
    const testing::ScopedEnvironment env("LOCPATH", dir.path().string());
    const char* set = built ? std::setlocale(LC_ALL, "de_DE.UTF-8") : nullptr;
    if (set == nullptr) {
        if (std::getenv("CI") != nullptr) FAIL() << "cannot build the de_DE locale (localedef, locales package)";
        GTEST_SKIP() << "de_DE locale unavailable";
    }
    EXPECT_EQ(std::strtod("1,5", nullptr), 1.5);  // the locale really is in force
    EXPECT_EQ(parseSignatureTimestamp("1700000000.5"), 1700000000.5);
    EXPECT_FALSE(parseSignatureTimestamp("1700000000,5"));
    std::setlocale(LC_ALL, "C");
}

TEST(RequestNonceMemory, RemembersFor240SecondsAndCapsEachPair) {
    RequestNonceMemory memory;
    EXPECT_TRUE(memory.record("x", "p", 1000));
    EXPECT_FALSE(memory.record("x", "p", 1240));
    EXPECT_TRUE(memory.record("x", "p", 1241));
    memory.prune(1241 + 241);
    EXPECT_EQ(memory.count(), 0u);
    for (std::size_t i = 0; i < RequestNonceMemory::kMaxNoncesPerPair; ++i) {
        ASSERT_TRUE(memory.record(std::to_string(i), "p", 2000));
    }
    EXPECT_FALSE(memory.record("one more", "p", 2000));
    EXPECT_TRUE(memory.record("one more", "q", 2000));
    EXPECT_TRUE(memory.record("one more", "p", 2241));  // the old ones have expired
    EXPECT_EQ(memory.count(), 1u);
}

}  // namespace
}  // namespace pavonix::signing
