#include "app/bluetooth/bluetooth_bridge_server.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "app/signing/request_signing.h"

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

namespace {

// A wall clock that steps back makes an entry look younger than it is; dropping it then is the
// safe side.
bool isFresh(double madeAt, double now) { return now >= madeAt && now - madeAt <= kCentralCacheLifetimeSeconds; }

}  // namespace

const Bytes* BluetoothBridgeServer::CentralCache::find(const std::string& central, double now) {
    auto it = entries_.find(central);
    if (it == entries_.end()) return nullptr;
    if (!isFresh(it->second.madeAt, now)) {
        erase(central);
        return nullptr;
    }
    return &it->second.bytes;
}

void BluetoothBridgeServer::CentralCache::store(const std::string& central, Bytes bytes, double now) {
    if (entries_.contains(central)) {
        erase(central);
    } else if (entries_.size() >= kMaxCachedCentrals) {
        erase(order_.front());
    }
    entries_[central] = Entry{std::move(bytes), now};
    order_.push_back(central);
}

void BluetoothBridgeServer::CentralCache::erase(const std::string& central) {
    auto it = entries_.find(central);
    if (it == entries_.end()) return;
    // A pairing payload holds a secret.
    OPENSSL_cleanse(it->second.bytes.data(), it->second.bytes.size());
    entries_.erase(it);
    order_.erase(std::find(order_.begin(), order_.end(), central));
}

void BluetoothBridgeServer::CentralCache::dropExpired(double now) {
    std::vector<std::string> expired;
    for (const auto& [central, entry] : entries_) {
        if (!isFresh(entry.madeAt, now)) expired.push_back(central);
    }
    for (const auto& central : expired) erase(central);
}

void BluetoothBridgeServer::CentralCache::clear() {
    while (!order_.empty()) erase(order_.front());
}

std::optional<double> BluetoothBridgeServer::CentralCache::oldest() const {
    std::optional<double> oldest;
    for (const auto& [central, entry] : entries_) {
        if (!oldest || entry.madeAt < *oldest) oldest = entry.madeAt;
    }
    return oldest;
}

// ---- Life cycle -------------------------------------------------------------------------------

std::shared_ptr<BluetoothBridgeServer> BluetoothBridgeServer::make(bool allowsPairing, BluetoothBridgeHandlers handlers,
                                                                   BluetoothStatusHandler statusHandler,
                                                                   dispatch::QueuePtr queue,
                                                                   peripheral::PeripheralManagerFactory managerFactory,
                                                                   WallClock clock) {
    return std::shared_ptr<BluetoothBridgeServer>(new BluetoothBridgeServer(
        allowsPairing, std::move(handlers), std::move(statusHandler), std::move(queue), std::move(managerFactory),
        clock ? std::move(clock) : WallClock(signing::systemWallClock)));
}

BluetoothBridgeServer::BluetoothBridgeServer(bool allowsPairing, BluetoothBridgeHandlers handlers,
                                             BluetoothStatusHandler statusHandler, dispatch::QueuePtr queue,
                                             peripheral::PeripheralManagerFactory managerFactory, WallClock clock)
    : id_(nextServerID.fetch_add(1)),
      allowsPairing_(allowsPairing),
      handlers_(std::make_shared<const BluetoothBridgeHandlers>(std::move(handlers))),
      statusHandler_(std::move(statusHandler)),
      queue_(queue ? std::move(queue) : dispatch::makeSerialQueue("com.vrel.Lanternpost.bluetooth")),
      // One read at a time, on the pool meant for blocking calls: a slow keychain holds up
      // neither the main thread nor the radio.
      secretQueue_(dispatch::makeSerialQueue("com.vrel.Lanternpost.bluetooth.secrets",
                                             dispatch::globalQueue(dispatch::Priority::normal))),
      managerFactory_(std::move(managerFactory)),
      clock_(std::move(clock)),
      requests_(handlers_, clock_) {}

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
            self->pairingGranted_.clear();
            self->inFlight_.clear();
        }
    });
    requests_.reset();
    reportStatus(State::stopped, "Stopped");
}

std::size_t BluetoothBridgeServer::cachedCentralCount() const {
    std::size_t count = 0;
    queue_->sync([&] {
        count = responses_.size();
        for (const auto& [central, making] : pairingGranted_) {
            if (pairingPayloads_.contains(central) && !responses_.contains(central)) ++count;
        }
    });
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
        reportRunning();
    }
}

void BluetoothBridgeServer::reportRunning() {
    if (pairingLimitReached_) {
        reportStatus(State::running, std::string(kPairingLimitMessage));
    } else {
        reportStatus(State::running, allowsPairing_ ? "Discoverable for pairing" : "Bluetooth controls ready");
    }
}

// ---- Requests ---------------------------------------------------------------------------------

bool BluetoothBridgeServer::admit() {
    if (pending_.fetch_add(1) >= kMaxPendingRequests) {
        --pending_;
        return false;
    }
    return true;
}

std::uint64_t BluetoothBridgeServer::beginInFlight(const std::string& central) {
    InFlight& entry = inFlight_[central];
    ++entry.count;
    return entry.generation;
}

bool BluetoothBridgeServer::endInFlight(const std::string& central, std::uint64_t generation) {
    auto it = inFlight_.find(central);
    if (it == inFlight_.end()) return false;  // stopped meanwhile
    const bool current = it->second.generation == generation;
    if (--it->second.count == 0) inFlight_.erase(it);
    return current;
}

void BluetoothBridgeServer::finishOnQueue(const std::weak_ptr<BluetoothBridgeServer>& weak,
                                          const dispatch::QueuePtr& queue, Finish finish, std::optional<Bytes> bytes) {
    queue->async([weak, bytes = std::move(bytes), finish = std::move(finish)]() mutable {
        auto self = weak.lock();
        if (!self || !self->shouldAdvertise_) bytes.reset();
        finish(self.get(), std::move(bytes));
    });
}

void BluetoothBridgeServer::peripheralManagerDidReceiveRead(peripheral::PeripheralManager& manager,
                                                            const peripheral::ReadRequest& request) {
    auto live = liveManager(manager);
    if (!live) {
        manager.respond(request, ATTResult::unlikelyError, {});
        return;
    }
    dropExpired();
    if (allowsPairing_ && request.characteristic == kPairingCharacteristicUUID) {
        readPairing(live, request);
        return;
    }
    if (request.characteristic == kResponseCharacteristicUUID) {
        if (const Bytes* cached = responses_.find(request.central, clock_())) {
            respondByOffset(*live, request, *cached);
        } else {
            respondByOffset(*live, request,
                            encodeBluetoothDocument(Json(BluetoothResponseEnvelope::failure("", std::string(kNoResponseMessage)))));
        }
        return;
    }
    live->respond(request, ATTResult::attributeNotFound, {});
}

void BluetoothBridgeServer::readPairing(const peripheral::PeripheralManagerPtr& live,
                                        const peripheral::ReadRequest& request) {
    const std::string& central = request.central;
    if (auto granted = pairingGranted_.find(central); granted != pairingGranted_.end()) {
        // Its one pairing: the same payload at every offset while it is kept; once dropped (a
        // minute on, or the central disconnected), or while it is still being made, nothing.
        if (const Bytes* payload = granted->second ? nullptr : pairingPayloads_.find(central, clock_())) {
            respondByOffset(*live, request, *payload);
        } else {
            live->respond(request, ATTResult::unlikelyError, {});
        }
        return;
    }
    if (pairingGranted_.size() + failedPairings_ >= kMaxPairingsPerPeriod) {
        if (!pairingLimitReached_) {
            pairingLimitReached_ = true;
            reportRunning();
        }
        live->respond(request, ATTResult::unlikelyError, {});
        return;
    }
    if (!admit()) {
        live->respond(request, ATTResult::unlikelyError, {});
        return;
    }
    pairingGranted_[central] = true;
    const std::uint64_t generation = beginInFlight(central);
    Finish finish = [live, request, generation](BluetoothBridgeServer* self, std::optional<Bytes> bytes) {
        if (!self) {
            live->respond(request, ATTResult::unlikelyError, {});
            return;
        }
        --self->pending_;
        const bool connected = self->endInFlight(request.central, generation);
        auto granted = self->pairingGranted_.find(request.central);
        if (granted == self->pairingGranted_.end()) {  // stopped meanwhile
            live->respond(request, ATTResult::unlikelyError, {});
            return;
        }
        if (!bytes || bytes->empty()) {
            // No pairing was made, but the attempt counts: each one costs keychain and settings
            // writes on the main thread, which a stranger must not be able to repeat at will
            // while they fail.
            self->pairingGranted_.erase(granted);
            ++self->failedPairings_;
            live->respond(request, ATTResult::unlikelyError, {});
            return;
        }
        granted->second = false;
        if (connected) {
            self->pairingPayloads_.store(request.central, *bytes, self->clock_());
            self->scheduleExpiry();
        }
        respondByOffset(*live, request, *bytes);
        OPENSSL_cleanse(bytes->data(), bytes->size());
    };
    dispatch::MainExecutor::post([weak = weak_from_this(), queue = queue_, finish = std::move(finish)]() mutable {
        std::optional<Bytes> bytes;
        if (auto self = weak.lock(); self && self->shouldAdvertise_) {
            auto payload = self->handlers_->pairingPayload ? self->handlers_->pairingPayload() : std::nullopt;
            bytes = payload ? encodeBluetoothDocument(Json(*payload)) : Bytes{};
        }
        finishOnQueue(weak, queue, std::move(finish), std::move(bytes));
    });
}

void BluetoothBridgeServer::peripheralManagerDidReceiveWrites(peripheral::PeripheralManager& manager,
                                                              const std::vector<peripheral::WriteRequest>& requests) {
    auto live = liveManager(manager);
    if (live) dropExpired();
    for (const peripheral::WriteRequest& request : requests) {
        if (!live) {
            manager.respond(request, ATTResult::unlikelyError);
        } else if (request.characteristic != kRequestCharacteristicUUID) {
            live->respond(request, ATTResult::attributeNotFound);
        } else if (!request.value || request.value->empty() || request.value->size() > kMaxRequestBytes) {
            live->respond(request, ATTResult::invalidAttributeValueLength);
        } else {
            handleWrite(live, request);
        }
    }
}

void BluetoothBridgeServer::handleWrite(const peripheral::PeripheralManagerPtr& live,
                                        const peripheral::WriteRequest& request) {
    auto opened = BluetoothRequestHandler::open(*request.value, clock_());
    if (auto* refused = std::get_if<BluetoothResponseEnvelope>(&opened)) {
        // Short by construction, so never chunked: a stranger's write needs no main thread.
        responses_.store(request.central, encodeBluetoothDocument(Json(*refused)), clock_());
        scheduleExpiry();
        live->respond(request, ATTResult::success);
        return;
    }
    if (!admit()) {
        live->respond(request, ATTResult::unlikelyError);
        return;
    }
    const std::uint64_t generation = beginInFlight(request.central);
    Finish finish = [live, request, generation](BluetoothBridgeServer* self, std::optional<Bytes> bytes) {
        if (!self) {
            live->respond(request, ATTResult::unlikelyError);
            return;
        }
        --self->pending_;
        const bool connected = self->endInFlight(request.central, generation);
        if (!bytes) {
            live->respond(request, ATTResult::unlikelyError);
            return;
        }
        if (connected) {
            self->responses_.store(request.central, std::move(*bytes), self->clock_());
            self->scheduleExpiry();
        }
        live->respond(request, ATTResult::success);
    };
    dispatch::MainExecutor::post([weak = weak_from_this(), queue = queue_, opened = std::get<OpenedRequest>(std::move(opened)),
                                  finish = std::move(finish)]() mutable {
        auto self = weak.lock();
        if (!self || !self->shouldAdvertise_) {
            finishOnQueue(weak, queue, std::move(finish), std::nullopt);
            return;
        }
        self->answerOnMainThread(std::move(opened), std::move(finish));
    });
}

void BluetoothBridgeServer::answerOnMainThread(OpenedRequest request, Finish finish) {
    const std::string pairID = request.signedRequest.pairID;
    const std::shared_ptr<BluetoothSecretCache>& secrets = handlers_->secrets;
    if (!secrets || !requests_.isPaired(pairID)) {
        if (secrets) secrets->discard(pairID);
        finishOnQueue(weak_from_this(), queue_, std::move(finish),
                      encodeBluetoothDocument(Json(BluetoothRequestHandler::refusal(request.body))));
        return;
    }
    if (auto secret = secrets->cached(pairID)) {
        answerWithSecret(request, secret, std::move(finish));
        return;
    }
    secretQueue_->async([weak = weak_from_this(), secrets, request = std::move(request), finish = std::move(finish),
                         queue = queue_]() mutable {
        std::optional<Bytes> secret = secrets->read(request.signedRequest.pairID);
        dispatch::MainExecutor::post([weak, queue, secret = std::move(secret), request = std::move(request),
                                      finish = std::move(finish)]() mutable {
            auto self = weak.lock();
            if (!self || !self->shouldAdvertise_) {
                finishOnQueue(weak, queue, std::move(finish), std::nullopt);
                return;
            }
            // Asked again: the pairing may have been removed while its secret was being read.
            const bool paired = secret && self->requests_.isPaired(request.signedRequest.pairID);
            self->answerWithSecret(request, paired ? secret : std::nullopt, std::move(finish));
        });
    });
}

void BluetoothBridgeServer::answerWithSecret(const OpenedRequest& request, const std::optional<Bytes>& secret,
                                             Finish finish) {
    const BluetoothResponseEnvelope envelope =
        secret ? requests_.answerVerified(request, *secret) : BluetoothRequestHandler::refusal(request.body);
    // A refusal is short, so it never reaches the chunk store.
    finishOnQueue(weak_from_this(), queue_, std::move(finish),
                  requests_.makeResponseData(envelope, request.signedRequest.pairID));
}

void BluetoothBridgeServer::peripheralManagerCentralDidDisconnect(peripheral::PeripheralManager& manager,
                                                                  const std::string& central) {
    if (!liveManager(manager)) return;
    responses_.erase(central);
    pairingPayloads_.erase(central);
    if (auto it = inFlight_.find(central); it != inFlight_.end()) ++it->second.generation;
}

void BluetoothBridgeServer::dropExpired() {
    const double now = clock_();
    responses_.dropExpired(now);
    pairingPayloads_.dropExpired(now);
}

void BluetoothBridgeServer::scheduleExpiry() {
    if (expiryScheduled_) return;
    std::optional<double> oldest = responses_.oldest();
    if (auto payload = pairingPayloads_.oldest(); payload && (!oldest || *payload < *oldest)) oldest = payload;
    if (!oldest) return;
    expiryScheduled_ = true;
    // Just after the oldest entry's minute, measured on the steady clock; the age itself is
    // judged by the server's clock when the check runs.
    const double left = std::clamp(*oldest + kCentralCacheLifetimeSeconds - clock_(), 0.0, kCentralCacheLifetimeSeconds);
    const auto delay = std::chrono::duration_cast<dispatch::Clock::duration>(std::chrono::duration<double>(left + 0.5));
    queue_->after(delay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->expiryScheduled_ = false;
        self->dropExpired();
        if (self->shouldAdvertise_) self->scheduleExpiry();
    });
}

}  // namespace pavonix::bluetooth
