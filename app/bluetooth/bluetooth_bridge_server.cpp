#include "app/bluetooth/bluetooth_bridge_server.h"

#include <algorithm>
#include <utility>

#include "app/http/http_request_authenticator.h"

namespace pavonix::bluetooth {

namespace {

using State = BridgeServerStatus::State;
using peripheral::ATTResult;

std::atomic<std::uint64_t> nextServerID{1};

void respondByOffset(peripheral::PeripheralManager& manager, const peripheral::ReadRequest& request,
                     const Bytes& bytes) {
    if (request.offset > bytes.size()) {
        manager.respond(request, ATTResult::invalidOffset, {});
        return;
    }
    manager.respond(request, ATTResult::success, Bytes(bytes.begin() + static_cast<long>(request.offset), bytes.end()));
}

peripheral::Service gattService(bool allowsPairing) {
    using namespace peripheral;
    const auto readable = [](std::string_view uuid) {
        return Characteristic{std::string(uuid), kPropertyRead, kPermissionReadable, std::nullopt};
    };
    Service service{std::string(kServiceUUID), true, {}};
    service.characteristics.push_back(Characteristic{std::string(kVersionCharacteristicUUID), kPropertyRead,
                                                     kPermissionReadable, Bytes(kProtocolVersion.begin(), kProtocolVersion.end())});
    if (allowsPairing) service.characteristics.push_back(readable(kPairingCharacteristicUUID));
    service.characteristics.push_back(
        Characteristic{std::string(kRequestCharacteristicUUID), kPropertyWrite, kPermissionWriteable, std::nullopt});
    service.characteristics.push_back(readable(kResponseCharacteristicUUID));
    return service;
}

std::string failedStateText(peripheral::ManagerState state) {
    switch (state) {
        case peripheral::ManagerState::unsupported:
            return "Bluetooth LE peripheral mode is not supported on this computer.";
        case peripheral::ManagerState::unauthorized:
            return "Bluetooth permission is not granted.";
        case peripheral::ManagerState::poweredOff:
            return "Bluetooth is turned off.";
        default:
            return "Unknown Bluetooth state.";
    }
}

}  // namespace

// ---- Per-central cache ------------------------------------------------------------------------

const Bytes* BluetoothBridgeServer::CentralCache::find(const std::string& central) const {
    auto it = entries_.find(central);
    return it == entries_.end() ? nullptr : &it->second;
}

void BluetoothBridgeServer::CentralCache::store(const std::string& central, Bytes bytes) {
    if (entries_.contains(central)) {
        order_.erase(std::find(order_.begin(), order_.end(), central));
    } else if (entries_.size() >= kMaxCachedCentrals) {
        entries_.erase(order_.front());
        order_.pop_front();
    }
    entries_[central] = std::move(bytes);
    order_.push_back(central);
}

void BluetoothBridgeServer::CentralCache::clear() {
    entries_.clear();
    order_.clear();
}

// ---- Life cycle -------------------------------------------------------------------------------

std::shared_ptr<BluetoothBridgeServer> BluetoothBridgeServer::make(bool allowsPairing, BluetoothBridgeHandlers handlers,
                                                                   BluetoothStatusHandler statusHandler,
                                                                   dispatch::QueuePtr queue,
                                                                   peripheral::PeripheralManagerFactory managerFactory,
                                                                   WallClock clock) {
    return std::shared_ptr<BluetoothBridgeServer>(new BluetoothBridgeServer(
        allowsPairing, std::move(handlers), std::move(statusHandler), std::move(queue), std::move(managerFactory),
        clock ? std::move(clock) : WallClock(http::systemWallClock)));
}

BluetoothBridgeServer::BluetoothBridgeServer(bool allowsPairing, BluetoothBridgeHandlers handlers,
                                             BluetoothStatusHandler statusHandler, dispatch::QueuePtr queue,
                                             peripheral::PeripheralManagerFactory managerFactory, WallClock clock)
    : id_(nextServerID.fetch_add(1)),
      allowsPairing_(allowsPairing),
      handlers_(std::make_shared<const BluetoothBridgeHandlers>(std::move(handlers))),
      statusHandler_(std::move(statusHandler)),
      queue_(queue ? std::move(queue) : dispatch::makeSerialQueue("com.vrel.Lanternpost.bluetooth")),
      managerFactory_(std::move(managerFactory)),
      requests_(handlers_, std::move(clock)) {}

BluetoothBridgeServer::~BluetoothBridgeServer() = default;

void BluetoothBridgeServer::start() {
    std::lock_guard lock(mutex_);
    if (manager_) return;
    shouldAdvertise_ = true;
    reportStatus(State::starting, allowsPairing_ ? "Preparing Bluetooth pairing" : "Preparing Bluetooth controls");
    // Under the lock, so that the manager's first report, already on its way to the queue, finds
    // it installed.
    manager_ = managerFactory_(weak_from_this(), queue_);
}

void BluetoothBridgeServer::stop() {
    peripheral::PeripheralManagerPtr manager;
    {
        std::lock_guard lock(mutex_);
        shouldAdvertise_ = false;
        manager = std::move(manager_);
        manager_.reset();
    }
    if (manager) {
        manager->stopAdvertising();
        manager->removeAllServices();
    }
    // The caches belong to the queue; a request it is serving now finds the server stopped and
    // caches nothing after this.
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->pairingPayloads_.clear();
            self->responses_.clear();
        }
    });
    requests_.reset();
    reportStatus(State::stopped, "Stopped");
}

std::size_t BluetoothBridgeServer::cachedCentralCount() const {
    std::size_t count = 0;
    queue_->sync([&] { count = std::max(pairingPayloads_.size(), responses_.size()); });
    return count;
}

peripheral::PeripheralManagerPtr BluetoothBridgeServer::liveManager(const peripheral::PeripheralManager& manager) const {
    std::lock_guard lock(mutex_);
    if (!shouldAdvertise_ || manager_.get() != &manager) return nullptr;
    return manager_;
}

void BluetoothBridgeServer::reportStatus(BridgeServerStatus::State state, std::string detail) {
    if (!statusHandler_) return;
    dispatch::MainExecutor::post([handler = statusHandler_, id = id_, status = BridgeServerStatus{state, std::move(detail)}] {
        handler(id, status);
    });
}

// ---- Radio and publication --------------------------------------------------------------------

void BluetoothBridgeServer::peripheralManagerDidUpdateState(peripheral::PeripheralManager& manager) {
    if (!liveManager(manager)) return;
    const peripheral::ManagerState state = manager.state();
    switch (state) {
        case peripheral::ManagerState::poweredOn:
            publish(manager);
            return;
        case peripheral::ManagerState::unknown:
        case peripheral::ManagerState::resetting:
            reportStatus(State::starting, "Waiting for Bluetooth");
            return;
        default: {
            std::string reason = manager.stateReason();
            reportStatus(State::failed, reason.empty() ? failedStateText(state) : std::move(reason));
            return;
        }
    }
}

void BluetoothBridgeServer::publish(peripheral::PeripheralManager& manager) {
    serviceFailed_ = false;
    manager.removeAllServices();
    manager.addService(gattService(allowsPairing_));
    manager.startAdvertising({std::string(kAdvertisedLocalName), {std::string(kServiceUUID)}});
    reportStatus(State::starting, allowsPairing_ ? "Starting Bluetooth pairing" : "Starting Bluetooth controls");
}

void BluetoothBridgeServer::peripheralManagerDidAddService(peripheral::PeripheralManager& manager,
                                                           const std::optional<std::string>& error) {
    if (!error || !liveManager(manager)) return;
    // Advertising a service that centrals cannot use would only mislead them; the status says why.
    serviceFailed_ = true;
    manager.stopAdvertising();
    reportStatus(State::failed, error->empty() ? "Unable to publish the Bluetooth service." : *error);
}

void BluetoothBridgeServer::peripheralManagerDidStartAdvertising(peripheral::PeripheralManager& manager,
                                                                 const std::optional<std::string>& error) {
    if (!liveManager(manager) || serviceFailed_) return;
    if (error) {
        reportStatus(State::failed, *error);
    } else {
        reportStatus(State::running, allowsPairing_ ? "Discoverable for pairing" : "Bluetooth controls ready");
    }
}

// ---- Requests ---------------------------------------------------------------------------------

template <class Work, class Finish>
bool BluetoothBridgeServer::viaMainThread(Work work, Finish finish) {
    if (pending_.fetch_add(1) >= kMaxPendingRequests) {
        --pending_;
        return false;
    }
    dispatch::MainExecutor::post([weak = weak_from_this(), queue = queue_, work = std::move(work),
                                  finish = std::move(finish)]() mutable {
        using Result = decltype(work(std::declval<BluetoothBridgeServer&>()));
        std::optional<Result> result;
        if (auto self = weak.lock(); self && self->shouldAdvertise_) result = work(*self);
        queue->async([weak, result = std::move(result), finish = std::move(finish)]() mutable {
            auto self = weak.lock();
            if (self) --self->pending_;
            if (!self || !self->shouldAdvertise_) result.reset();
            finish(self.get(), std::move(result));
        });
    });
    return true;
}

void BluetoothBridgeServer::peripheralManagerDidReceiveRead(peripheral::PeripheralManager& manager,
                                                            const peripheral::ReadRequest& request) {
    auto live = liveManager(manager);
    if (!live) {
        manager.respond(request, ATTResult::unlikelyError, {});
        return;
    }
    if (allowsPairing_ && request.characteristic == kPairingCharacteristicUUID) {
        if (const Bytes* cached = pairingPayloads_.find(request.central); cached && request.offset > 0) {
            respondByOffset(*live, request, *cached);
            return;
        }
        const bool queued = viaMainThread(
            [](BluetoothBridgeServer& self) -> std::optional<Bytes> {
                auto payload = self.handlers_->pairingPayload ? self.handlers_->pairingPayload() : std::nullopt;
                if (!payload) return std::nullopt;
                return encodeBluetoothDocument(Json(*payload));
            },
            [live, request](BluetoothBridgeServer* self, std::optional<std::optional<Bytes>> bytes) {
                if (!self || !bytes || !*bytes) {
                    live->respond(request, ATTResult::unlikelyError, {});
                    return;
                }
                self->pairingPayloads_.store(request.central, **bytes);
                respondByOffset(*live, request, **bytes);
            });
        if (!queued) live->respond(request, ATTResult::unlikelyError, {});
        return;
    }
    if (request.characteristic == kResponseCharacteristicUUID) {
        if (const Bytes* cached = responses_.find(request.central)) {
            respondByOffset(*live, request, *cached);
        } else {
            respondByOffset(*live, request,
                            encodeBluetoothDocument(Json(BluetoothResponseEnvelope::failure("", std::string(kNoResponseMessage)))));
        }
        return;
    }
    live->respond(request, ATTResult::attributeNotFound, {});
}

void BluetoothBridgeServer::peripheralManagerDidReceiveWrites(peripheral::PeripheralManager& manager,
                                                              const std::vector<peripheral::WriteRequest>& requests) {
    auto live = liveManager(manager);
    for (const peripheral::WriteRequest& request : requests) {
        if (!live) {
            manager.respond(request, ATTResult::unlikelyError);
            continue;
        }
        if (request.characteristic != kRequestCharacteristicUUID) {
            live->respond(request, ATTResult::attributeNotFound);
            continue;
        }
        if (!request.value || request.value->empty() || request.value->size() > kMaxRequestBytes) {
            live->respond(request, ATTResult::invalidAttributeValueLength);
            continue;
        }
        const bool queued = viaMainThread(
            [value = *request.value](BluetoothBridgeServer& self) {
                return self.requests_.makeResponseData(self.requests_.handleRequest(value));
            },
            [live, request](BluetoothBridgeServer* self, std::optional<Bytes> bytes) {
                if (!self || !bytes) {
                    live->respond(request, ATTResult::unlikelyError);
                    return;
                }
                self->responses_.store(request.central, std::move(*bytes));
                live->respond(request, ATTResult::success);
            });
        if (!queued) live->respond(request, ATTResult::unlikelyError);
    }
}

}  // namespace pavonix::bluetooth
