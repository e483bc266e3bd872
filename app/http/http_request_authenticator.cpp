#include "app/http/http_request_authenticator.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

namespace pavonix::http {
namespace {

bool isIPv4Loopback(const in_addr& address) {
    return reinterpret_cast<const std::uint8_t*>(&address)[0] == 127;
}

bool isIPv6Loopback(const in6_addr& address) {
    static const std::array<std::uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(&address, loopback.data(), loopback.size()) == 0;
}

// Counts the characters of valid UTF-8 text (every byte that does not continue a sequence).
std::size_t utf8CharacterCount(std::string_view text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

double systemWallClock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

HTTPRequestAuthenticator::HTTPRequestAuthenticator(HTTPAuthConfiguration configuration, WallClock clock)
    : configuration_(std::move(configuration)), clock_(clock ? std::move(clock) : WallClock(systemWallClock)) {}

std::optional<std::string> HTTPRequestAuthenticator::headerValue(std::string_view name,
                                                                 const std::map<std::string, std::string>& headers) {
    for (std::string_view prefix : {kSignatureHeaderPrefix, kLegacySignatureHeaderPrefix}) {
        std::string key(prefix);
        key.append(name);
        if (auto it = headers.find(key); it != headers.end()) return it->second;
    }
    return std::nullopt;
}

HTTPAuthenticationResult HTTPRequestAuthenticator::authenticate(const HTTPRequest& request, bool peerIsLoopback) {
    return authenticate(request, peerIsLoopback, clock_());
}

HTTPAuthenticationResult HTTPRequestAuthenticator::authenticate(const HTTPRequest& request, bool peerIsLoopback,
                                                                double now) {
    using Outcome = HTTPAuthenticationResult::Outcome;
    const HTTPAuthenticationResult refused{Outcome::refused, {}};
    if (peerIsLoopback || !configuration_.isEnabled) return {Outcome::acceptedWithoutPair, {}};

    const auto pairID = headerValue("pair-id", request.headers);
    if (!pairID) return refused;
    const auto& credentials = configuration_.credentials;
    const auto credential = std::find_if(credentials.begin(), credentials.end(),
                                         [&](const HTTPAuthCredential& c) { return c.pairID == *pairID; });
    if (credential == credentials.end()) return refused;

    const auto timestamp = headerValue("timestamp", request.headers);
    const auto nonce = headerValue("nonce", request.headers);
    const auto signatureText = headerValue("signature", request.headers);
    if (!timestamp || !nonce || !signatureText || nonce->empty()) return refused;
    // Every accepted nonce is kept for minutes: its length must be bounded before it can be.
    if (utf8CharacterCount(*nonce) > kMaxNonceCharacters) return refused;

    const auto timestampValue = parseSignatureTimestamp(*timestamp);
    if (!timestampValue || !isTimestampWithinWindow(*timestampValue, now)) return refused;

    if (signatureText->empty()) return refused;
    const auto signature = decodeRequestSignature(*signatureText);
    if (!signature) return refused;
    if (!requestSignatureMatches(credential->secret, request.method, request.path, requestBodyHash(request.body),
                                 *timestamp, *nonce, *signature)) {
        return refused;
    }
    // Only a request with a valid signature inside the window consumes its nonce.
    if (!nonces_.record(*nonce, *pairID, now)) return refused;
    return {Outcome::acceptedForPair, *pairID};
}

bool isLoopbackEndpoint(std::string_view host) {
    const std::string text(host);
    if (text.find('\0') != std::string::npos) return false;
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) return isIPv4Loopback(v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) return isIPv6Loopback(v6);
    std::string lowered = text;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered == "localhost" || lowered == "localhost.";
}

}  // namespace pavonix::http
