#include "app/signing/request_signing.h"

#include "platform/crypto/base64.h"
#include "platform/crypto/constant_time.h"
#include "platform/crypto/secure_random.h"

#include <locale.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace pavonix::signing {
namespace {

// One C locale for the life of the process: strtod_l then reads "1.5" the same whatever
// setlocale() the program (or Qt) has applied.
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

bool isCSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

double systemWallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string requestBodyHash(std::span<const std::uint8_t> body) {
    return crypto::base64urlEncode(crypto::sha256(body));
}

std::string canonicalRequestText(std::string_view algorithm, std::string_view method, std::string_view path,
                                 std::string_view bodyHash, std::string_view timestamp, std::string_view nonce) {
    std::string text;
    text.reserve(algorithm.size() + method.size() + path.size() + bodyHash.size() + timestamp.size() +
                 nonce.size() + 5);
    text.append(algorithm).push_back('\n');
    for (char c : method) text.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    text.push_back('\n');
    text.append(path).push_back('\n');
    text.append(bodyHash).push_back('\n');
    text.append(timestamp).push_back('\n');
    text.append(nonce);
    return text;
}

std::string requestSignature(std::span<const std::uint8_t> secret, std::string_view canonicalText) {
    return crypto::base64urlEncode(crypto::hmacSha256(secret, canonicalText));
}

std::string signatureTimestamp(double secondsSince1970) {
    return std::to_string(static_cast<long long>(std::trunc(secondsSince1970)));
}

std::optional<std::string> makeRequestNonce() {
    auto bytes = crypto::secureRandomBytes(kRequestNonceByteCount);
    if (!bytes) return std::nullopt;
    return crypto::base64urlEncode(*bytes);
}

std::vector<std::pair<std::string, std::string>> SignedRequestHeaders::headers() const {
    return {{std::string(kPairIDHeader), pairID},
            {std::string(kTimestampHeader), timestamp},
            {std::string(kNonceHeader), nonce},
            {std::string(kSignatureHeader), signature}};
}

SignedRequestHeaders signRequest(const HTTPAuthCredential& credential, std::string_view method, std::string_view path,
                                 std::span<const std::uint8_t> body, std::string timestamp, std::string nonce) {
    const std::string text =
        canonicalRequestText(kSignatureAlgorithm, method, path, requestBodyHash(body), timestamp, nonce);
    return {credential.pairID, std::move(timestamp), std::move(nonce), requestSignature(credential.secret, text)};
}

std::optional<double> parseSignatureTimestamp(std::string_view text) {
    if (text.empty() || isCSpace(text.front())) return std::nullopt;
    // strtod needs a terminated string, and an embedded NUL must not cut the text short.
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string terminated(text);
    char* end = nullptr;
    const double value = strtod_l(terminated.c_str(), &end, cLocale());
    if (end != terminated.c_str() + terminated.size() || end == terminated.c_str()) return std::nullopt;
    return value;
}

bool isTimestampWithinWindow(double timestamp, double now) {
    // Written so that a NaN on either side fails: every comparison with NaN is false.
    return std::fabs(now - timestamp) <= kSignatureTimeWindowSeconds;
}

std::optional<crypto::Sha256Digest> decodeRequestSignature(std::string_view text) {
    auto bytes = crypto::base64urlDecode(text);
    if (!bytes || bytes->size() != crypto::kSha256Size) return std::nullopt;
    crypto::Sha256Digest digest{};
    std::memcpy(digest.data(), bytes->data(), digest.size());
    return digest;
}

bool requestSignatureMatches(std::span<const std::uint8_t> secret, std::string_view method, std::string_view path,
                             std::string_view bodyHash, std::string_view timestamp, std::string_view nonce,
                             const crypto::Sha256Digest& signature) {
    for (std::string_view algorithm : kAcceptedSignatureAlgorithms) {
        const auto expected =
            crypto::hmacSha256(secret, canonicalRequestText(algorithm, method, path, bodyHash, timestamp, nonce));
        if (crypto::constantTimeEqual(expected, signature)) return true;
    }
    return false;
}

bool RequestNonceMemory::record(const std::string& nonce, const std::string& pairID, double now) {
    std::lock_guard lock(mutex_);
    pruneLocked(now);
    auto& nonces = usedNonces_[pairID];
    if (nonces.acceptedAt.size() >= kMaxNoncesPerPair || nonces.acceptedAt.contains(nonce)) return false;
    nonces.acceptedAt.emplace(nonce, now);
    nonces.order.emplace_back(now, nonce);
    return true;
}

void RequestNonceMemory::prune(double now) {
    std::lock_guard lock(mutex_);
    pruneLocked(now);
}

void RequestNonceMemory::pruneLocked(double now) {
    const double cutoff = now - kNonceLifetimeSeconds;
    for (auto pair = usedNonces_.begin(); pair != usedNonces_.end();) {
        auto& [acceptedAt, order] = pair->second;
        while (!order.empty() && order.front().first < cutoff) {
            acceptedAt.erase(order.front().second);
            order.pop_front();
        }
        pair = acceptedAt.empty() ? usedNonces_.erase(pair) : std::next(pair);
    }
}

std::size_t RequestNonceMemory::count() const {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (const auto& [pair, nonces] : usedNonces_) total += nonces.acceptedAt.size();
    return total;
}

}  // namespace pavonix::signing
