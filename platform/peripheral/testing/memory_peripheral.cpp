#include "platform/peripheral/testing/memory_peripheral.h"

#include <chrono>
#include <utility>

namespace pavonix::peripheral::testing {

PeripheralManagerFactory MemoryPeripheral::factory() {
    return [self = shared_from_this()](std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue) {
        {
            std::lock_guard lock(self->mutex_);
            self->delegate_ = std::move(delegate);
            self->queue_ = std::move(queue);
            self->services_.clear();
            self->advertisement_.reset();
        }
        self->deliver([self](PeripheralManagerDelegate& d, std::uint64_t) { d.peripheralManagerDidUpdateState(*self); });
        return self;
    };
}

std::uint64_t MemoryPeripheral::deliver(std::function<void(PeripheralManagerDelegate&, std::uint64_t)> call) {
    std::unique_lock lock(mutex_);
    if (!queue_) return 0;
    const std::uint64_t id = nextRequestID_++;
    queue_->async([delegate = delegate_, id, call = std::move(call)] {
        if (auto target = delegate.lock()) call(*target, id);
    });
    return id;
}

void MemoryPeripheral::setState(ManagerState state, std::string reason) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        reason_ = std::move(reason);
    }
    deliver([this](PeripheralManagerDelegate& d, std::uint64_t) { d.peripheralManagerDidUpdateState(*this); });
}

void MemoryPeripheral::failNextService(std::string error) {
    std::lock_guard lock(mutex_);
    serviceError_ = std::move(error);
}

void MemoryPeripheral::failNextAdvertising(std::string error) {
    std::lock_guard lock(mutex_);
    advertisingError_ = std::move(error);
}

std::vector<Service> MemoryPeripheral::services() const {
    std::lock_guard lock(mutex_);
    return services_;
}

std::optional<Advertisement> MemoryPeripheral::advertisement() const {
    std::lock_guard lock(mutex_);
    return advertisement_;
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::read(const std::string& central, const std::string& uuid,
                                                                std::size_t offset) {
    return await(deliver([=, this](PeripheralManagerDelegate& d, std::uint64_t id) {
        d.peripheralManagerDidReceiveRead(*this, {id, central, uuid, offset});
    }));
}

std::uint64_t MemoryPeripheral::sendWrite(const std::string& central, const std::string& uuid,
                                          std::optional<Bytes> value) {
    return deliver([=, this](PeripheralManagerDelegate& d, std::uint64_t id) {
        d.peripheralManagerDidReceiveWrites(*this, {{id, central, uuid, 0, value}});
    });
}

std::optional<ATTResult> MemoryPeripheral::write(const std::string& central, const std::string& uuid,
                                                 std::optional<Bytes> value) {
    auto answer = await(sendWrite(central, uuid, std::move(value)));
    if (!answer) return std::nullopt;
    return answer->result;
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::answer(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = answers_.find(id);
    if (it == answers_.end()) return std::nullopt;
    return it->second;
}

// Request ids start at 1: 0, no request sent, never has an answer.
std::optional<MemoryPeripheral::Answer> MemoryPeripheral::await(std::uint64_t id) {
    if (id) dispatch::runMainQueue([&] { return answer(id).has_value(); }, std::chrono::seconds(5));
    return answer(id);
}

ManagerState MemoryPeripheral::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

std::string MemoryPeripheral::stateReason() const {
    std::lock_guard lock(mutex_);
    return reason_;
}

void MemoryPeripheral::addService(const Service& service) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        error = std::exchange(serviceError_, std::nullopt);
        if (!error) services_.push_back(service);
    }
    deliver([this, error](PeripheralManagerDelegate& d, std::uint64_t) { d.peripheralManagerDidAddService(*this, error); });
}

void MemoryPeripheral::removeAllServices() {
    std::lock_guard lock(mutex_);
    services_.clear();
}

void MemoryPeripheral::startAdvertising(const Advertisement& advertisement) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        error = std::exchange(advertisingError_, std::nullopt);
        if (!error) advertisement_ = advertisement;
    }
    deliver([this, error](PeripheralManagerDelegate& d, std::uint64_t) { d.peripheralManagerDidStartAdvertising(*this, error); });
}

void MemoryPeripheral::stopAdvertising() {
    std::lock_guard lock(mutex_);
    advertisement_.reset();
}

void MemoryPeripheral::respond(const ReadRequest& request, ATTResult result, const Bytes& value) {
    std::lock_guard lock(mutex_);
    answers_.emplace(request.id, Answer{result, value});
}

void MemoryPeripheral::respond(const WriteRequest& request, ATTResult result) {
    std::lock_guard lock(mutex_);
    answers_.emplace(request.id, Answer{result, {}});
}

}  // namespace pavonix::peripheral::testing
