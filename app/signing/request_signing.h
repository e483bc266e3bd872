// The request-signing scheme shared by the HTTP bridge, the remote-instance client and the
// Bluetooth bridge: a six-line canonical text, signed with HMAC-SHA256 under the pairing secret,
// a 120-second timestamp window and a per-pair memory of used nonces.
//
// Canonical text (lines joined by "\n", none after the last):
//   algorithm identifier, method upper-cased, request target as sent, base64url SHA-256 of the
//   body, timestamp text, nonce text.
#pragma once

#include "app/core/pairing_records.h"
#include "platform/crypto/digest.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pavonix::signing {

// The identifier signers write; verifiers try it first.
inline constexpr std::string_view kSignatureAlgorithm = "PAVONIX-HMAC-SHA256";
// Still accepted from older clients, never written.
inline constexpr std::string_view kLegacySignatureAlgorithm = "LANTERNPOST-HMAC-SHA256";
inline constexpr std::array<std::string_view, 2> kAcceptedSignatureAlgorithms{kSignatureAlgorithm,
                                                                               kLegacySignatureAlgorithm};

// Header names as signers write them.
inline constexpr std::string_view kPairIDHeader = "X-Pavonix-Pair-ID";
inline constexpr std::string_view kTimestampHeader = "X-Pavonix-Timestamp";
inline constexpr std::string_view kNonceHeader = "X-Pavonix-Nonce";
inline constexpr std::string_view kSignatureHeader = "X-Pavonix-Signature";
// Lower-cased prefixes a verifier looks under, in this order, followed by "pair-id",
// "timestamp", "nonce" or "signature".
inline constexpr std::string_view kSignatureHeaderPrefix = "x-pavonix-";
inline constexpr std::string_view kLegacySignatureHeaderPrefix = "x-lanternpost-";

inline constexpr double kSignatureTimeWindowSeconds = 120;
inline constexpr double kNonceLifetimeSeconds = 240;
inline constexpr std::size_t kRequestNonceByteCount = 16;
// Longest nonce text a verifier remembers; real ones have 22 characters.
inline constexpr std::size_t kMaxNonceCharacters = 128;

// Seconds since 1970 with fraction: the clock the time window is measured against.
using WallClock = std::function<double()>;
double systemWallClock();

// base64url of SHA-256 over the body (the empty body included).
std::string requestBodyHash(std::span<const std::uint8_t> body);

// The six lines; `method` is upper-cased here, everything else is used as given.
std::string canonicalRequestText(std::string_view algorithm, std::string_view method, std::string_view path,
                                 std::string_view bodyHash, std::string_view timestamp, std::string_view nonce);

// base64url of HMAC-SHA256 over the canonical text.
std::string requestSignature(std::span<const std::uint8_t> secret, std::string_view canonicalText);

// Whole seconds since 1970, truncated toward zero, as decimal text.
std::string signatureTimestamp(double secondsSince1970);

// 16 secure random bytes as base64url (22 characters); nothing when the generator fails.
std::optional<std::string> makeRequestNonce();

// The four values a signed request carries.
struct SignedRequestHeaders {
    std::string pairID;
    std::string timestamp;
    std::string nonce;
    std::string signature;

    // ("X-Pavonix-Pair-ID", pairID), ... in the order of the fields.
    std::vector<std::pair<std::string, std::string>> headers() const;
};

// Signs one outgoing request with the current identifier.
SignedRequestHeaders signRequest(const HTTPAuthCredential& credential, std::string_view method, std::string_view path,
                                 std::span<const std::uint8_t> body, std::string timestamp, std::string nonce);

// --- Verification pieces, shared by the HTTP authenticator and the Bluetooth bridge ---

// The whole text must be one number in C-locale strtod syntax (sign, decimal or hexadecimal,
// fraction, exponent, "inf", "nan"); leading white space, an empty text or anything after the
// number gives nothing. The program's locale does not matter.
std::optional<double> parseSignatureTimestamp(std::string_view text);

// |now - timestamp| <= 120 seconds. Not-a-number and infinite timestamps are outside.
bool isTimestampWithinWindow(double timestamp, double now);

// Decodes base64url (standard alphabet and padding accepted too) into exactly 32 bytes.
std::optional<crypto::Sha256Digest> decodeRequestSignature(std::string_view text);

// Whether `signature` is the HMAC of the canonical text under either accepted identifier;
// each candidate is compared in constant time.
bool requestSignatureMatches(std::span<const std::uint8_t> secret, std::string_view method, std::string_view path,
                             std::string_view bodyHash, std::string_view timestamp, std::string_view nonce,
                             const crypto::Sha256Digest& signature);

// Nonces accepted per pair, each remembered for 240 seconds after it was first accepted.
// Thread-safe.
class RequestNonceMemory {
public:
    // A cap per pair so that a paired client that floods valid requests cannot grow memory
    // without bound; while a pair is at the cap its new nonces are refused.
    static constexpr std::size_t kMaxNoncesPerPair = 10000;

    // Forgets nonces older than 240 seconds, then records the nonce: true when it was new for the
    // pair, false for a replay (or a pair at the cap).
    bool record(const std::string& nonce, const std::string& pairID, double now);
    // Keeps only nonces recorded at or after now - 240 s; drops pairs left with none.
    void prune(double now);
    std::size_t count() const;

private:
    // Nonces in the order they were accepted, so pruning stops at the first one still fresh
    // instead of walking every nonce on every request. Should the wall clock step back, a nonce
    // may outlive its 240 seconds behind a newer one: that only ever refuses more replays.
    struct PairNonces {
        std::unordered_map<std::string, double> acceptedAt;
        std::deque<std::pair<double, std::string>> order;
    };
    void pruneLocked(double now);
    mutable std::mutex mutex_;
    std::map<std::string, PairNonces> usedNonces_;
};

}  // namespace pavonix::signing
