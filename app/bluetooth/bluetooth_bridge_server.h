// The Bluetooth LE bridge: one GATT service with a version, a pairing, a request and a response
// characteristic, advertised as "Pavonix". A paired central writes a signed request and reads the
// answer back from the response characteristic; a central that reads the pairing characteristic
// (only while pairing is allowed) is granted a new pair and reads its payload.
//
// Centrals in radio range are strangers until they prove otherwise, so what each can make the
// server hold or do is bounded: one pairing per central (another only when the first never
// reached it in full, the unread one removed) and at most eight attempts per server life (a
// server is built anew whenever Discoverable is switched on; a pairing refused only because
// another program held the settings file does not count), answers and pairing payloads kept
// per central for at most a minute and never past its disconnection, a bounded number of centrals
// (strangers' refusals apart from answers to verified requests, so that they cannot push those
// out) and of requests waiting for the main thread, and no keychain work before a request names a
// current pairing.
//
// Threads: the peripheral manager calls the server on the server's queue, which owns the
// per-central state, decodes written requests and sends every ATT answer. The pair look-up,
// verification, the model's handlers, the chunk store and the nonce memory run on the main
// thread (MainExecutor); a secret that is not cached yet is read from the keychain on a queue of
// its own over the blocking pool; each request ends back on the server's queue to store the bytes
// and answer. start() and stop() run on the main thread. Work in flight holds the server weakly:
// after stop() it is answered with an ATT error and nothing is cached. Status reports reach the
// main thread as tasks of their own, each carrying the server's id.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/bluetooth/bluetooth_request_handler.h"
#include "app/core/bridge_server_status.h"
#include "platform/dispatch/dispatch.h"
#include "platform/peripheral/peripheral_manager.h"

namespace pavonix::bluetooth {

inline constexpr std::string_view kServiceUUID = "E5D0F2D4-8A16-4D8D-8C54-6E4C0A38F7B1";
inline constexpr std::string_view kVersionCharacteristicUUID = "D7C9B8F2-2A8F-4C34-8F7B-6482EAAE6A5D";
inline constexpr std::string_view kPairingCharacteristicUUID = "31E28A2A-9E0F-493B-9335-28B4F3B30AC6";
inline constexpr std::string_view kRequestCharacteristicUUID = "0FBB690E-5A9A-4B28-AF57-AAD2CB3B5E4B";
inline constexpr std::string_view kResponseCharacteristicUUID = "94B84E43-9769-499C-B600-83B3685B2A55";
inline constexpr std::string_view kAdvertisedLocalName = "Pavonix";

// Bounds on what centrals can make the server hold: answers to verified requests for this many
// centrals, refusals for this many more (in each, the least recently stored goes first), requests
// waiting for the main thread, and one written value.
inline constexpr std::size_t kMaxCachedCentrals = 64;
inline constexpr std::size_t kMaxCachedRefusals = 16;
inline constexpr std::size_t kMaxPendingRequests = 64;
inline constexpr std::size_t kMaxRequestBytes = 16384;
// A central's cached answer and pairing payload are dropped this long after they were made.
inline constexpr double kCentralCacheLifetimeSeconds = 60;
// Pairings one server attempts, those that failed or were removed unread included; a central is
// granted one at a time.
inline constexpr std::size_t kMaxPairingsPerPeriod = 8;
inline constexpr std::string_view kPairingLimitMessage =
    "Pairing limit reached: switch Discoverable off and on to pair more devices.";

// serverID is the reporting server's id().
using BluetoothStatusHandler = std::function<void(std::uint64_t serverID, BridgeServerStatus status)>;

class BluetoothBridgeServer final : public peripheral::PeripheralManagerDelegate,
                                    public std::enable_shared_from_this<BluetoothBridgeServer> {
public:
    // A null clock reads the system clock.
    static std::shared_ptr<BluetoothBridgeServer> make(bool allowsPairing, BluetoothBridgeHandlers handlers,
                                                       BluetoothStatusHandler statusHandler, dispatch::QueuePtr queue,
                                                       peripheral::PeripheralManagerFactory managerFactory,
                                                       WallClock clock = nullptr);
    ~BluetoothBridgeServer() override;
    BluetoothBridgeServer(const BluetoothBridgeServer&) = delete;
    BluetoothBridgeServer& operator=(const BluetoothBridgeServer&) = delete;

    // Creates the peripheral manager; the rest follows its state reports. A second start while a
    // manager exists does nothing.
    void start();
    // Withdraws the service, drops the manager, forgets every cache, chunk set and nonce, and
    // reports "Stopped".
    void stop();

    std::uint64_t id() const { return id_; }
    bool allowsPairing() const { return allowsPairing_; }
    // Centrals with a cached pairing payload or response (waits for the queue); chunk sets (main thread).
    std::size_t cachedCentralCount() const;
    std::size_t storedChunkSetCount() const { return requests_.storedChunkSetCount(); }

    void peripheralManagerDidUpdateState(peripheral::PeripheralManager& manager) override;
    void peripheralManagerDidAddService(peripheral::PeripheralManager& manager,
                                        const std::optional<std::string>& error) override;
    void peripheralManagerDidStartAdvertising(peripheral::PeripheralManager& manager,
                                              const std::optional<std::string>& error) override;
    void peripheralManagerDidReceiveRead(peripheral::PeripheralManager& manager,
                                         const peripheral::ReadRequest& request) override;
    void peripheralManagerDidReceiveWrites(peripheral::PeripheralManager& manager,
                                           const std::vector<peripheral::WriteRequest>& requests) override;
    void peripheralManagerCentralDidDisconnect(peripheral::PeripheralManager& manager,
                                               const std::string& central) override;

private:
    // Bytes per central with the time they were made, for at most `capacity` centrals; entries
    // older than kCentralCacheLifetimeSeconds are never served. Queue only.
    class CentralCache {
    public:
        explicit CentralCache(std::size_t capacity) : capacity_(capacity) {}
        const Bytes* find(const std::string& central, double now);
        void store(const std::string& central, Bytes bytes, double now);
        void erase(const std::string& central);
        void dropExpired(double now);
        void clear();
        std::size_t size() const { return entries_.size(); }
        bool contains(const std::string& central) const { return entries_.contains(central); }
        std::optional<double> oldest() const;

    private:
        struct Entry {
            Bytes bytes;
            double madeAt = 0;
        };
        const std::size_t capacity_;
        std::map<std::string, Entry> entries_;
        std::deque<std::string> order_;  // least recently stored first
    };

    // A pairing granted to a central. Queue only.
    struct Grant {
        bool making = true;  // its payload is still being made (its secret saved, its record written)
        std::string pairID;
        std::size_t size = 0;       // of the payload
        std::size_t delivered = 0;  // how far into the payload the central's reads have reached
    };

    // Requests from one central still on their way through the main thread. A disconnection
    // moves the generation on, so that their answers are not kept for whoever connects next.
    struct InFlight {
        std::size_t count = 0;
        std::uint64_t generation = 0;
    };

    // What a request's trip through the main thread ends with: the bytes for the central and the
    // pair they belong to (the verified pair of an answer, the new pair of a pairing payload; none
    // for a refusal or a pairing that could not be made).
    struct Reply {
        Bytes bytes;
        std::string pairID;
        bool counts = true;  // for a pairing that could not be made: whether it counts toward the limit
    };
    // Runs on the queue; `self` is null when the server stopped or went away meanwhile, and the
    // reply is nothing when it had stopped before the main thread's part.
    using Finish = std::function<void(BluetoothBridgeServer* self, std::optional<Reply> reply)>;

    BluetoothBridgeServer(bool allowsPairing, BluetoothBridgeHandlers handlers, BluetoothStatusHandler statusHandler,
                          dispatch::QueuePtr queue, peripheral::PeripheralManagerFactory managerFactory,
                          WallClock clock);

    // The manager when it is this server's live one; null for a replaced or stopped manager.
    peripheral::PeripheralManagerPtr liveManager(const peripheral::PeripheralManager& manager) const;
    void publish(peripheral::PeripheralManager& manager);
    void reportStatus(BridgeServerStatus::State state, std::string detail);
    void reportRunning();

    void readPairing(const peripheral::PeripheralManagerPtr& live, const peripheral::ReadRequest& request);
    // Answers a read of the central's payload and notes how far into it the central has got.
    static void servePairing(peripheral::PeripheralManager& live, const peripheral::ReadRequest& request, Grant& grant,
                             const Bytes& payload);
    void withdrawUnreadPairings();
    void storeResponse(const std::string& central, Reply reply);
    void handleWrite(const peripheral::PeripheralManagerPtr& live, const peripheral::WriteRequest& request);
    // The main thread's part of a request: the pair look-up, then verification and the answer
    // at once when the secret is cached, else after reading it on secretQueue_.
    void answerOnMainThread(OpenedRequest request, Finish finish);
    void answerWithSecret(const OpenedRequest& request, const std::optional<Bytes>& secret, Finish finish);
    // Hands the bytes to `finish` on the queue.
    static void finishOnQueue(const std::weak_ptr<BluetoothBridgeServer>& weak, const dispatch::QueuePtr& queue,
                              Finish finish, std::optional<Reply> reply);

    // Admission of requests that need the main thread; false when too many wait.
    bool admit();
    std::uint64_t beginInFlight(const std::string& central);
    // Ends one request of the central; true when the central has not disconnected since it began.
    bool endInFlight(const std::string& central, std::uint64_t generation);
    // Drops cached answers and payloads that have outlived their minute, and makes sure a check
    // follows while any are left.
    void dropExpired();
    void scheduleExpiry();

    const std::uint64_t id_;
    const bool allowsPairing_;
    const std::shared_ptr<const BluetoothBridgeHandlers> handlers_;
    const BluetoothStatusHandler statusHandler_;
    const dispatch::QueuePtr queue_;
    const dispatch::QueuePtr secretQueue_;
    const peripheral::PeripheralManagerFactory managerFactory_;
    const WallClock clock_;

    mutable std::mutex mutex_;
    peripheral::PeripheralManagerPtr manager_;
    std::atomic<bool> shouldAdvertise_{false};
    std::atomic<std::size_t> pending_{0};

    // Queue only.
    CentralCache pairingPayloads_{kMaxPairingsPerPeriod};
    CentralCache answers_{kMaxCachedCentrals};
    CentralCache refusals_{kMaxCachedRefusals};
    // Centrals granted a pairing by this server, a pairing being made included; together with the
    // attempts that failed (but for another program's hold on the settings file) or were withdrawn
    // unread, at most kMaxPairingsPerPeriod. A grant whose
    // payload was read in full is kept after the payload is dropped: that central has its pairing.
    std::map<std::string, Grant> pairingGrants_;
    std::size_t spentPairings_ = 0;
    bool pairingLimitReached_ = false;
    std::map<std::string, InFlight> inFlight_;
    bool expiryScheduled_ = false;
    bool serviceFailed_ = false;

    // Main thread only.
    BluetoothRequestHandler requests_;
};

}  // namespace pavonix::bluetooth
