#include "app/bluetooth/bluetooth_request_handler.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>

#include "platform/crypto/secure_random.h"

namespace pavonix::bluetooth {

namespace {

using Kind = BluetoothRequestBody::Kind;

constexpr std::string_view kInvalidCommandMessage = "The Bluetooth command was invalid.";
constexpr std::string_view kInvalidWindowMessage = "The Bluetooth window selection was invalid.";
constexpr std::string_view kInvalidProviderMessage = "The Bluetooth app selection was invalid.";
constexpr std::string_view kInvalidChunkRequestMessage = "The Bluetooth response chunk request was invalid.";

BluetoothResponseEnvelope failure(const std::string& requestID, std::string_view message) {
    return BluetoothResponseEnvelope::failure(requestID, std::string(message));
}

}  // namespace

// ---- Secrets ----------------------------------------------------------------------------------

std::optional<Bytes> BluetoothSecretCache::cached(const std::string& pairID) const {
    std::lock_guard lock(mutex_);
    auto it = secrets_.find(pairID);
    return it == secrets_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<Bytes> BluetoothSecretCache::read(const std::string& pairID) {
    std::uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (auto it = secrets_.find(pairID); it != secrets_.end()) return it->second;
        generation = generation_;
    }
    // Outside the lock: a slow keychain must not hold up cached look-ups.
    std::optional<Bytes> secret = reader_ ? reader_(pairID) : std::nullopt;
    if (!secret) return std::nullopt;
    std::lock_guard lock(mutex_);
    if (generation == generation_) secrets_.emplace(pairID, *secret);
    return secret;
}

void BluetoothSecretCache::forget(const std::string& pairID) {
    std::lock_guard lock(mutex_);
    ++generation_;
    eraseLocked(pairID);
}

void BluetoothSecretCache::discard(const std::string& pairID) {
    std::lock_guard lock(mutex_);
    eraseLocked(pairID);
}

void BluetoothSecretCache::eraseLocked(const std::string& pairID) {
    if (auto it = secrets_.find(pairID); it != secrets_.end()) {
        OPENSSL_cleanse(it->second.data(), it->second.size());
        secrets_.erase(it);
    }
}

void BluetoothSecretCache::clear() {
    std::lock_guard lock(mutex_);
    ++generation_;
    for (auto& [pairID, secret] : secrets_) OPENSSL_cleanse(secret.data(), secret.size());
    secrets_.clear();
}

// ---- Requests ---------------------------------------------------------------------------------

std::string leadingCharacters(const std::string& text, std::size_t limit) {
    std::size_t end = 0;
    for (std::size_t count = 0; end < text.size() && count < limit; ++count) {
        ++end;
        // Continuation bytes (10xxxxxx) belong to the character before them.
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
    }
    return text.substr(0, end);
}

BluetoothRequestHandler::BluetoothRequestHandler(std::shared_ptr<const BluetoothBridgeHandlers> handlers,
                                                 WallClock clock)
    : handlers_(std::move(handlers)), clock_(std::move(clock)) {}

std::variant<BluetoothResponseEnvelope, OpenedRequest> BluetoothRequestHandler::open(const Bytes& written, double now) {
    OpenedRequest opened;
    try {
        opened.signedRequest = decodeSignedRequest(written);
    } catch (const std::exception&) {
        return failure("", kUnreadableRequestMessage);
    }
    try {
        opened.body = decodeRequestBody(opened.signedRequest.body);
    } catch (const std::exception&) {
        return failure("", kUnreadableBodyMessage);
    }
    const BluetoothSignedRequest& request = opened.signedRequest;
    // A timestamp that is not a finite number can never lie inside the window.
    auto timestamp = signing::parseSignatureTimestamp(request.timestamp);
    if (!timestamp || !signing::isTimestampWithinWindow(*timestamp, now)) return refusal(opened.body);
    auto signature = request.signature.empty() ? std::nullopt : signing::decodeRequestSignature(request.signature);
    if (!signature) return refusal(opened.body);
    opened.signature = *signature;
    return opened;
}

BluetoothResponseEnvelope BluetoothRequestHandler::refusal(const BluetoothRequestBody& body) {
    return failure(leadingCharacters(body.requestID, kMaxEchoedRequestIDCharacters), kAuthenticationFailedMessage);
}

bool BluetoothRequestHandler::isPaired(const std::string& pairID) const {
    return handlers_->isPaired && handlers_->isPaired(pairID);
}

std::optional<BluetoothResponseEnvelope> BluetoothRequestHandler::answerVerified(const OpenedRequest& request,
                                                                                const Bytes& secret) {
    const std::string& pairID = request.signedRequest.pairID;
    if (!signatureAndNonceAccepted(request, secret, clock_())) return std::nullopt;
    if (handlers_->pairSeen) handlers_->pairSeen(pairID);
    return answer(request.body, pairID);
}

bool BluetoothRequestHandler::signatureAndNonceAccepted(const OpenedRequest& request, const Bytes& secret, double now) {
    const BluetoothSignedRequest& signedRequest = request.signedRequest;
    // The window once more: the request may have waited for the secret.
    auto timestamp = signing::parseSignatureTimestamp(signedRequest.timestamp);
    if (!timestamp || !signing::isTimestampWithinWindow(*timestamp, now)) return false;
    if (!signing::requestSignatureMatches(secret, kSignedMethod, kSignedPath,
                                          signing::requestBodyHash(signedRequest.body), signedRequest.timestamp,
                                          signedRequest.nonce, request.signature)) {
        return false;
    }
    return nonces_.record(signedRequest.nonce, signedRequest.pairID, now);
}

BluetoothResponseEnvelope BluetoothRequestHandler::answer(const BluetoothRequestBody& body, const std::string& pairID) {
    const std::string& id = body.requestID;
    const BluetoothBridgeHandlers& h = *handlers_;
    switch (body.kind) {
        case Kind::health: {
            const PresentationProvider provider = h.presentationProvider();
            const std::string name(displayName(provider));
            BluetoothResponseEnvelope envelope;
            envelope.requestID = id;
            envelope.status = ResultStatus::ok;
            envelope.message = name + " is reachable.";
            envelope.health = RemoteLanternpostHealth{"ok", std::string(rawValue(provider)), name};
            return envelope;
        }
        case Kind::slides: {
            SlideListResult result = h.slideList();
            // Speaker notes stay on this machine.
            for (auto& slide : result.slides) slide.notes.clear();
            return BluetoothResponseEnvelope::slideListEnvelope(result, id);
        }
        case Kind::command: {
            auto command = body.command ? body.command->presentationCommand() : std::nullopt;
            if (!command) return failure(id, kInvalidCommandMessage);
            return BluetoothResponseEnvelope::commandResultEnvelope(h.command(*command), id);
        }
        case Kind::windows:
            return BluetoothResponseEnvelope::windowListEnvelope(h.windowList(), id);
        case Kind::selectWindow:
            if (!body.windowID || *body.windowID < 0) return failure(id, kInvalidWindowMessage);
            return BluetoothResponseEnvelope::windowSelectionEnvelope(h.windowSelection(*body.windowID), id);
        case Kind::selectPresentationProvider: {
            auto provider = body.presentationProvider ? presentationProviderFromRawValue(*body.presentationProvider)
                                                      : std::nullopt;
            if (!provider) return failure(id, kInvalidProviderMessage);
            return BluetoothResponseEnvelope::presentationProviderSelectionEnvelope(
                h.presentationProviderSelection(*provider), id);
        }
        case Kind::responseChunk:
            if (!body.chunkID || !body.chunkIndex || *body.chunkIndex < 0) {
                return failure(id, kInvalidChunkRequestMessage);
            }
            return responseChunk(*body.chunkID, *body.chunkIndex, id, pairID);
    }
    return failure(id, kUnreadableBodyMessage);
}

// ---- Chunks -----------------------------------------------------------------------------------

Bytes BluetoothRequestHandler::makeResponseData(const BluetoothResponseEnvelope& envelope, const std::string& pairID) {
    Bytes encoded = encodeBluetoothDocument(Json(envelope));
    if (envelope.responseChunk || encoded.size() <= kChunkingThreshold) return encoded;

    const double now = clock_();
    dropStaleChunks(now);
    // A guessable identifier would let one phone read another's answers.
    const std::optional<std::string> id = secureRandomUUID();
    if (!id) return encodeBluetoothDocument(Json(failure(envelope.requestID, kNoRandomBytesMessage)));
    makeRoomFor(pairID);
    std::vector<Bytes> pieces = splitIntoChunks(encoded, kChunkSize);
    BluetoothResponseChunk first{*id, envelope.requestID, 0, static_cast<std::int64_t>(pieces.size()), pieces.front()};
    chunks_[*id] = StoredResponseChunks{envelope.requestID, pairID, std::move(pieces), now};
    return encodeBluetoothDocument(Json(BluetoothResponseEnvelope::responseChunkEnvelope(std::move(first), envelope.requestID)));
}

void BluetoothRequestHandler::makeRoomFor(const std::string& pairID) {
    for (;;) {
        std::size_t held = 0;
        auto oldest = chunks_.end();
        for (auto it = chunks_.begin(); it != chunks_.end(); ++it) {
            if (it->second.pairID != pairID) continue;
            ++held;
            if (oldest == chunks_.end() || it->second.createdAt < oldest->second.createdAt) oldest = it;
        }
        if (held < kMaxChunkSetsPerPair) return;
        chunks_.erase(oldest);
    }
}

BluetoothResponseEnvelope BluetoothRequestHandler::responseChunk(const std::string& id, std::int64_t index,
                                                                 const std::string& requestID,
                                                                 const std::string& pairID) {
    dropStaleChunks(clock_());
    auto it = chunks_.find(id);
    // Another pair's set is as unknown as one that never was.
    if (it == chunks_.end() || it->second.pairID != pairID || index < 0 ||
        static_cast<std::size_t>(index) >= it->second.chunks.size()) {
        return failure(requestID, kChunkUnavailableMessage);
    }
    const auto total = static_cast<std::int64_t>(it->second.chunks.size());
    BluetoothResponseChunk chunk{id, it->second.originalRequestID, index, total,
                                 it->second.chunks[static_cast<std::size_t>(index)]};
    if (index == total - 1) chunks_.erase(it);
    return BluetoothResponseEnvelope::responseChunkEnvelope(std::move(chunk), requestID);
}

std::vector<Bytes> BluetoothRequestHandler::splitIntoChunks(const Bytes& bytes, std::size_t size) {
    if (bytes.empty()) return {};
    if (size < 1) return {bytes};
    std::vector<Bytes> pieces;
    for (std::size_t start = 0; start < bytes.size(); start += size) {
        const std::size_t end = std::min(bytes.size(), start + size);
        pieces.emplace_back(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(end));
    }
    return pieces;
}

void BluetoothRequestHandler::reset() {
    chunks_.clear();
    nonces_.prune(std::numeric_limits<double>::infinity());  // every recorded time lies before the cutoff
}

void BluetoothRequestHandler::dropStaleChunks(double now) {
    std::erase_if(chunks_, [now](const auto& entry) { return entry.second.createdAt < now - kChunkLifetimeSeconds; });
}

std::optional<std::string> secureRandomUUID() {
    auto bytes = crypto::secureRandomBytes(16);
    if (!bytes || bytes->size() != 16) return std::nullopt;
    Bytes& b = *bytes;
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < b.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
        text += kHex[b[i] >> 4];
        text += kHex[b[i] & 0x0F];
    }
    return text;
}

}  // namespace pavonix::bluetooth
