#include "app/bluetooth/bluetooth_payloads.h"

#include <utility>

#include "app/core/text.h"
#include "platform/crypto/base64.h"

namespace pavonix::bluetooth {

using namespace json_field;

namespace {

constexpr BluetoothCommandPayload::Action allActions[] = {
    BluetoothCommandPayload::Action::start,           BluetoothCommandPayload::Action::stop,
    BluetoothCommandPayload::Action::showNext,        BluetoothCommandPayload::Action::showPrevious,
    BluetoothCommandPayload::Action::goToSlideNumber, BluetoothCommandPayload::Action::goToSlideNamed};

constexpr BluetoothRequestBody::Kind allKinds[] = {
    BluetoothRequestBody::Kind::health,         BluetoothRequestBody::Kind::slides,
    BluetoothRequestBody::Kind::command,        BluetoothRequestBody::Kind::windows,
    BluetoothRequestBody::Kind::selectWindow,   BluetoothRequestBody::Kind::selectPresentationProvider,
    BluetoothRequestBody::Kind::responseChunk};

// A present, non-null value of an optional field.
const Json* optionalField(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::optional<std::int64_t> optionalInteger(const Json& object, const char* key) {
    const Json* value = optionalField(object, key);
    if (!value) return std::nullopt;
    auto integer = integerValue(*value);
    if (!integer) throw JSONDecodingError(std::string("Field \"") + key + "\" must be an integer.");
    return integer;
}

std::optional<bool> optionalBool(const Json& object, const char* key) {
    const Json* value = optionalField(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) throw JSONDecodingError(std::string("Field \"") + key + "\" must be a Boolean.");
    return value->get<bool>();
}

Bytes requireBytes(const Json& object, const char* key) {
    auto bytes = crypto::base64Decode(requireString(object, key));
    if (!bytes) throw JSONDecodingError(std::string("Field \"") + key + "\" must be base64 text.");
    return std::move(*bytes);
}

template <class T>
void putOptional(Json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

template <class T>
std::optional<T> optionalRecord(const Json& object, const char* key) {
    const Json* value = optionalField(object, key);
    if (!value) return std::nullopt;
    return value->get<T>();
}

template <class Result>
BluetoothResponseEnvelope envelopeFor(const Result& result, std::string requestID,
                                      std::optional<Result> BluetoothResponseEnvelope::*field) {
    BluetoothResponseEnvelope envelope;
    envelope.requestID = std::move(requestID);
    envelope.status = result.status;
    envelope.message = result.message;
    envelope.*field = result;
    return envelope;
}

}  // namespace

std::optional<PresentationCommand> BluetoothCommandPayload::presentationCommand() const {
    switch (action) {
        case Action::start:
            return PresentationCommand::start(fromBeginning.value_or(false));
        case Action::stop:
            return PresentationCommand::stop();
        case Action::showNext:
            return PresentationCommand::showNext();
        case Action::showPrevious:
            return PresentationCommand::showPrevious();
        case Action::goToSlideNumber:
            if (number && *number >= 1) return PresentationCommand::goToSlideNumber(*number);
            return std::nullopt;
        case Action::goToSlideNamed: {
            std::string normalized = normalizedSlideName(name.value_or(""));
            if (normalized.empty()) return std::nullopt;
            return PresentationCommand::goToSlideNamed(std::move(normalized));
        }
    }
    return std::nullopt;
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::failure(std::string requestID, std::string message) {
    BluetoothResponseEnvelope envelope;
    envelope.requestID = std::move(requestID);
    envelope.status = ResultStatus::failed;
    envelope.message = std::move(message);
    return envelope;
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::commandResultEnvelope(const CommandResult& result,
                                                                          std::string requestID) {
    return envelopeFor(result, std::move(requestID), &BluetoothResponseEnvelope::commandResult);
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::slideListEnvelope(const SlideListResult& result,
                                                                      std::string requestID) {
    return envelopeFor(result, std::move(requestID), &BluetoothResponseEnvelope::slideList);
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::windowListEnvelope(const RemotePresentationWindowListResult& result,
                                                                       std::string requestID) {
    return envelopeFor(result, std::move(requestID), &BluetoothResponseEnvelope::windowList);
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::windowSelectionEnvelope(
    const RemotePresentationWindowSelectionResult& result, std::string requestID) {
    return envelopeFor(result, std::move(requestID), &BluetoothResponseEnvelope::windowSelection);
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::presentationProviderSelectionEnvelope(
    const PresentationProviderSelectionResult& result, std::string requestID) {
    return envelopeFor(result, std::move(requestID), &BluetoothResponseEnvelope::presentationProviderSelection);
}

BluetoothResponseEnvelope BluetoothResponseEnvelope::responseChunkEnvelope(BluetoothResponseChunk chunk,
                                                                          std::string requestID) {
    BluetoothResponseEnvelope envelope;
    envelope.requestID = std::move(requestID);
    envelope.status = ResultStatus::ok;
    envelope.message = "Bluetooth response chunk " + std::to_string(chunk.chunkIndex + 1) + " of " +
                       std::to_string(chunk.totalChunks) + ".";
    envelope.responseChunk = std::move(chunk);
    return envelope;
}

std::string_view rawValue(BluetoothCommandPayload::Action action) {
    switch (action) {
        case BluetoothCommandPayload::Action::start:
            return "start";
        case BluetoothCommandPayload::Action::stop:
            return "stop";
        case BluetoothCommandPayload::Action::showNext:
            return "showNext";
        case BluetoothCommandPayload::Action::showPrevious:
            return "showPrevious";
        case BluetoothCommandPayload::Action::goToSlideNumber:
            return "goToSlideNumber";
        case BluetoothCommandPayload::Action::goToSlideNamed:
            return "goToSlideNamed";
    }
    return "start";
}

std::string_view rawValue(BluetoothRequestBody::Kind kind) {
    switch (kind) {
        case BluetoothRequestBody::Kind::health:
            return "health";
        case BluetoothRequestBody::Kind::slides:
            return "slides";
        case BluetoothRequestBody::Kind::command:
            return "command";
        case BluetoothRequestBody::Kind::windows:
            return "windows";
        case BluetoothRequestBody::Kind::selectWindow:
            return "selectWindow";
        case BluetoothRequestBody::Kind::selectPresentationProvider:
            return "selectPresentationProvider";
        case BluetoothRequestBody::Kind::responseChunk:
            return "responseChunk";
    }
    return "health";
}

std::string encodeBluetoothJSON(const Json& value) {
    const std::string compact = encodeJSON(value);
    // Outside strings JSON has no "/", so every one of them sits in a string and is escaped alike.
    std::string out;
    out.reserve(compact.size() + 8);
    for (char c : compact) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

Bytes encodeBluetoothDocument(const Json& value) {
    const std::string text = encodeBluetoothJSON(value);
    return Bytes(text.begin(), text.end());
}

namespace {

template <class T>
T decodeBytes(const Bytes& bytes) {
    return decodeRecord<T>(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

BluetoothSignedRequest decodeSignedRequest(const Bytes& bytes) { return decodeBytes<BluetoothSignedRequest>(bytes); }
BluetoothRequestBody decodeRequestBody(const Bytes& bytes) { return decodeBytes<BluetoothRequestBody>(bytes); }

void to_json(Json& json, const BluetoothPairingPayload& payload) {
    json = Json{{"version", payload.version},
                {"pairID", payload.pairID},
                {"secret", payload.secret},
                {"algorithm", payload.algorithm},
                {"deviceName", payload.deviceName}};
}

void from_json(const Json& json, BluetoothPairingPayload& payload) {
    requireObject(json, "BluetoothPairingPayload");
    payload.version = requireString(json, "version");
    payload.pairID = requireString(json, "pairID");
    payload.secret = requireString(json, "secret");
    payload.algorithm = requireString(json, "algorithm");
    payload.deviceName = requireString(json, "deviceName");
}

void to_json(Json& json, const BluetoothSignedRequest& request) {
    json = Json{{"pairID", request.pairID},
                {"timestamp", request.timestamp},
                {"nonce", request.nonce},
                {"signature", request.signature},
                {"body", crypto::base64Encode(request.body)}};
}

void from_json(const Json& json, BluetoothSignedRequest& request) {
    requireObject(json, "BluetoothSignedRequest");
    request.pairID = requireString(json, "pairID");
    request.timestamp = requireString(json, "timestamp");
    request.nonce = requireString(json, "nonce");
    request.signature = requireString(json, "signature");
    request.body = requireBytes(json, "body");
}

void to_json(Json& json, BluetoothCommandPayload::Action action) { json = rawValue(action); }
void from_json(const Json& json, BluetoothCommandPayload::Action& action) {
    action = decodeEnum(json, allActions, "BluetoothCommandPayload.Action");
}

void to_json(Json& json, const BluetoothCommandPayload& payload) {
    json = Json{{"action", payload.action}};
    putOptional(json, "fromBeginning", payload.fromBeginning);
    putOptional(json, "number", payload.number);
    putOptional(json, "name", payload.name);
}

void from_json(const Json& json, BluetoothCommandPayload& payload) {
    requireObject(json, "BluetoothCommandPayload");
    payload.action = require(json, "action").get<BluetoothCommandPayload::Action>();
    payload.fromBeginning = optionalBool(json, "fromBeginning");
    payload.number = optionalInteger(json, "number");
    payload.name = optionalString(json, "name");
}

void to_json(Json& json, BluetoothRequestBody::Kind kind) { json = rawValue(kind); }
void from_json(const Json& json, BluetoothRequestBody::Kind& kind) {
    kind = decodeEnum(json, allKinds, "BluetoothRequestBody.Kind");
}

void to_json(Json& json, const BluetoothRequestBody& body) {
    json = Json{{"requestID", body.requestID}, {"kind", body.kind}};
    putOptional(json, "command", body.command);
    putOptional(json, "windowID", body.windowID);
    putOptional(json, "presentationProvider", body.presentationProvider);
    putOptional(json, "chunkID", body.chunkID);
    putOptional(json, "chunkIndex", body.chunkIndex);
}

void from_json(const Json& json, BluetoothRequestBody& body) {
    requireObject(json, "BluetoothRequestBody");
    body.requestID = requireString(json, "requestID");
    body.kind = require(json, "kind").get<BluetoothRequestBody::Kind>();
    body.command = optionalRecord<BluetoothCommandPayload>(json, "command");
    body.windowID = optionalInteger(json, "windowID");
    body.presentationProvider = optionalString(json, "presentationProvider");
    body.chunkID = optionalString(json, "chunkID");
    body.chunkIndex = optionalInteger(json, "chunkIndex");
}

void to_json(Json& json, const BluetoothResponseChunk& chunk) {
    json = Json{{"chunkID", chunk.chunkID},
                {"originalRequestID", chunk.originalRequestID},
                {"chunkIndex", chunk.chunkIndex},
                {"totalChunks", chunk.totalChunks},
                {"data", crypto::base64Encode(chunk.data)}};
}

void from_json(const Json& json, BluetoothResponseChunk& chunk) {
    requireObject(json, "BluetoothResponseChunk");
    chunk.chunkID = requireString(json, "chunkID");
    chunk.originalRequestID = requireString(json, "originalRequestID");
    chunk.chunkIndex = requireInteger(json, "chunkIndex");
    chunk.totalChunks = requireInteger(json, "totalChunks");
    chunk.data = requireBytes(json, "data");
}

void to_json(Json& json, const BluetoothResponseEnvelope& envelope) {
    json = Json{{"requestID", envelope.requestID}, {"status", envelope.status}, {"message", envelope.message}};
    putOptional(json, "health", envelope.health);
    putOptional(json, "commandResult", envelope.commandResult);
    putOptional(json, "slideList", envelope.slideList);
    putOptional(json, "windowList", envelope.windowList);
    putOptional(json, "windowSelection", envelope.windowSelection);
    putOptional(json, "presentationProviderSelection", envelope.presentationProviderSelection);
    putOptional(json, "responseChunk", envelope.responseChunk);
}

void from_json(const Json& json, BluetoothResponseEnvelope& envelope) {
    requireObject(json, "BluetoothResponseEnvelope");
    envelope.requestID = requireString(json, "requestID");
    envelope.status = require(json, "status").get<ResultStatus>();
    envelope.message = requireString(json, "message");
    envelope.health = optionalRecord<RemoteLanternpostHealth>(json, "health");
    envelope.commandResult = optionalRecord<CommandResult>(json, "commandResult");
    envelope.slideList = optionalRecord<SlideListResult>(json, "slideList");
    envelope.windowList = optionalRecord<RemotePresentationWindowListResult>(json, "windowList");
    envelope.windowSelection = optionalRecord<RemotePresentationWindowSelectionResult>(json, "windowSelection");
    envelope.presentationProviderSelection =
        optionalRecord<PresentationProviderSelectionResult>(json, "presentationProviderSelection");
    envelope.responseChunk = optionalRecord<BluetoothResponseChunk>(json, "responseChunk");
}

}  // namespace pavonix::bluetooth
