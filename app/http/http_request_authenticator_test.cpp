// Vectors below were computed outside this code base with Python's hmac and hashlib:
//   secret = bytes(range(32)), nonce = base64url(bytes(range(16))), timestamp "1700000000",
//   text = "\n".join([algorithm, method, path, base64url(sha256(body)), timestamp, nonce]),
//   signature = base64url(hmac.new(secret, text, sha256)), "=" stripped.
#include "app/http/http_request_authenticator.h"
#include "app/signing/request_signing.h"

#include <gtest/gtest.h>

#include <thread>

namespace pavonix::http {
namespace {

using Outcome = HTTPAuthenticationResult::Outcome;

const std::string kNonce = "AAECAwQFBgcICQoLDA0ODw";
const std::string kBody = R"({"fromBeginning":true})";
const std::string kPostSignature = "WmlnfjBDzmQ7UWR67_ZFL2qglI_AaQRQA0mcyzPP5_o";
const std::string kLegacyPostSignature = "Z6sKePbjaMW_l6zPvS8QJluDdSkaFZcICjQxQ4bk1lo";
const std::string kGetSignature = "b5YFmjo0srPIduDmPVXxppBXgJs5WOYAmb7tJ5DKloY";
const std::string kLegacyGetSignature = "Sowx_921Lw5RCIAW7JJAt1VHdGkdtiiSr6M13TRLmL4";
constexpr double kT = 1700000000;

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes secret(std::uint8_t first = 0) {
    Bytes out(32);
    for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(first + i);
    return out;
}

HTTPAuthCredential pairA() { return {"lpp_pairA", secret()}; }
HTTPAuthCredential pairB() { return {"lpp_pairB", secret(100)}; }

HTTPRequest request(std::string method, std::string path, const std::string& body,
                    std::map<std::string, std::string> headers) {
    return {std::move(method), std::move(path), std::move(headers), bytes(body)};
}

std::map<std::string, std::string> signedHeaders(const std::string& pair, const std::string& timestamp,
                                                 const std::string& nonce, const std::string& signature,
                                                 const std::string& prefix = "x-pavonix-") {
    return {{prefix + "pair-id", pair}, {prefix + "timestamp", timestamp}, {prefix + "nonce", nonce},
            {prefix + "signature", signature}};
}

// A request signed by the code's own signer (pinned against the vectors above).
HTTPRequest signedPost(const HTTPAuthCredential& credential, const std::string& timestamp, const std::string& nonce) {
    const auto headers = signing::signRequest(credential, "POST", "/show/next", bytes(kBody), timestamp, nonce);
    return request("POST", "/show/next", kBody, signedHeaders(credential.pairID, timestamp, nonce, headers.signature));
}

HTTPRequestAuthenticator enabled(std::vector<HTTPAuthCredential> credentials = {pairA(), pairB()}) {
    return HTTPRequestAuthenticator({true, std::move(credentials)}, [] { return kT; });
}

TEST(RequestAuthenticator, PinnedVectorsUnderBothIdentifiersAndPrefixes) {
    // Current identifier with the current prefix, legacy identifier with the legacy prefix. Each
    // accepted request consumes its nonce, so each case gets a fresh authenticator.
    for (const auto& [prefix, signature] : {std::pair{"x-pavonix-", kPostSignature}, {"x-lanternpost-", kLegacyPostSignature}}) {
        const auto headers = signedHeaders("lpp_pairA", "1700000000", kNonce, signature, prefix);
        EXPECT_EQ(enabled().authenticate(request("POST", "/show/next", kBody, headers), false),
                  (HTTPAuthenticationResult{Outcome::acceptedForPair, "lpp_pairA"}))
            << signature;
    }
    // Prefixes mixed header by header; the current prefix wins when both are present.
    auto mixed = signedHeaders("lpp_pairA", "1700000000", kNonce, kLegacyGetSignature);
    mixed.erase("x-pavonix-pair-id");
    mixed["x-lanternpost-pair-id"] = "lpp_pairA";
    EXPECT_TRUE(enabled().authenticate(request("GET", "/slides", "", mixed), false).accepted());
    auto both = signedHeaders("lpp_pairA", "1700000000", kNonce, kGetSignature);
    both["x-lanternpost-signature"] = "garbage";
    EXPECT_TRUE(enabled().authenticate(request("get", "/slides", "", both), false).accepted());
}

TEST(RequestAuthenticator, LoopbackAndSwitchBypassEverything) {
    auto auth = enabled();
    const auto bare = request("POST", "/show/next", "", {});
    EXPECT_EQ(auth.authenticate(bare, true).outcome, Outcome::acceptedWithoutPair);
    EXPECT_EQ(auth.authenticate(bare, false).outcome, Outcome::refused);

    HTTPRequestAuthenticator off({false, {pairA()}}, [] { return kT; });
    auto wrong = signedPost(pairA(), "1700000000", kNonce);
    wrong.headers["x-pavonix-signature"] = kGetSignature;
    EXPECT_EQ(off.authenticate(wrong, false).outcome, Outcome::acceptedWithoutPair);

    HTTPRequestAuthenticator noPairs({true, {}}, [] { return kT; });
    EXPECT_FALSE(noPairs.authenticate(signedPost(pairA(), "1700000000", kNonce), false).accepted());
    EXPECT_FALSE(auth.authenticate(signedPost({"lpp_unknown", secret()}, "1700000000", kNonce), false).accepted());
    // Of two credentials with one identifier, the first is the one used.
    auto twice = enabled({pairA(), {"lpp_pairA", secret(7)}});
    EXPECT_FALSE(twice.authenticate(signedPost({"lpp_pairA", secret(7)}, "1700000000", "b"), false).accepted());
    EXPECT_TRUE(twice.authenticate(signedPost(pairA(), "1700000000", "a"), false).accepted());
}

TEST(RequestAuthenticator, TimeWindowEdges) {
    auto auth = enabled();
    const std::tuple<double, const char*, bool> cases[] = {
        {kT + 120, "1700000000", true}, {kT + 121, "1700000000", false}, {kT - 120, "1700000000", true},
        {kT + 120.5, "1700000000", false}, {kT + 120.5, "1700000000.5", true},  // the fraction counts
        {kT, " 1700000000", false}, {kT, "nan", false}, {kT, "inf", false}, {kT, "-infinity", false}};
    int n = 0;
    for (const auto& [now, timestamp, accepted] : cases) {
        EXPECT_EQ(auth.authenticate(signedPost(pairA(), timestamp, "n" + std::to_string(++n)), false, now).accepted(),
                  accepted)
            << now << " " << timestamp;
    }
    // None of the refused requests used up its nonce.
    EXPECT_EQ(auth.rememberedNonceCount(), 3u);
    EXPECT_TRUE(auth.authenticate(signedPost(pairA(), "1700000000", "n2"), false, kT).accepted());
}

TEST(RequestAuthenticator, NonceReplayAndExpiry) {
    auto auth = enabled();
    const auto first = signedPost(pairA(), "1700000000", kNonce);
    EXPECT_TRUE(auth.authenticate(first, false, kT).accepted());
    EXPECT_FALSE(auth.authenticate(first, false, kT + 10).accepted());
    // The same nonce is a different nonce for another pair.
    EXPECT_TRUE(auth.authenticate(signedPost(pairB(), "1700000000", kNonce), false, kT).accepted());

    // A bad signature does not consume the nonce it carries.
    auto forged = signedPost(pairA(), "1700000000", "fresh");
    forged.headers["x-pavonix-signature"] = kPostSignature;
    EXPECT_FALSE(auth.authenticate(forged, false, kT).accepted());
    EXPECT_TRUE(auth.authenticate(signedPost(pairA(), "1700000000", "fresh"), false, kT).accepted());
}

TEST(RequestAuthenticator, EverySignedPartMatters) {
    auto auth = enabled();
    const auto base = signedPost(pairA(), "1700000000", kNonce);
    auto mutate = [&](auto change) {
        auto copy = base;
        change(copy);
        return auth.authenticate(copy, false).accepted();
    };
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.path = "/show/next/"; }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.path = "/show/next?x=1"; }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.path = "/show/%6Eext"; }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.body.push_back(' '); }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.method = "PUT"; }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.headers["x-pavonix-timestamp"] = "1700000001"; }));
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.headers["x-pavonix-pair-id"] = "lpp_pairB"; }));
    // None, 33 bytes, too short, one past a multiple of four: a signature is exactly 32 bytes.
    for (const auto& bad : {std::string(), kPostSignature + "A", kPostSignature.substr(0, 42), kPostSignature.substr(0, 33)}) {
        EXPECT_FALSE(mutate([&](HTTPRequest& r) { r.headers["x-pavonix-signature"] = bad; })) << bad;
    }
    EXPECT_FALSE(mutate([](HTTPRequest& r) { r.headers.erase("x-pavonix-nonce"); }));
    EXPECT_EQ(auth.rememberedNonceCount(), 0u);
    // A lower-case method is verified upper-cased; padding and the standard alphabet are fine.
    EXPECT_TRUE(mutate([](HTTPRequest& r) {
        r.method = "post";
        std::string& s = r.headers["x-pavonix-signature"];
        for (char& c : s) c = c == '-' ? '+' : c == '_' ? '/' : c;
        s += "=";
    }));

    // A valid signature over an empty nonce is still refused; accepted nonces are kept for
    // minutes, so their length is bounded.
    EXPECT_FALSE(auth.authenticate(signedPost(pairA(), "1700000000", ""), false).accepted());
    EXPECT_TRUE(auth.authenticate(signedPost(pairA(), "1700000000", std::string(128, 'n')), false).accepted());
    EXPECT_FALSE(auth.authenticate(signedPost(pairA(), "1700000000", std::string(129, 'n')), false).accepted());
}

// What the server asks once a head has come, before it holds any body: everything but the
// signature's value and the nonce memory, so a wrong signature still passes here.
TEST(RequestAuthenticator, HeadAloneRefusesWhatNoBodyCanMend) {
    auto auth = enabled();
    auto head = signedPost(pairA(), "1700000000", kNonce);
    head.body.clear();
    head.headers["x-pavonix-signature"] = kGetSignature;
    EXPECT_TRUE(auth.mayAuthenticate(head, false));
    const auto refusedWith = [&](const std::string& name, const std::optional<std::string>& value) {
        auto copy = head;
        copy.headers.erase("x-pavonix-" + name);
        if (value) copy.headers["x-pavonix-" + name] = *value;
        return !auth.mayAuthenticate(copy, false);
    };
    for (const char* name : {"pair-id", "timestamp", "nonce", "signature"}) EXPECT_TRUE(refusedWith(name, std::nullopt)) << name;
    EXPECT_TRUE(refusedWith("pair-id", "lpp_unknown"));
    EXPECT_TRUE(refusedWith("timestamp", "1699999879"));
    EXPECT_TRUE(refusedWith("nonce", std::string(129, 'n')));
    EXPECT_TRUE(refusedWith("signature", "not base64!"));
    EXPECT_TRUE(auth.mayAuthenticate(HTTPRequest{}, true));
    EXPECT_TRUE(HTTPRequestAuthenticator({false, {}}).mayAuthenticate(HTTPRequest{}, false));
    EXPECT_EQ(auth.rememberedNonceCount(), 0u);
}

TEST(RequestAuthenticator, ConcurrentCallersConsumeEachNonceOnce) {
    auto auth = enabled();
    std::vector<HTTPRequest> requests;
    for (int i = 0; i < 64; ++i) requests.push_back(signedPost(pairA(), "1700000000", "nonce" + std::to_string(i)));
    std::atomic<int> accepted{0};
    {
        std::vector<std::jthread> threads(4);
        for (auto& t : threads) {
            t = std::jthread([&] { for (const auto& r : requests) accepted += auth.authenticate(r, false).accepted(); });
        }
    }
    EXPECT_EQ(accepted.load(), 64);
}

}  // namespace
}  // namespace pavonix::http
