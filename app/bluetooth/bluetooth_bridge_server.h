// The Bluetooth LE bridge: one GATT service with a version, a pairing, a request and a response
// characteristic, advertised as "Pavonix". A paired central writes a signed request and reads the
// answer back from the response characteristic; a central that reads the pairing characteristic
// (only while pairing is allowed) gets a new pair's payload.
//
// Threads: the peripheral manager calls the server on the server's queue, which owns the
// per-central caches and sends every ATT answer. Decoding, verification, the model's handlers,
// the chunk store and the nonce memory run on the main thread (MainExecutor); each such task
// hops back to the queue to store the bytes and answer. start() and stop() run on the main thread.
// Tasks hold the server weakly: after stop() a request still in flight is answered with an ATT
// error and nothing is cached. Status reports reach the main thread as tasks of their own, each
// carrying the server's id.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

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

// Bounds on what centrals can make the server hold: cached answers for this many centrals (the
// least recently served goes first), requests waiting for the main thread, and one written value.
inline constexpr std::size_t kMaxCachedCentrals = 64;
inline constexpr std::size_t kMaxPendingRequests = 64;
inline constexpr std::size_t kMaxRequestBytes = 16384;

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

private:
    // Bytes per central, for at most kMaxCachedCentrals centrals. Queue only.
    class CentralCache {
    public:
        const Bytes* find(const std::string& central) const;
        void store(const std::string& central, Bytes bytes);
        void clear();
        std::size_t size() const { return entries_.size(); }

    private:
        std::map<std::string, Bytes> entries_;
        std::deque<std::string> order_;  // least recently stored first
    };

    BluetoothBridgeServer(bool allowsPairing, BluetoothBridgeHandlers handlers, BluetoothStatusHandler statusHandler,
                          dispatch::QueuePtr queue, peripheral::PeripheralManagerFactory managerFactory,
                          WallClock clock);

    // The manager when it is this server's live one; null for a replaced or stopped manager.
    peripheral::PeripheralManagerPtr liveManager(const peripheral::PeripheralManager& manager) const;
    void publish(peripheral::PeripheralManager& manager);
    // Runs `work` on the main thread, then `finish` with its result back on the queue; `finish`
    // gets nothing when the server stopped or went away meanwhile. False when too many wait.
    template <class Work, class Finish>
    bool viaMainThread(Work work, Finish finish);
    void reportStatus(BridgeServerStatus::State state, std::string detail);

    const std::uint64_t id_;
    const bool allowsPairing_;
    const std::shared_ptr<const BluetoothBridgeHandlers> handlers_;
    const BluetoothStatusHandler statusHandler_;
    const dispatch::QueuePtr queue_;
    const peripheral::PeripheralManagerFactory managerFactory_;

    mutable std::mutex mutex_;
    peripheral::PeripheralManagerPtr manager_;
    std::atomic<bool> shouldAdvertise_{false};
    std::atomic<std::size_t> pending_{0};

    // Queue only.
    CentralCache pairingPayloads_;
    CentralCache responses_;
    bool serviceFailed_ = false;

    // Main thread only.
    BluetoothRequestHandler requests_;
};

}  // namespace pavonix::bluetooth
