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

// Asks the model, on the main thread, to remove a pair that reached no one.
void removePairing(const std::shared_ptr<const BluetoothBridgeHandlers>& handlers, const std::string& pairID) {
    if (pairID.empty() || !handlers->removePairing) return;
    dispatch::MainExecutor::post([handlers, pairID] { handlers->removePairing(pairID); });
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
    } else if (entries_.size() >= capacity_) {
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

BluetoothBridgeServer::~BluetoothBridgeServer() {
    // The owner drops a stopped server at once, often before stop()'s work on the queue has run;
    // a pair read only in part is of use to no one then either. Nothing else holds the server
    // now, so the queue's state may be read here.
    pairingPayloads_.clear();
    withdrawUnreadPairings();
}

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
            self->answers_.clear();
            self->refusals_.clear();
            self->withdrawUnreadPairings();
            self->pairingGrants_.clear();
            self->inFlight_.clear();
        }
    });
    requests_.reset();
    reportStatus(State::stopped, "Stopped");
}

std::size_t BluetoothBridgeServer::cachedCentralCount() const {
    std::size_t count = 0;
    queue_->sync([&] {
        count = answers_.size() + refusals_.size();
        for (const auto& [central, grant] : pairingGrants_) {
            if (pairingPayloads_.contains(central) && !answers_.contains(central) && !refusals_.contains(central)) ++count;
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
                                          const dispatch::QueuePtr& queue, Finish finish, std::optional<Reply> reply) {
    queue->async([weak, reply = std::move(reply), finish = std::move(finish)]() mutable {
        auto self = weak.lock();
        finish(self && self->shouldAdvertise_ ? self.get() : nullptr, std::move(reply));
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
        const Bytes* cached = answers_.find(request.central, clock_());
        if (!cached) cached = refusals_.find(request.central, clock_());
        if (cached) {
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
    if (auto granted = pairingGrants_.find(central); granted != pairingGrants_.end()) {
        // Its one pairing: the same payload at every offset while it is kept; while it is still
        // being made, or once the central has had all of it and it was dropped (a minute on, or
        // the central disconnected), nothing.
        if (const Bytes* payload = granted->second.making ? nullptr : pairingPayloads_.find(central, clock_())) {
            servePairing(*live, request, granted->second, *payload);
        } else {
            live->respond(request, ATTResult::unlikelyError, {});
        }
        return;
    }
    if (pairingGrants_.size() + spentPairings_ >= kMaxPairingsPerPeriod) {
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
    pairingGrants_[central] = Grant{};
    const std::uint64_t generation = beginInFlight(central);
    Finish finish = [live, request, generation, handlers = handlers_](BluetoothBridgeServer* self,
                                                                       std::optional<Reply> reply) {
        if (!self || !reply || !self->pairingGrants_.contains(request.central)) {
            // Stopped meanwhile: a pair made for this read reaches no one.
            if (reply) removePairing(handlers, reply->pairID);
            live->respond(request, ATTResult::unlikelyError, {});
            return;
        }
        --self->pending_;
        const bool connected = self->endInFlight(request.central, generation);
        if (reply->bytes.empty() || !connected) {
            // No pairing reached the central, but the attempt counts: each one costs a keychain
            // write and a settings write, which a stranger must not be able to repeat at will while
            // they fail, or by leaving before the payload is made. Only another program's hold on
            // the settings file is no one's fault here.
            removePairing(handlers, reply->pairID);
            self->pairingGrants_.erase(request.central);
            if (reply->counts || !connected) ++self->spentPairings_;
            live->respond(request, ATTResult::unlikelyError, {});
            return;
        }
        Grant& grant = self->pairingGrants_[request.central] = Grant{false, reply->pairID, reply->bytes.size(), 0};
        self->pairingPayloads_.store(request.central, reply->bytes, self->clock_());
        self->scheduleExpiry();
        servePairing(*live, request, grant, reply->bytes);
        OPENSSL_cleanse(reply->bytes.data(), reply->bytes.size());
    };
    dispatch::MainExecutor::post([weak = weak_from_this(), queue = queue_, finish = std::move(finish)]() mutable {
        auto self = weak.lock();
        if (!self || !self->shouldAdvertise_ || !self->handlers_->pairingPayload) {
            return finishOnQueue(weak, queue, std::move(finish), self && self->shouldAdvertise_ ? std::optional(Reply{}) : std::nullopt);
        }
        // Answered once the pair's record is on disk; the server may have stopped by then.
        self->handlers_->pairingPayload([weak, queue, finish = std::move(finish)](BluetoothPairingOutcome outcome) mutable {
            const auto& payload = outcome.payload;
            auto server = weak.lock();
            std::optional<Reply> reply;
            if (payload) {
                reply = Reply{encodeBluetoothDocument(Json(*payload)), payload->pairID};
            } else if (server && server->shouldAdvertise_) {
                reply = Reply{{}, {}, outcome.counts};
            }
            finishOnQueue(weak, queue, std::move(finish), std::move(reply));
        });
    });
}

void BluetoothBridgeServer::servePairing(peripheral::PeripheralManager& live, const peripheral::ReadRequest& request,
                                         Grant& grant, const Bytes& payload) {
    respondByOffset(live, request, payload);
    if (request.offset > payload.size()) return;
    // The stack sends MTU - 1 bytes from the offset on, or all of them when it does not say.
    const std::size_t end = request.mtu ? std::min(payload.size(), request.offset + request.mtu - 1) : payload.size();
    grant.delivered = std::max(grant.delivered, end);
}

// A pair whose payload went (its central disconnected, a minute passed, the server stopped) before
// the central had all of it is of use to no one: it is removed, and the central may ask again. The
// attempt still counts toward the limit, so that connecting, starting a read and leaving, over and
// over, costs no more keychain and settings writes than the pairings a period allows.
void BluetoothBridgeServer::withdrawUnreadPairings() {
    for (auto it = pairingGrants_.begin(); it != pairingGrants_.end();) {
        const Grant& grant = it->second;
        if (grant.making || grant.delivered >= grant.size || pairingPayloads_.contains(it->first)) {
            ++it;
            continue;
        }
        removePairing(handlers_, grant.pairID);
        ++spentPairings_;
        it = pairingGrants_.erase(it);
    }
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
        storeResponse(request.central, Reply{encodeBluetoothDocument(Json(*refused)), {}});
        live->respond(request, ATTResult::success);
        return;
    }
    if (!admit()) {
        live->respond(request, ATTResult::unlikelyError);
        return;
    }
    const std::uint64_t generation = beginInFlight(request.central);
    Finish finish = [live, request, generation](BluetoothBridgeServer* self, std::optional<Reply> reply) {
        if (!self || !reply) {
            live->respond(request, ATTResult::unlikelyError);
            return;
        }
        --self->pending_;
        if (self->endInFlight(request.central, generation)) self->storeResponse(request.central, std::move(*reply));
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
        answerWithSecret(request, std::nullopt, std::move(finish));
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
    const std::string& pairID = request.signedRequest.pairID;
    std::optional<BluetoothResponseEnvelope> answer = secret ? requests_.answerVerified(request, *secret) : std::nullopt;
    // A refusal is short, so it never reaches the chunk store.
    Reply reply = answer ? Reply{requests_.makeResponseData(*answer, pairID), pairID}
                         : Reply{encodeBluetoothDocument(Json(BluetoothRequestHandler::refusal(request.body))), {}};
    finishOnQueue(weak_from_this(), queue_, std::move(finish), std::move(reply));
}

void BluetoothBridgeServer::storeResponse(const std::string& central, Reply reply) {
    // Each kind has room of its own, so that refusals never push out an answer to a verified
    // request; a central's newer reply of either kind replaces its older one.
    const bool verified = !reply.pairID.empty();
    (verified ? refusals_ : answers_).erase(central);
    (verified ? answers_ : refusals_).store(central, std::move(reply.bytes), clock_());
    scheduleExpiry();
}

void BluetoothBridgeServer::peripheralManagerCentralDidDisconnect(peripheral::PeripheralManager& manager,
                                                                  const std::string& central) {
    if (!liveManager(manager)) return;
    answers_.erase(central);
    refusals_.erase(central);
    pairingPayloads_.erase(central);
    withdrawUnreadPairings();
    if (auto it = inFlight_.find(central); it != inFlight_.end()) ++it->second.generation;
}

void BluetoothBridgeServer::dropExpired() {
    const double now = clock_();
    answers_.dropExpired(now);
    refusals_.dropExpired(now);
    pairingPayloads_.dropExpired(now);
    withdrawUnreadPairings();
}

void BluetoothBridgeServer::scheduleExpiry() {
    if (expiryScheduled_) return;
    std::optional<double> oldest;
    for (const CentralCache* cache : {&answers_, &refusals_, &pairingPayloads_}) {
        if (auto made = cache->oldest(); made && (!oldest || *made < *oldest)) oldest = made;
    }
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
