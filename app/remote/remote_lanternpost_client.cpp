#include "app/remote/remote_lanternpost_client.h"

#include <openssl/crypto.h>

#include "app/core/keychain.h"
#include "app/signing/request_signing.h"
#include "app/remote/url_components.h"
#include "platform/crypto/base64.h"

namespace pavonix::remote {
namespace {

using ClientError = RemoteLanternpostClientError;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

bool isPathCharacter(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    constexpr std::string_view allowed = "-._~!$&'()*+,;=:@/%";
    return allowed.find(c) != std::string_view::npos;
}

std::string requestPath(std::string_view path) {
    std::string out;
    if (!path.starts_with("/")) out.push_back('/');
    out.append(path);
    return out;
}

// Keeps the secret's bytes out of freed memory once the request is signed.
struct WipedBytes {
    Bytes bytes;
    ~WipedBytes() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

}  // namespace

RemoteLanternpostClientError::RemoteLanternpostClientError(Kind kind, std::string message) : kind_(kind) {
    switch (kind) {
        case Kind::requestFailed:
            description_ = std::move(message);
            break;
        case Kind::invalidURL:
            description_ = "The remote Pavonix address is invalid.";
            break;
        case Kind::invalidResponse:
            description_ = "The remote Pavonix did not return a valid HTTP response.";
            break;
        case Kind::decodingFailed:
            description_ = "The remote Pavonix returned an unreadable response.";
            break;
    }
}

std::string RemoteLanternpostFailure::description() const {
    return std::visit(
        [](const auto& error) -> std::string {
            using E = std::decay_t<decltype(error)>;
            if constexpr (std::is_same_v<E, RemoteTransportError>) {
                return error.description;
            } else {
                return error.description();
            }
        },
        error_);
}

void to_json(Json& json, const RemoteLanternpostStartPayload& payload) {
    json = Json{{"fromBeginning", payload.fromBeginning}};
}
void to_json(Json& json, const RemoteLanternpostSlideNumberPayload& payload) {
    json = Json{{"number", payload.number}};
}
void to_json(Json& json, const RemoteLanternpostSlideNamePayload& payload) {
    json = Json{{"name", payload.name}};
}

RemoteLanternpostClient::RemoteLanternpostClient(std::shared_ptr<RemoteHTTPTransport> transport,
                                                 RandomByteSource random)
    : transport_(transport ? std::move(transport) : makeCurlTransport()), random_(std::move(random)) {}

Bytes RemoteLanternpostClient::encodeBody(const RemoteLanternpostStartPayload& payload) {
    return bytesOf(encodeRecord(payload));
}
Bytes RemoteLanternpostClient::encodeBody(const RemoteLanternpostSlideNumberPayload& payload) {
    return bytesOf(encodeRecord(payload));
}
Bytes RemoteLanternpostClient::encodeBody(const RemoteLanternpostSlideNamePayload& payload) {
    return bytesOf(encodeRecord(payload));
}

RemoteLanternpostHTTPRequest RemoteLanternpostClient::request(const PresentationCommand& command) {
    using Kind = PresentationCommand::Kind;
    switch (command.kind()) {
        case Kind::start:
            return {"POST", "/start",
                    command.fromFirstSlide() ? encodeBody(RemoteLanternpostStartPayload{true}) : Bytes{}};
        case Kind::goToSlideNumber:
            return {"POST", "/goto/slide/number", encodeBody(RemoteLanternpostSlideNumberPayload{command.slideNumber()})};
        case Kind::goToSlideNamed:
            return {"POST", "/goto/slide/named", encodeBody(RemoteLanternpostSlideNamePayload{command.slideName()})};
        case Kind::stop:
            return {"POST", "/stop", {}};
        case Kind::showNext:
            return {"POST", "/show/next", {}};
        case Kind::showPrevious:
            return {"POST", "/show/previous", {}};
    }
    return {"POST", "/stop", {}};
}

std::string RemoteLanternpostClient::url(std::string_view path, const RemoteLanternpostTarget& target) {
    if (!isUsableRemoteHost(target.host) || target.port < 1 || target.port > 65535) {
        throw ClientError(ClientError::Kind::invalidURL);
    }
    const std::string fullPath = requestPath(path);
    for (std::size_t i = 0; i < fullPath.size(); ++i) {
        const char c = fullPath[i];
        if (!isPathCharacter(c)) throw ClientError(ClientError::Kind::invalidURL);
        if (c == '%') {
            auto isHex = [](char h) { return (h >= '0' && h <= '9') || (h >= 'a' && h <= 'f') || (h >= 'A' && h <= 'F'); };
            if (i + 2 >= fullPath.size() || !isHex(fullPath[i + 1]) || !isHex(fullPath[i + 2])) {
                throw ClientError(ClientError::Kind::invalidURL);
            }
        }
    }
    URLComponents components;
    components.scheme = "http";
    components.host = target.host;  // an IPv6 address gets its brackets there
    components.port = target.port;
    components.path = fullPath;
    return components.string();
}

RemoteLanternpostResult<Json> RemoteLanternpostClient::exchange(RemoteHTTPTransport& transport,
                                                                const RandomByteSource& random,
                                                                const std::string& path, const std::string& method,
                                                                const Bytes& body,
                                                                const RemoteLanternpostTarget& target) {
    auto stored = keychainReadItemMigratingLegacy(remoteTargetsKeychainService, target.id);
    if (stored.status == keychain::itemNotFound) {
        return RemoteLanternpostFailure(RemoteLanternpostTargetError(RemoteLanternpostTargetError::Kind::missingSecret));
    }
    if (stored.status != keychain::success) {
        return RemoteLanternpostFailure(RemoteLanternpostTargetError::unreadableSecret(std::move(stored.problem)));
    }
    WipedBytes secret{std::move(stored.data)};

    RemoteHTTPTransportRequest outgoing;
    std::string nonce;
    try {
        outgoing.url = url(path, target);
        // The pair identifier goes into a header line: a stored record with a line break in it
        // must not be able to add headers of its own.
        if (!isUsablePairID(target.pairID)) throw ClientError(ClientError::Kind::invalidURL);
        nonce = crypto::base64urlEncode(makeRandomBytes(signing::kRequestNonceByteCount, random));
    } catch (const ClientError& error) {
        return RemoteLanternpostFailure(error);
    } catch (const RemoteLanternpostTargetError& error) {
        return RemoteLanternpostFailure(error);
    }

    // The signed path is the one the URL carries.
    const std::string signedPath = requestPath(path);
    const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    HTTPAuthCredential credential{target.pairID, secret.bytes};
    const signing::SignedRequestHeaders signature =
        signing::signRequest(credential, method, signedPath, body, signing::signatureTimestamp(now), std::move(nonce));
    OPENSSL_cleanse(credential.secret.data(), credential.secret.size());

    outgoing.method = method;
    outgoing.body = body;
    outgoing.timeout = kRequestTimeout;
    if (!body.empty()) outgoing.headers.emplace_back("Content-Type", "application/json");
    for (auto& header : signature.headers()) outgoing.headers.push_back(std::move(header));

    RemoteHTTPTransportResponse reply = transport.perform(outgoing);
    switch (reply.outcome) {
        case RemoteHTTPTransportResponse::Outcome::failed:
            return RemoteLanternpostFailure(RemoteTransportError{reply.errorDescription});
        case RemoteHTTPTransportResponse::Outcome::notHTTP:
            return RemoteLanternpostFailure(ClientError(ClientError::Kind::invalidResponse));
        case RemoteHTTPTransportResponse::Outcome::response:
            break;
    }
    if (reply.statusCode < 100 || reply.statusCode > 599) {
        return RemoteLanternpostFailure(ClientError(ClientError::Kind::invalidResponse));
    }

    const std::string_view text(reinterpret_cast<const char*>(reply.body.data()), reply.body.size());
    if (reply.statusCode >= 200 && reply.statusCode <= 299) {
        auto json = reply.bodyTruncated ? std::nullopt : parseJSON(text);
        if (!json) return RemoteLanternpostFailure(ClientError(ClientError::Kind::decodingFailed));
        return std::move(*json);
    }
    if (!reply.bodyTruncated) {
        if (auto json = parseJSON(text); json && json->is_object()) {
            auto message = json->find("message");
            if (message != json->end() && message->is_string()) {
                return RemoteLanternpostFailure(ClientError::requestFailed(message->get<std::string>()));
            }
        }
    }
    return RemoteLanternpostFailure(ClientError::requestFailed("HTTP " + std::to_string(reply.statusCode)));
}

void RemoteLanternpostClient::RequestGate::submit(const std::string& lane, dispatch::Block block) {
    {
        std::lock_guard lock(mutex_);
        Lane& state = lanes_[lane];
        if (state.running >= kMaxConcurrentRequestsPerTarget) {
            state.waiting.push_back(std::move(block));
            return;
        }
        ++state.running;
    }
    run(lane, std::move(block));
}

void RemoteLanternpostClient::RequestGate::run(std::string lane, dispatch::Block block) {
    // The gate outlives its client while requests are under way.
    dispatch::globalQueue()->async([gate = shared_from_this(), lane = std::move(lane), block = std::move(block)]() mutable {
        block();
        dispatch::Block next;
        {
            std::lock_guard lock(gate->mutex_);
            auto found = gate->lanes_.find(lane);
            if (found->second.waiting.empty()) {
                if (--found->second.running == 0) gate->lanes_.erase(found);
                return;
            }
            next = std::move(found->second.waiting.front());
            found->second.waiting.pop_front();
        }
        gate->run(std::move(lane), std::move(next));
    });
}

}  // namespace pavonix::remote
