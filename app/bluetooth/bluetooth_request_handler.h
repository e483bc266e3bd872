// What the Bluetooth server does with one written request: decode it, verify its signature
// (method "BLE", path "/request", the shared signing rules), run the model's handler for its kind,
// wrap the answer in an envelope, and cut an envelope longer than 480 bytes into 96-byte chunks
// that the central fetches one by one.
//
// Verification is staged so that a stranger costs as little as possible: decoding and the checks
// that need no secret run first, anywhere (open()); then the pair is looked up among the current
// pairings on the main thread without touching the keychain; only a known pair's secret is read,
// off the main thread, once per server life (BluetoothSecretCache); the signature and the nonce
// are checked last, on the main thread, together with the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/bluetooth/bluetooth_payloads.h"
#include "app/signing/request_signing.h"

namespace pavonix::bluetooth {

// The secrets of the pairs that have sent requests: each read from the keychain once and kept
// until its pairing is removed or the server it serves is replaced. The reader may block; read()
// is called off the main thread. Thread-safe.
class BluetoothSecretCache {
public:
    using Reader = std::function<std::optional<Bytes>(const std::string& pairID)>;

    explicit BluetoothSecretCache(Reader reader) : reader_(std::move(reader)) {}

    // The kept secret; never reads the keychain.
    std::optional<Bytes> cached(const std::string& pairID) const;
    // The kept secret, else the keychain's (kept when found).
    std::optional<Bytes> read(const std::string& pairID);
    // A read that was already under way when the pair was forgotten keeps nothing.
    void forget(const std::string& pairID);
    // Drops the kept secret only. For requests that name a pair no longer (or never) paired:
    // a stranger can name any, and must not stop the reads under way for real pairs from being kept.
    void discard(const std::string& pairID);
    void clear();

private:
    void eraseLocked(const std::string& pairID);

    const Reader reader_;
    mutable std::mutex mutex_;
    std::map<std::string, Bytes> secrets_;
    std::uint64_t generation_ = 0;  // moves on every forget() and clear()
};

// What a pairing the server grants ends with: the new pair's payload, or none. A pairing refused
// only because another program held the settings file made nothing that lasts, and does not
// count toward the pairings a period allows.
struct BluetoothPairingOutcome {
    std::optional<BluetoothPairingPayload> payload;
    bool counts = true;
};

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
    // Makes a new pair for each pairing the server grants and calls `reply` with it, on the main
    // thread, once its record is on disk (later: the disk may be slow); exactly once.
    using PairingReply = std::function<void(BluetoothPairingOutcome)>;
    std::function<void(PairingReply reply)> pairingPayload;
    // Removes a pair whose payload never reached its central in full (its record and its secret),
    // without rebuilding the server.
    std::function<void(const std::string& pairID)> removePairing;
    // Whether the identifier names a current pairing. Asked for every request that gets this far,
    // so a removed pairing is refused at once; must not read the keychain.
    std::function<bool(const std::string& pairID)> isPaired;
    // The paired devices' secrets; null: no request can be verified.
    std::shared_ptr<BluetoothSecretCache> secrets;
};

inline constexpr std::size_t kChunkingThreshold = 480;
inline constexpr std::size_t kChunkSize = 96;
inline constexpr double kChunkLifetimeSeconds = 60;
// Chunk sets one pair may hold at once; beyond it the pair's oldest goes. Counted per pair, so
// that no central can push out the set another phone is still reading.
inline constexpr std::size_t kMaxChunkSetsPerPair = 8;
// Characters of a refused request's requestID echoed back: its answer then always fits one
// value, so an unauthenticated write never creates a chunk set.
inline constexpr std::size_t kMaxEchoedRequestIDCharacters = 64;
inline constexpr std::string_view kSignedMethod = "BLE";
inline constexpr std::string_view kSignedPath = "/request";

inline constexpr std::string_view kUnreadableRequestMessage = "The Bluetooth request was unreadable.";
inline constexpr std::string_view kUnreadableBodyMessage = "The Bluetooth request body was unreadable.";
inline constexpr std::string_view kAuthenticationFailedMessage = "Bluetooth authentication failed.";
inline constexpr std::string_view kChunkUnavailableMessage = "The Bluetooth response chunk is no longer available.";
inline constexpr std::string_view kNoResponseMessage = "No Bluetooth response is available.";
inline constexpr std::string_view kNoRandomBytesMessage = "Unable to generate secure random bytes.";

// Seconds since 1970, with fraction.
using WallClock = std::function<double()>;

// A written request that decoded and passed every check that needs no secret.
struct OpenedRequest {
    BluetoothSignedRequest signedRequest;
    BluetoothRequestBody body;
    crypto::Sha256Digest signature{};
};

// The first `limit` code points of valid UTF-8 text.
std::string leadingCharacters(const std::string& text, std::size_t limit);

// Main thread only, apart from the static open().
class BluetoothRequestHandler {
public:
    BluetoothRequestHandler(std::shared_ptr<const BluetoothBridgeHandlers> handlers, WallClock clock);

    // Decodes the written bytes and checks the timestamp window and the signature's form: a
    // failed envelope, or the request to look up. Pure: callable on any thread.
    static std::variant<BluetoothResponseEnvelope, OpenedRequest> open(const Bytes& written, double now);
    // The answer to a request whose pair is not (or no longer) paired, or whose signature fails.
    static BluetoothResponseEnvelope refusal(const BluetoothRequestBody& body);

    bool isPaired(const std::string& pairID) const;
    // With the secret of a current pair: checks the signature and the nonce, then answers the request;
    // nothing when the checks refuse it (its answer is then refusal()). Never fails outward: every
    // other failure is a failed envelope.
    std::optional<BluetoothResponseEnvelope> answerVerified(const OpenedRequest& request, const Bytes& secret);
    // The bytes to keep for the central: the encoded envelope, or the envelope of its first chunk
    // (the set counted against `pairID`).
    Bytes makeResponseData(const BluetoothResponseEnvelope& envelope, const std::string& pairID);

    BluetoothResponseEnvelope responseChunk(const std::string& id, std::int64_t index, const std::string& requestID,
                                            const std::string& pairID);
    // Pieces of `size` bytes, the last one shorter; a size below 1 gives one piece.
    static std::vector<Bytes> splitIntoChunks(const Bytes& bytes, std::size_t size);

    // Forgets every chunk set and nonce.
    void reset();
    std::size_t storedChunkSetCount() const { return chunks_.size(); }

private:
    struct StoredResponseChunks {
        std::string originalRequestID;
        std::string pairID;
        std::vector<Bytes> chunks;
        double createdAt = 0;
    };

    bool signatureAndNonceAccepted(const OpenedRequest& request, const Bytes& secret, double now);
    BluetoothResponseEnvelope answer(const BluetoothRequestBody& body, const std::string& pairID);
    void dropStaleChunks(double now);
    void makeRoomFor(const std::string& pairID);

    const std::shared_ptr<const BluetoothBridgeHandlers> handlers_;
    const WallClock clock_;
    signing::RequestNonceMemory nonces_;
    std::map<std::string, StoredResponseChunks> chunks_;
};

// A version-4 UUID from the secure random source (upper-case 8-4-4-4-12); nothing when the
// source cannot deliver.
std::optional<std::string> secureRandomUUID();

}  // namespace pavonix::bluetooth
