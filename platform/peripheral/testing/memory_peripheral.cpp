#include "platform/peripheral/testing/memory_peripheral.h"

#include <chrono>
#include <utility>

namespace pavonix::peripheral::testing {

// Publishes into the radio while it is the live manager; a replaced one publishes nothing.
class MemoryPeripheral::Manager final : public PeripheralManager, public std::enable_shared_from_this<Manager> {
    template <class F>
    auto locked(F f) const {
        std::lock_guard lock(radio_->mutex_);
        return f(*radio_);
    }
    // Takes the planned failure; publishes only without one and only while live.
    template <class TakeError, class Publish>
    std::optional<std::string> publishing(TakeError takeError, Publish publish) {
        std::lock_guard lock(radio_->mutex_);
        auto error = takeError(*radio_);
        if (!error && radio_->live_.lock().get() == this) publish(*radio_);
        return error;
    }

public:
    Manager(std::shared_ptr<MemoryPeripheral> radio, std::weak_ptr<PeripheralManagerDelegate> delegate,
            dispatch::QueuePtr queue)
        : radio_(std::move(radio)), delegate_(std::move(delegate)), queue_(std::move(queue)) {}

    ManagerState state() const override { return locked([](MemoryPeripheral& r) { return r.state_; }); }
    std::string stateReason() const override { return locked([](MemoryPeripheral& r) { return r.reason_; }); }
    void addService(const Service& service) override {
        auto error = publishing([&](MemoryPeripheral& r) { return std::exchange(r.serviceError_, std::nullopt); },
                                [&](MemoryPeripheral& r) { r.services_.push_back(service); });
        deliver([error](PeripheralManagerDelegate& d, PeripheralManager& m) { d.peripheralManagerDidAddService(m, error); });
    }
    void removeAllServices() override {
        publishing([](MemoryPeripheral&) { return std::optional<std::string>(); }, [](MemoryPeripheral& r) { r.services_.clear(); });
    }
    void startAdvertising(const Advertisement& advertisement) override {
        auto error = publishing([&](MemoryPeripheral& r) { return std::exchange(r.advertisingError_, std::nullopt); },
                                [&](MemoryPeripheral& r) { r.advertisement_ = advertisement; });
        deliver([error](PeripheralManagerDelegate& d, PeripheralManager& m) { d.peripheralManagerDidStartAdvertising(m, error); });
    }
    void stopAdvertising() override {
        publishing([](MemoryPeripheral&) { return std::optional<std::string>(); }, [](MemoryPeripheral& r) { r.advertisement_.reset(); });
    }
    void respond(const ReadRequest& request, ATTResult result, const Bytes& value) override {
        locked([&](MemoryPeripheral& r) { return r.answers_.emplace(request.id, Answer{result, value}).second; });
    }
    void respond(const WriteRequest& request, ATTResult result) override {
        locked([&](MemoryPeripheral& r) { return r.answers_.emplace(request.id, Answer{result, {}}).second; });
    }

    template <class Call>
    void deliver(Call call) {
        queue_->async([weak = weak_from_this(), delegate = delegate_, call = std::move(call)] {
            auto self = weak.lock();
            auto target = delegate.lock();
            if (self && target) call(*target, *self);
        });
    }

private:
    const std::shared_ptr<MemoryPeripheral> radio_;
    const std::weak_ptr<PeripheralManagerDelegate> delegate_;
    const dispatch::QueuePtr queue_;
};

PeripheralManagerFactory MemoryPeripheral::factory() {
    return [self = shared_from_this()](std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue) {
        auto manager = std::make_shared<Manager>(self, std::move(delegate), std::move(queue));
        {
            std::lock_guard lock(self->mutex_);
            self->live_ = manager;
            self->services_.clear();
            self->advertisement_.reset();
            ++self->managersMade_;
        }
        manager->deliver([](PeripheralManagerDelegate& d, PeripheralManager& m) { d.peripheralManagerDidUpdateState(m); });
        return manager;
    };
}

std::shared_ptr<MemoryPeripheral::Manager> MemoryPeripheral::live() const {
    std::lock_guard lock(mutex_);
    return live_.lock();
}

std::size_t MemoryPeripheral::managersMade() const {
    std::lock_guard lock(mutex_);
    return managersMade_;
}

void MemoryPeripheral::setState(ManagerState state, std::string reason) {
    {
        std::lock_guard lock(mutex_);
        state_ = state;
        reason_ = std::move(reason);
        if (state != ManagerState::poweredOn) advertisement_.reset();
    }
    if (auto manager = live()) {
        manager->deliver([](PeripheralManagerDelegate& d, PeripheralManager& m) { d.peripheralManagerDidUpdateState(m); });
    }
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
    return live_.expired() ? std::vector<Service>{} : services_;
}

std::optional<Advertisement> MemoryPeripheral::advertisement() const {
    std::lock_guard lock(mutex_);
    return live_.expired() ? std::nullopt : advertisement_;
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::read(const std::string& central, const std::string& uuid,
                                                                std::size_t offset) {
    auto manager = live();
    if (!manager) return std::nullopt;
    ReadRequest request{0, central, uuid, offset};
    {
        std::lock_guard lock(mutex_);
        request.id = nextRequestID_++;
        for (const auto& service : services_) {
            for (const auto& characteristic : service.characteristics) {
                if (characteristic.uuid != uuid || !characteristic.value) continue;
                const Bytes& value = *characteristic.value;
                if (offset > value.size()) return Answer{ATTResult::invalidOffset, {}};
                return Answer{ATTResult::success, Bytes(value.begin() + static_cast<long>(offset), value.end())};
            }
        }
    }
    manager->deliver([request](PeripheralManagerDelegate& d, PeripheralManager& m) { d.peripheralManagerDidReceiveRead(m, request); });
    return await(request.id);
}

std::uint64_t MemoryPeripheral::sendWrite(const std::string& central, const std::string& uuid,
                                          std::optional<Bytes> value) {
    auto manager = live();
    if (!manager) return 0;
    WriteRequest request{0, central, uuid, 0, std::move(value)};
    {
        std::lock_guard lock(mutex_);
        request.id = nextRequestID_++;
    }
    manager->deliver([request](PeripheralManagerDelegate& d, PeripheralManager& m) {
        d.peripheralManagerDidReceiveWrites(m, {request});
    });
    return request.id;
}

std::optional<ATTResult> MemoryPeripheral::write(const std::string& central, const std::string& uuid,
                                                 std::optional<Bytes> value) {
    const std::uint64_t id = sendWrite(central, uuid, std::move(value));
    auto answer = id ? await(id) : std::nullopt;
    if (!answer) return std::nullopt;
    return answer->result;
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::answer(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    auto it = answers_.find(id);
    if (it == answers_.end()) return std::nullopt;
    return it->second;
}

std::optional<MemoryPeripheral::Answer> MemoryPeripheral::await(std::uint64_t id) {
    dispatch::runMainQueue([&] { return answer(id).has_value(); }, std::chrono::seconds(5));
    return answer(id);
}

}  // namespace pavonix::peripheral::testing
