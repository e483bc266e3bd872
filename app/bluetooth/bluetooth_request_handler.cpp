#include "app/bluetooth/bluetooth_request_handler.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <utility>

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

BluetoothRequestHandler::BluetoothRequestHandler(std::shared_ptr<const BluetoothBridgeHandlers> handlers,
                                                 WallClock clock)
    : handlers_(std::move(handlers)), clock_(std::move(clock)), chunkIDs_(std::random_device{}()) {}

BluetoothResponseEnvelope BluetoothRequestHandler::handleRequest(const Bytes& written) {
    BluetoothSignedRequest request;
    try {
        request = decodeSignedRequest(written);
    } catch (const std::exception&) {
        return failure("", kUnreadableRequestMessage);
    }
    BluetoothRequestBody body;
    try {
        body = decodeRequestBody(request.body);
    } catch (const std::exception&) {
        return failure("", kUnreadableBodyMessage);
    }
    if (!verify(request, clock_())) return failure(body.requestID, kAuthenticationFailedMessage);
    if (handlers_->pairSeen) handlers_->pairSeen(request.pairID);
    return answer(body);
}

BluetoothResponseEnvelope BluetoothRequestHandler::answer(const BluetoothRequestBody& body) {
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
            return responseChunk(*body.chunkID, *body.chunkIndex, id);
    }
    return failure(id, kUnreadableBodyMessage);
}

bool BluetoothRequestHandler::verify(const BluetoothSignedRequest& request, double now) {
    const auto credentials = handlers_->credentials ? handlers_->credentials() : std::vector<HTTPAuthCredential>{};
    // Should an identifier appear twice, the first credential with it is the one used.
    auto credential = std::find_if(credentials.begin(), credentials.end(),
                                   [&](const HTTPAuthCredential& c) { return c.pairID == request.pairID; });
    if (credential == credentials.end()) return false;
    // A timestamp that is not a finite number can never lie inside the window.
    auto timestamp = http::parseSignatureTimestamp(request.timestamp);
    if (!timestamp || !http::isTimestampWithinWindow(*timestamp, now)) return false;
    if (request.signature.empty()) return false;
    auto signature = http::decodeRequestSignature(request.signature);
    if (!signature) return false;
    if (!http::requestSignatureMatches(credential->secret, kSignedMethod, kSignedPath,
                                       http::requestBodyHash(request.body), request.timestamp, request.nonce,
                                       *signature)) {
        return false;
    }
    return nonces_.record(request.nonce, request.pairID, now);
}

Bytes BluetoothRequestHandler::makeResponseData(const BluetoothResponseEnvelope& envelope) {
    Bytes encoded = encodeBluetoothDocument(Json(envelope));
    if (envelope.responseChunk || encoded.size() <= kChunkingThreshold) return encoded;

    const double now = clock_();
    dropStaleChunks(now);
    while (chunks_.size() >= kMaxStoredChunkSets) {
        auto oldest = std::min_element(chunks_.begin(), chunks_.end(), [](const auto& a, const auto& b) {
            return a.second.createdAt < b.second.createdAt;
        });
        chunks_.erase(oldest);
    }
    const std::string id = newChunkSetID();
    std::vector<Bytes> pieces = splitIntoChunks(encoded, kChunkSize);
    BluetoothResponseChunk first{id, envelope.requestID, 0, static_cast<std::int64_t>(pieces.size()), pieces.front()};
    chunks_[id] = StoredResponseChunks{envelope.requestID, std::move(pieces), now};
    return encodeBluetoothDocument(Json(BluetoothResponseEnvelope::responseChunkEnvelope(std::move(first), envelope.requestID)));
}

BluetoothResponseEnvelope BluetoothRequestHandler::responseChunk(const std::string& id, std::int64_t index,
                                                                 const std::string& requestID) {
    dropStaleChunks(clock_());
    auto it = chunks_.find(id);
    if (it == chunks_.end() || index < 0 || static_cast<std::size_t>(index) >= it->second.chunks.size()) {
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

std::string BluetoothRequestHandler::newChunkSetID() {
    // A version-4 UUID; the id names a chunk set only to the authenticated central that asked.
    const std::uint64_t high = (chunkIDs_() & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;
    const std::uint64_t low = (chunkIDs_() & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;
    char text[37];
    std::snprintf(text, sizeof text, "%08" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%04" PRIX64 "-%012" PRIX64, high >> 32,
                  (high >> 16) & 0xFFFF, high & 0xFFFF, low >> 48, static_cast<std::uint64_t>(low & 0xFFFFFFFFFFFFULL));
    return text;
}

}  // namespace pavonix::bluetooth
