// The JSON documents of the Bluetooth service: the pairing payload a central reads once, the
// signed request it writes (whose body is a request body, which may carry a command), and the
// response envelope it reads back, possibly as one chunk of a longer envelope.
//
// Decoding is strict: a missing, null or mistyped required field, an unknown enumeration value or
// a byte string that is not standard base64 fails the whole document; unknown keys are ignored.
// Optional fields are left out when absent. Byte strings travel as padded standard base64.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/json_coding.h"
#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/presentation_window_results.h"
#include "app/core/slide_list_result.h"

namespace pavonix::bluetooth {

inline constexpr std::string_view kProtocolVersion = "2";
inline constexpr std::string_view kPairingAlgorithm = "HMAC-SHA256";

struct BluetoothPairingPayload {
    std::string version{kProtocolVersion};
    std::string pairID;
    std::string secret;  // 32 bytes as unpadded base64url
    std::string algorithm{kPairingAlgorithm};
    std::string deviceName;

    friend bool operator==(const BluetoothPairingPayload&, const BluetoothPairingPayload&) = default;
};

struct BluetoothSignedRequest {
    std::string pairID;
    std::string timestamp;  // seconds since 1970 as decimal text
    std::string nonce;
    std::string signature;  // unpadded base64url HMAC-SHA256, method "BLE", path "/request"
    Bytes body;             // the JSON text of a BluetoothRequestBody, exactly as signed

    friend bool operator==(const BluetoothSignedRequest&, const BluetoothSignedRequest&) = default;
};

struct BluetoothCommandPayload {
    enum class Action { start, stop, showNext, showPrevious, goToSlideNumber, goToSlideNamed };

    Action action = Action::start;
    std::optional<bool> fromBeginning;
    std::optional<std::int64_t> number;
    std::optional<std::string> name;

    // Nothing for a slide number below 1 or a name that normalises to nothing.
    std::optional<PresentationCommand> presentationCommand() const;

    friend bool operator==(const BluetoothCommandPayload&, const BluetoothCommandPayload&) = default;
};

struct BluetoothRequestBody {
    enum class Kind { health, slides, command, windows, selectWindow, selectPresentationProvider, responseChunk };

    std::string requestID;
    Kind kind = Kind::health;
    std::optional<BluetoothCommandPayload> command;
    std::optional<std::int64_t> windowID;
    std::optional<std::string> presentationProvider;  // a raw value, matched by the server
    std::optional<std::string> chunkID;
    std::optional<std::int64_t> chunkIndex;

    friend bool operator==(const BluetoothRequestBody&, const BluetoothRequestBody&) = default;
};

struct BluetoothResponseChunk {
    std::string chunkID;
    std::string originalRequestID;
    std::int64_t chunkIndex = 0;
    std::int64_t totalChunks = 0;
    Bytes data;

    friend bool operator==(const BluetoothResponseChunk&, const BluetoothResponseChunk&) = default;
};

// At most one of the result fields is set.
struct BluetoothResponseEnvelope {
    std::string requestID;
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::optional<RemoteLanternpostHealth> health;
    std::optional<CommandResult> commandResult;
    std::optional<SlideListResult> slideList;
    std::optional<RemotePresentationWindowListResult> windowList;
    std::optional<RemotePresentationWindowSelectionResult> windowSelection;
    std::optional<PresentationProviderSelectionResult> presentationProviderSelection;
    std::optional<BluetoothResponseChunk> responseChunk;

    // A failure with no result field.
    static BluetoothResponseEnvelope failure(std::string requestID, std::string message);
    static BluetoothResponseEnvelope commandResultEnvelope(const CommandResult& result, std::string requestID);
    static BluetoothResponseEnvelope slideListEnvelope(const SlideListResult& result, std::string requestID);
    static BluetoothResponseEnvelope windowListEnvelope(const RemotePresentationWindowListResult& result,
                                                        std::string requestID);
    static BluetoothResponseEnvelope windowSelectionEnvelope(const RemotePresentationWindowSelectionResult& result,
                                                             std::string requestID);
    static BluetoothResponseEnvelope presentationProviderSelectionEnvelope(
        const PresentationProviderSelectionResult& result, std::string requestID);
    // Status ok, "Bluetooth response chunk <index + 1> of <total>."
    static BluetoothResponseEnvelope responseChunkEnvelope(BluetoothResponseChunk chunk, std::string requestID);

    friend bool operator==(const BluetoothResponseEnvelope&, const BluetoothResponseEnvelope&) = default;
};

std::string_view rawValue(BluetoothCommandPayload::Action action);
std::string_view rawValue(BluetoothRequestBody::Kind kind);

// The wire form: compact, keys sorted at every level, and "/" written as "\/" as the peers' own
// encoder does, so that the length that decides chunking is the same on both sides.
std::string encodeBluetoothJSON(const Json& value);
Bytes encodeBluetoothDocument(const Json& value);

// Throw JSONDecodingError on any failure.
BluetoothSignedRequest decodeSignedRequest(const Bytes& bytes);
BluetoothRequestBody decodeRequestBody(const Bytes& bytes);

void to_json(Json& json, const BluetoothPairingPayload& payload);
void from_json(const Json& json, BluetoothPairingPayload& payload);
void to_json(Json& json, const BluetoothSignedRequest& request);
void from_json(const Json& json, BluetoothSignedRequest& request);
void to_json(Json& json, BluetoothCommandPayload::Action action);
void from_json(const Json& json, BluetoothCommandPayload::Action& action);
void to_json(Json& json, const BluetoothCommandPayload& payload);
void from_json(const Json& json, BluetoothCommandPayload& payload);
void to_json(Json& json, BluetoothRequestBody::Kind kind);
void from_json(const Json& json, BluetoothRequestBody::Kind& kind);
void to_json(Json& json, const BluetoothRequestBody& body);
void from_json(const Json& json, BluetoothRequestBody& body);
void to_json(Json& json, const BluetoothResponseChunk& chunk);
void from_json(const Json& json, BluetoothResponseChunk& chunk);
void to_json(Json& json, const BluetoothResponseEnvelope& envelope);
void from_json(const Json& json, BluetoothResponseEnvelope& envelope);

}  // namespace pavonix::bluetooth
