// A Bluetooth radio in memory for tests: it is the manager its factory hands out, speaking to the
// delegate of the latest one made, and the test plays the centrals that read and write. Unlike a
// real stack it passes reads of fixed values on to the delegate too: tests look those up in
// services().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/peripheral/peripheral_manager.h"

namespace pavonix::peripheral::testing {

class MemoryPeripheral final : public PeripheralManager, public std::enable_shared_from_this<MemoryPeripheral> {
public:
    struct Answer {
        ATTResult result = ATTResult::unlikelyError;
        Bytes value;  // reads only
    };

    PeripheralManagerFactory factory();

    // The radio: the delegate hears of the change.
    void setState(ManagerState state, std::string reason = {});
    // The next registration or advertising start fails with this text.
    void failNextService(std::string error) { set(serviceError_, std::move(error)); }
    void failNextAdvertising(std::string error) { set(advertisingError_, std::move(error)); }
    std::vector<Service> services() const { return get(services_); }
    std::optional<Advertisement> advertisement() const { return get(advertisement_); }

    // Centrals. These wait, draining the main queue (call them on the test's main thread), until the
    // request is answered; nothing when no manager was made or no answer came within 5 seconds.
    // With an MTU, a read's answer is cut to the MTU - 1 bytes a stack sends.
    std::optional<Answer> read(const std::string& central, const std::string& uuid, std::size_t offset = 0,
                               std::size_t mtu = 0);
    std::optional<ATTResult> write(const std::string& central, const std::string& uuid, std::optional<Bytes> value);
    // A write that is delivered but not waited for, and its answer later.
    std::uint64_t sendWrite(const std::string& central, const std::string& uuid, std::optional<Bytes> value);
    std::optional<Answer> answer(std::uint64_t id) const;
    // The central's link is gone; delivered after the requests it sent before.
    void disconnect(const std::string& central);

    ManagerState state() const override { return get(state_); }
    std::string stateReason() const override { return get(reason_); }
    void addService(const Service& service) override;
    void removeAllServices() override { set(services_, {}); }
    void startAdvertising(const Advertisement& advertisement) override;
    void stopAdvertising() override { set(advertisement_, std::nullopt); }
    void respond(const ReadRequest& request, ATTResult result, const Bytes& value) override;
    void respond(const WriteRequest& request, ATTResult result) override;

private:
    template <class T>
    T get(const T& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }
    template <class T>
    void set(T& field, std::type_identity_t<T> value) {
        std::lock_guard lock(mutex_);
        field = std::move(value);
    }
    // Calls the delegate on its queue with a new request id, which it returns (0: no manager made).
    using Delivery = std::function<void(PeripheralManagerDelegate&, PeripheralManager&, std::uint64_t)>;
    std::uint64_t deliver(Delivery call);
    std::optional<Answer> await(std::uint64_t id);

    mutable std::mutex mutex_;
    std::weak_ptr<PeripheralManagerDelegate> delegate_;
    dispatch::QueuePtr queue_;
    ManagerState state_ = ManagerState::poweredOn;
    std::string reason_;
    std::optional<std::string> serviceError_, advertisingError_;
    std::vector<Service> services_;
    std::optional<Advertisement> advertisement_;
    std::uint64_t nextRequestID_ = 1;
    std::map<std::uint64_t, Answer> answers_;
};

}  // namespace pavonix::peripheral::testing
