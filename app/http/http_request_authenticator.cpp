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

HTTPRequestAuthenticator::HTTPRequestAuthenticator(HTTPAuthConfiguration configuration, WallClock clock,
                                                   std::shared_ptr<signing::RequestNonceMemory> nonces)
    : configuration_(std::move(configuration)),
      clock_(clock ? std::move(clock) : WallClock(systemWallClock)),
      nonces_(nonces ? std::move(nonces) : std::make_shared<signing::RequestNonceMemory>()) {}

HTTPAuthConfiguration HTTPRequestAuthenticator::configuration() const {
    std::lock_guard lock(credentialsMutex_);
    return configuration_;
}

void HTTPRequestAuthenticator::replaceCredentials(std::vector<HTTPAuthCredential> credentials) {
    std::lock_guard lock(credentialsMutex_);
    configuration_.credentials.swap(credentials);
}

std::optional<std::string> HTTPRequestAuthenticator::headerValue(std::string_view name,
                                                                 const std::map<std::string, std::string>& headers) {
    for (std::string_view prefix : {signing::kSignatureHeaderPrefix, signing::kLegacySignatureHeaderPrefix}) {
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
    if (!requiresSignature(peerIsLoopback)) return {Outcome::acceptedWithoutPair, {}};
    const auto headers = signatureHeaders(request, now);
    if (!headers || !signing::requestSignatureMatches(headers->secret, request.method, request.path,
                                                      signing::requestBodyHash(request.body), headers->timestamp,
                                                      headers->nonce, headers->signature)) {
        return {Outcome::refused, {}};
    }
    // Only a request with a valid signature inside the window consumes its nonce.
    if (!nonces_->record(headers->nonce, headers->pairID, now)) return {Outcome::refused, {}};
    return {Outcome::acceptedForPair, headers->pairID};
}

bool HTTPRequestAuthenticator::mayAuthenticate(const HTTPRequest& head, bool peerIsLoopback) const {
    return !requiresSignature(peerIsLoopback) || signatureHeaders(head, clock_()).has_value();
}

std::optional<HTTPRequestAuthenticator::SignatureHeaders> HTTPRequestAuthenticator::signatureHeaders(
    const HTTPRequest& request, double now) const {
    auto pairID = headerValue("pair-id", request.headers);
    if (!pairID) return std::nullopt;
    Bytes secret;
    {
        std::lock_guard lock(credentialsMutex_);
        const auto& credentials = configuration_.credentials;
        const auto credential = std::find_if(credentials.begin(), credentials.end(),
                                             [&](const HTTPAuthCredential& c) { return c.pairID == *pairID; });
        if (credential == credentials.end()) return std::nullopt;
        secret = credential->secret;
    }

    auto timestamp = headerValue("timestamp", request.headers);
    auto nonce = headerValue("nonce", request.headers);
    const auto signatureText = headerValue("signature", request.headers);
    if (!timestamp || !nonce || !signatureText || nonce->empty()) return std::nullopt;
    // Every accepted nonce is kept for minutes: its length must be bounded before it can be.
    if (utf8CharacterCount(*nonce) > signing::kMaxNonceCharacters) return std::nullopt;

    const auto timestampValue = signing::parseSignatureTimestamp(*timestamp);
    if (!timestampValue || !signing::isTimestampWithinWindow(*timestampValue, now)) return std::nullopt;

    if (signatureText->empty()) return std::nullopt;
    const auto signature = signing::decodeRequestSignature(*signatureText);
    if (!signature) return std::nullopt;
    return SignatureHeaders{std::move(secret), std::move(*pairID), std::move(*timestamp), std::move(*nonce), *signature};
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
