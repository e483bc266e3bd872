// Decides, for every parsed request, whether the HTTP bridge may act on it: loopback peers and a
// switched-off authentication pass; everyone else needs a valid signature from a paired device
// (see request_signing.h), within the time window and with a nonce not seen before.
#pragma once

#include "app/core/pairing_records.h"
#include "app/http/http_request.h"
#include "app/signing/request_signing.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pavonix::http {

struct HTTPAuthConfiguration {
    bool isEnabled = false;
    // One per paired device whose secret could be read. Should an identifier appear twice, the
    // first credential with it is the one used.
    std::vector<HTTPAuthCredential> credentials;

    bool operator==(const HTTPAuthConfiguration&) const = default;
};

struct HTTPAuthenticationResult {
    enum class Outcome { acceptedWithoutPair, acceptedForPair, refused };
    Outcome outcome = Outcome::refused;
    std::string pairID;  // set for acceptedForPair

    bool accepted() const { return outcome != Outcome::refused; }
    bool operator==(const HTTPAuthenticationResult&) const = default;
};

using signing::WallClock;
using signing::systemWallClock;

// Built once per server start. The nonce memory may be handed from one server to the next, so that
// a restart (a pair added or removed, the port changed) does not take back a replay it refused;
// without one, it lives as long as the server. Safe to call from any thread, though the server
// calls it from its own queue only.
class HTTPRequestAuthenticator {
public:
    explicit HTTPRequestAuthenticator(HTTPAuthConfiguration configuration, WallClock clock = systemWallClock,
                                      std::shared_ptr<signing::RequestNonceMemory> nonces = nullptr);

    HTTPAuthConfiguration configuration() const;
    // The secrets as read anew (a keychain that answers again), for the requests judged from now
    // on; the switch and the nonces seen stay, so no request can be replayed across the change.
    void replaceCredentials(std::vector<HTTPAuthCredential> credentials);

    // Never throws; every refusal looks the same to the client.
    HTTPAuthenticationResult authenticate(const HTTPRequest& request, bool peerIsLoopback, double now);
    // The same with "now" from the injected clock.
    HTTPAuthenticationResult authenticate(const HTTPRequest& request, bool peerIsLoopback);

    // Whether a request with this head could still be accepted once its body has come: every
    // check but the signature's value and the nonce memory. Lets the server refuse an unsigned,
    // stale or unknown peer before it holds any of its body.
    bool mayAuthenticate(const HTTPRequest& head, bool peerIsLoopback) const;
    // Whether a request from such a peer is accepted only with a valid signature.
    bool requiresSignature(bool peerIsLoopback) const { return configuration_.isEnabled && !peerIsLoopback; }
    // Whether the request names a pair to be judged by (it may still fail every check).
    static bool carriesSignature(const HTTPRequest& request) { return headerValue("pair-id", request.headers).has_value(); }

    // `name` is "pair-id", "timestamp", "nonce" or "signature": looked up under "x-pavonix-",
    // and only when absent there under "x-lanternpost-".
    static std::optional<std::string> headerValue(std::string_view name,
                                                  const std::map<std::string, std::string>& headers);

    bool recordNonce(const std::string& nonce, const std::string& pairID, double now) {
        return nonces_->record(nonce, pairID, now);
    }
    void pruneNonces(double now) { nonces_->prune(now); }
    std::size_t rememberedNonceCount() const { return nonces_->count(); }

private:
    struct SignatureHeaders {
        Bytes secret;
        std::string pairID;
        std::string timestamp;
        std::string nonce;
        crypto::Sha256Digest signature;
    };
    // The signature headers when they are all there, name a known pair, carry a bounded nonce, a
    // timestamp inside the window and a signature that decodes; nothing otherwise.
    std::optional<SignatureHeaders> signatureHeaders(const HTTPRequest& request, double now) const;

    mutable std::mutex credentialsMutex_;
    HTTPAuthConfiguration configuration_;  // credentials under credentialsMutex_; the switch never changes
    const WallClock clock_;
    const std::shared_ptr<signing::RequestNonceMemory> nonces_;
};

// Loopback host text for the authentication rule: 127.0.0.0/8, ::1, or the names "localhost" and
// "localhost." in any case. An IPv4-mapped IPv6 text (::ffff:127.0.0.1) is not loopback here; a
// peer's socket address is judged by net::Endpoint (see http_request_origin.h).
bool isLoopbackEndpoint(std::string_view host);

}  // namespace pavonix::http
