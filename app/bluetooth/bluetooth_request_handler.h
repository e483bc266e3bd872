// What the Bluetooth server does with one written request, on the main thread: decode it, verify
// its signature (method "BLE", path "/request", the shared signing rules), run the model's handler
// for its kind, wrap the answer in an envelope, and cut an envelope longer than 480 bytes into
// 96-byte chunks that the central fetches one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/bluetooth/bluetooth_payloads.h"
#include "app/http/request_signing.h"

namespace pavonix::bluetooth {

// The model's side of the server. Each runs on the main thread and must stay callable after the
// model behind it is gone (it then answers a failed result).
struct BluetoothBridgeHandlers {
    std::function<CommandResult(const PresentationCommand&)> command;
    std::function<SlideListResult()> slideList;
    std::function<RemotePresentationWindowListResult()> windowList;
    std::function<RemotePresentationWindowSelectionResult(std::int64_t windowID)> windowSelection;
    std::function<PresentationProvider()> presentationProvider;
    std::function<PresentationProviderSelectionResult(PresentationProvider)> presentationProviderSelection;
    std::function<void(const std::string& pairID)> pairSeen;
    // A new pair's payload for each fresh read of the pairing characteristic; nothing when none can be made.
    std::function<std::optional<BluetoothPairingPayload>()> pairingPayload;
    // The paired devices whose secrets can be read, looked up for every request.
    std::function<std::vector<HTTPAuthCredential>()> credentials;
};

inline constexpr std::size_t kChunkingThreshold = 480;
inline constexpr std::size_t kChunkSize = 96;
inline constexpr double kChunkLifetimeSeconds = 60;
// Chunk sets kept at once; beyond it the oldest goes, so that a flood of long answers cannot grow
// memory within the minute a set would otherwise live.
inline constexpr std::size_t kMaxStoredChunkSets = 32;
inline constexpr std::string_view kSignedMethod = "BLE";
inline constexpr std::string_view kSignedPath = "/request";

inline constexpr std::string_view kUnreadableRequestMessage = "The Bluetooth request was unreadable.";
inline constexpr std::string_view kUnreadableBodyMessage = "The Bluetooth request body was unreadable.";
inline constexpr std::string_view kAuthenticationFailedMessage = "Bluetooth authentication failed.";
inline constexpr std::string_view kChunkUnavailableMessage = "The Bluetooth response chunk is no longer available.";
inline constexpr std::string_view kNoResponseMessage = "No Bluetooth response is available.";

// Seconds since 1970, with fraction.
using WallClock = std::function<double()>;

// Main thread only.
class BluetoothRequestHandler {
public:
    BluetoothRequestHandler(std::shared_ptr<const BluetoothBridgeHandlers> handlers, WallClock clock);

    // Never fails outward: every failure is a failed envelope.
    BluetoothResponseEnvelope handleRequest(const Bytes& written);
    // The bytes to keep for the central: the encoded envelope, or the envelope of its first chunk.
    Bytes makeResponseData(const BluetoothResponseEnvelope& envelope);

    bool verify(const BluetoothSignedRequest& request, double now);
    BluetoothResponseEnvelope responseChunk(const std::string& id, std::int64_t index, const std::string& requestID);
    // Pieces of `size` bytes, the last one shorter; a size below 1 gives one piece.
    static std::vector<Bytes> splitIntoChunks(const Bytes& bytes, std::size_t size);

    // Forgets every chunk set and nonce.
    void reset();
    std::size_t storedChunkSetCount() const { return chunks_.size(); }

private:
    struct StoredResponseChunks {
        std::string originalRequestID;
        std::vector<Bytes> chunks;
        double createdAt = 0;
    };

    BluetoothResponseEnvelope answer(const BluetoothRequestBody& body);
    void dropStaleChunks(double now);
    std::string newChunkSetID();

    const std::shared_ptr<const BluetoothBridgeHandlers> handlers_;
    const WallClock clock_;
    http::RequestNonceMemory nonces_;
    std::map<std::string, StoredResponseChunks> chunks_;
    std::mt19937_64 chunkIDs_;
};

}  // namespace pavonix::bluetooth
