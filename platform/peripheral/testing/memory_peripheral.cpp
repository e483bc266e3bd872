#include "platform/peripheral/testing/memory_peripheral.h"

#include <algorithm>
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
        self->deliver([](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t) { d.peripheralManagerDidUpdateState(m); });
        return self;
    };
}

std::uint64_t MemoryPeripheral::deliver(Delivery call) {
    std::lock_guard lock(mutex_);
    if (!queue_) return 0;
    const std::uint64_t id = nextRequestID_++;
    queue_->async([self = shared_from_this(), delegate = delegate_, id, call = std::move(call)] {
        if (auto target = delegate.lock()) call(*target, *self, id);
    });
    return id;
}

void MemoryPeripheral::setState(ManagerState state, std::string reason) {
    set(state_, state);
    set(reason_, std::move(reason));
    deliver([](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t) { d.peripheralManagerDidUpdateState(m); });
}

void MemoryPeripheral::addService(const Service& service) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        error = std::exchange(serviceError_, std::nullopt);
        if (!error) services_.push_back(service);
    }
    deliver([error](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t) { d.peripheralManagerDidAddService(m, error); });
}

void MemoryPeripheral::startAdvertising(const Advertisement& advertisement) {
    std::optional<std::string> error;
    {
        std::lock_guard lock(mutex_);
        error = std::exchange(advertisingError_, std::nullopt);
        if (!error) advertisement_ = advertisement;
    }
    deliver([error](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t) {
        d.peripheralManagerDidStartAdvertising(m, error);
    });
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::read(const std::string& central, const std::string& uuid,
                                                                std::size_t offset, std::size_t mtu) {
    return await(deliver([=](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t id) {
        d.peripheralManagerDidReceiveRead(m, {id, central, uuid, offset, mtu});
    }));
}

std::uint64_t MemoryPeripheral::sendWrite(const std::string& central, const std::string& uuid,
                                          std::optional<Bytes> value) {
    return deliver([=](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t id) {
        d.peripheralManagerDidReceiveWrites(m, {{id, central, uuid, 0, value}});
    });
}

std::optional<ATTResult> MemoryPeripheral::write(const std::string& central, const std::string& uuid,
                                                 std::optional<Bytes> value) {
    if (auto answer = await(sendWrite(central, uuid, std::move(value)))) return answer->result;
    return std::nullopt;
}

void MemoryPeripheral::disconnect(const std::string& central) {
    deliver([central](PeripheralManagerDelegate& d, PeripheralManager& m, std::uint64_t) {
        d.peripheralManagerCentralDidDisconnect(m, central);
    });
}

void MemoryPeripheral::respond(const ReadRequest& request, ATTResult result, const Bytes& value) {
    const std::size_t sent = request.mtu ? std::min(value.size(), request.mtu - 1) : value.size();
    std::lock_guard lock(mutex_);
    answers_.emplace(request.id, Answer{result, Bytes(value.begin(), value.begin() + static_cast<long>(sent))});
}

void MemoryPeripheral::respond(const WriteRequest& request, ATTResult result) {
    respond(ReadRequest{request.id, {}, {}, 0, 0}, result, {});
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::answer(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = answers_.find(id);
    return it == answers_.end() ? std::nullopt : std::optional(it->second);
}

// Request ids start at 1: 0, no request sent, never has an answer.
std::optional<MemoryPeripheral::Answer> MemoryPeripheral::await(std::uint64_t id) {
    if (id) dispatch::runMainQueue([&] { return answer(id).has_value(); }, std::chrono::seconds(5));
    return answer(id);
}

}  // namespace pavonix::peripheral::testing
