// A Bluetooth radio in memory for tests: the managers it makes publish into it, and the test plays
// the centrals that read and write. Fixed characteristic values are served by the manager itself,
// as a real stack does.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/peripheral/peripheral_manager.h"

namespace pavonix::peripheral::testing {

class MemoryPeripheral : public std::enable_shared_from_this<MemoryPeripheral> {
public:
    struct Answer {
        ATTResult result = ATTResult::unlikelyError;
        Bytes value;  // reads only
    };

    static std::shared_ptr<MemoryPeripheral> make() { return std::shared_ptr<MemoryPeripheral>(new MemoryPeripheral()); }

    PeripheralManagerFactory factory();
    std::size_t managersMade() const;

    // The radio: the live manager reports the change to its delegate.
    void setState(ManagerState state, std::string reason = {});
    // The next registration or advertising start fails with this text.
    void failNextService(std::string error);
    void failNextAdvertising(std::string error);

    // What the live manager publishes now.
    std::vector<Service> services() const;
    std::optional<Advertisement> advertisement() const;

    // Centrals. These wait, draining the main queue (call them on the test's main thread), until the
    // request is answered; nothing when no manager lives or no answer came within 5 seconds.
    std::optional<Answer> read(const std::string& central, const std::string& uuid, std::size_t offset = 0);
    std::optional<ATTResult> write(const std::string& central, const std::string& uuid, std::optional<Bytes> value);
    // A write that is delivered but not waited for (0 when no manager lives), and its answer later.
    std::uint64_t sendWrite(const std::string& central, const std::string& uuid, std::optional<Bytes> value);
    std::optional<Answer> answer(std::uint64_t id) const;

private:
    class Manager;
    MemoryPeripheral() = default;
    std::shared_ptr<Manager> live() const;
    std::optional<Answer> await(std::uint64_t id);

    mutable std::mutex mutex_;
    ManagerState state_ = ManagerState::poweredOn;
    std::string reason_;
    std::optional<std::string> serviceError_, advertisingError_;
    std::vector<Service> services_;
    std::optional<Advertisement> advertisement_;
    std::weak_ptr<Manager> live_;
    std::size_t managersMade_ = 0;
    std::uint64_t nextRequestID_ = 1;
    std::map<std::uint64_t, Answer> answers_;
};

}  // namespace pavonix::peripheral::testing
