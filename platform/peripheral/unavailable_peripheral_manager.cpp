#include "platform/peripheral/peripheral_manager.h"

#include <utility>

namespace pavonix::peripheral {

namespace {

class UnavailablePeripheralManager final : public PeripheralManager {
public:
    explicit UnavailablePeripheralManager(std::string reason) : reason_(std::move(reason)) {}

    ManagerState state() const override { return ManagerState::unsupported; }
    std::string stateReason() const override { return reason_; }
    void addService(const Service&) override {}
    void removeAllServices() override {}
    void startAdvertising(const Advertisement&) override {}
    void stopAdvertising() override {}
    void respond(const ReadRequest&, ATTResult, const Bytes&) override {}
    void respond(const WriteRequest&, ATTResult) override {}

private:
    const std::string reason_;
};

}  // namespace

PeripheralManagerFactory unavailablePeripheralFactory(std::string reason) {
    return [reason = std::move(reason)](std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue) {
        auto manager = std::make_shared<UnavailablePeripheralManager>(reason);
        std::weak_ptr<PeripheralManager> weakManager = manager;
        queue->async([delegate = std::move(delegate), weakManager] {
            auto target = delegate.lock();
            auto current = weakManager.lock();
            if (target && current) target->peripheralManagerDidUpdateState(*current);
        });
        return manager;
    };
}

}  // namespace pavonix::peripheral
