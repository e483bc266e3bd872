// The BlueZ peripheral against a stand-in bluetoothd (testing/fake_bluez.py) on a private bus of its
// own: the stand-in records registrations as bluetoothd does and plays the central that reads and writes.
#include "platform/bluez/bluez_peripheral_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/testing/wait_until.h"

namespace pavonix::bluez {
namespace {

using peripheral::ATTResult;
using peripheral::Bytes;
using peripheral::ManagerState;
using peripheral::PeripheralManager;

constexpr const char* kServiceUUID = "5E1A0000-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kLongValueUUID = "5E1A0001-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kRequestUUID = "5E1A0002-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kFixedUUID = "5E1A0003-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kCentral = "org.pavonix.FakeCentral";
constexpr const char* kNoAdapter = "No Bluetooth adapter was found.";

// What the manager told its delegate; "" is a success.
struct Seen {
    ManagerState state = ManagerState::unknown;
    std::string reason;
    std::vector<std::string> services, advertising;
    std::vector<peripheral::WriteRequest> writes;
};

// Answers a read with the offset it asked for (beyond 100: Invalid Offset), keeps what was written,
// refuses empty writes.
class Recorder : public peripheral::PeripheralManagerDelegate {
public:
    void peripheralManagerDidUpdateState(PeripheralManager& manager) override {
        record([&](Seen& seen) { std::tie(seen.state, seen.reason) = std::tuple(manager.state(), manager.stateReason()); });
    }
    void peripheralManagerDidAddService(PeripheralManager&, const std::optional<std::string>& error) override {
        record([&](Seen& seen) { seen.services.push_back(error.value_or("")); });
    }
    void peripheralManagerDidStartAdvertising(PeripheralManager&, const std::optional<std::string>& error) override {
        record([&](Seen& seen) { seen.advertising.push_back(error.value_or("")); });
    }
    void peripheralManagerDidReceiveRead(PeripheralManager& manager, const peripheral::ReadRequest& request) override {
        if (request.offset > 100) return manager.respond(request, ATTResult::invalidOffset, {});
        manager.respond(request, ATTResult::success, Bytes{static_cast<std::uint8_t>(request.offset)});
    }
    void peripheralManagerDidReceiveWrites(PeripheralManager& manager,
                                           const std::vector<peripheral::WriteRequest>& requests) override {
        for (const auto& request : requests) {
            record([&](Seen& seen) { seen.writes.push_back(request); });
            const bool empty = !request.value || request.value->empty();
            manager.respond(request, empty ? ATTResult::invalidAttributeValueLength : ATTResult::success);
        }
    }

    // What was seen once `ready` holds for it (a test failure when that takes over 5 seconds).
    Seen waitFor(const std::function<bool(const Seen&)>& ready) {
        EXPECT_TRUE(testing::waitUntil([&] { return record(ready); }));
        return record([](const Seen& seen) { return seen; });
    }

private:
    template <class F>
    auto record(F&& f) -> decltype(f(std::declval<Seen&>())) {
        std::lock_guard lock(mutex_);
        return f(seen_);
    }
    std::mutex mutex_;
    Seen seen_;
};

auto stateIs(ManagerState state) {
    return [state](const Seen& seen) { return seen.state == state; };
}

class BluezPeripheralTest : public ::testing::Test {
protected:
    // The stand-in starts its own bus and prints the bus address once it serves.
    void SetUp() override {
        const char *python = std::getenv("PAVONIX_PYTHON3"), *script = std::getenv("PAVONIX_FAKE_BLUEZ");
        ASSERT_TRUE(python && script) << "run through ctest, which names the stand-in";
        fake_ = popen((std::string(python) + " " + script).c_str(), "r");
        char line[512] = {};
        ASSERT_TRUE(fake_ && std::fgets(line, sizeof line, fake_)) << "the stand-in bluetoothd did not start";
        address_ = std::string(line, std::strcspn(line, "\n"));
        client_ = sdbus::createSessionBusConnectionWithAddress(address_);
        fakeCentral_ = sdbus::createProxy(*client_, kCentral, "/pavonix/test");
    }

    void TearDown() override {
        if (fakeCentral_) fakeCentral_->callMethod("Quit").onInterface(kCentral).dontExpectReply();
        if (fake_) pclose(fake_);
    }

    peripheral::PeripheralManagerPtr makeManager(const std::string& address) {
        return bluezPeripheralFactory(address)(recorder, dispatch::makeSerialQueue("bluez-test"));
    }

    template <typename... Args>
    void tell(const char* method, const Args&... args) {
        fakeCentral_->callMethod(method).onInterface(kCentral).withArguments(args...);
    }

    template <typename Result, typename... Args>
    Result ask(const char* method, const Args&... args) {
        Result result;
        fakeCentral_->callMethod(method).onInterface(kCentral).withArguments(args...).storeResultsTo(result);
        return result;
    }
    Bytes read(const std::string& uuid, std::uint16_t offset) { return ask<Bytes>("Read", uuid, offset); }
    nlohmann::json registrations() { return nlohmann::json::parse(ask<std::string>("Registrations")); }

    // Throwing the D-Bus error of that name.
    static auto failsWith(const std::string& name) {
        return ::testing::Throws<sdbus::Error>(::testing::Property(&sdbus::Error::getName, name));
    }

    static peripheral::Service service() {
        using peripheral::Characteristic;
        return {kServiceUUID,
                true,
                {Characteristic{kLongValueUUID, peripheral::kPropertyRead, peripheral::kPermissionReadable, {}},
                 Characteristic{kRequestUUID, peripheral::kPropertyWrite, peripheral::kPermissionWriteable, {}},
                 Characteristic{kFixedUUID, peripheral::kPropertyRead, peripheral::kPermissionReadable, Bytes{1, 2, 3}}}};
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::string address_;
    FILE* fake_ = nullptr;
    std::unique_ptr<sdbus::IConnection> client_;
    std::unique_ptr<sdbus::IProxy> fakeCentral_;
};

TEST_F(BluezPeripheralTest, PublishesAnswersFollowsThePowerAndUnregisters) {
    auto manager = makeManager(address_);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    manager->addService(service());
    manager->startAdvertising({"Pavonix", {kServiceUUID}});
    const Seen published = recorder->waitFor([](const Seen& s) { return !s.services.empty() && !s.advertising.empty(); });
    EXPECT_EQ(std::tie(published.services, published.advertising), std::tuple(std::vector<std::string>{""}, std::vector<std::string>{""}));
    const nlohmann::json advertisement{{"LocalName", "Pavonix"}, {"ServiceUUIDs", {kServiceUUID}}, {"Discoverable", true}};
    EXPECT_EQ(registrations(), (nlohmann::json{{"applications", {{kLongValueUUID, kRequestUUID, kFixedUUID}}},
                                               {"advertisements", nlohmann::json::array({advertisement})}}));

    const Bytes request{'{', '"', 's', '"', '}'};
    tell("Write", std::string(kRequestUUID), request);
    const auto writes = recorder->waitFor([](const Seen&) { return true; }).writes;
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::tie(writes[0].central, writes[0].characteristic, *writes[0].value),
              std::tuple(std::string("/org/bluez/hci0/dev_11_22_33_44_55_66"), std::string(kRequestUUID), request));
    // A long answer is read in pieces: the offset reaches the delegate, missing when 0.
    EXPECT_EQ(read(kLongValueUUID, 0), Bytes{0});
    EXPECT_EQ(read(kLongValueUUID, 22), Bytes{22});
    EXPECT_EQ(read(kFixedUUID, 1), (Bytes{2, 3}));
    EXPECT_THAT([&] { read(kLongValueUUID, 101); }, failsWith("org.bluez.Error.InvalidOffset"));
    EXPECT_THAT([&] { read(kFixedUUID, 4); }, failsWith("org.bluez.Error.InvalidOffset"));
    EXPECT_THAT([&] { tell("Write", std::string(kRequestUUID), Bytes{}); }, failsWith("org.bluez.Error.InvalidValueLength"));

    tell("SetPowered", false);
    recorder->waitFor(stateIs(ManagerState::poweredOff));
    tell("SetPowered", true);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    manager->stopAdvertising();
    manager->removeAllServices();
    const auto none = nlohmann::json::parse(R"({"applications": [], "advertisements": []})");
    EXPECT_TRUE(testing::waitUntil([&] { return registrations() == none; }));
}

TEST_F(BluezPeripheralTest, RefusedTreesAndAnAdapterThatGoesAwayAndComesBack) {
    auto manager = makeManager(address_);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    peripheral::Service flagless = service();
    flagless.characteristics[0].properties = 0;
    manager->addService(flagless);
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 2; }).services,
              (std::vector<std::string>{"No valid service object found", ""}));

    tell("SetAdapterPresent", false);
    EXPECT_EQ(recorder->waitFor(stateIs(ManagerState::unsupported)).reason, kNoAdapter);
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 3; }).services.back(), kNoAdapter);

    tell("SetAdapterPresent", true);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 4; }).services.back(), "");
    EXPECT_EQ(registrations()["applications"].size(), 1u);
}

TEST_F(BluezPeripheralTest, WithoutBluetoothdOrWithoutABusTheStateSaysWhy) {
    tell("StopBluetoothd");
    for (const auto& [address, reason] : std::vector<std::pair<std::string, std::string>>{
             {address_, "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running."},
             {"unix:path=/nonexistent/pavonix-bus", "Bluetooth is not available: the system message bus could not be reached."},
         }) {
        recorder = std::make_shared<Recorder>();
        auto manager = makeManager(address);
        EXPECT_EQ(recorder->waitFor(stateIs(ManagerState::unsupported)).reason, reason);
        manager->startAdvertising({"Pavonix", {kServiceUUID}});
        EXPECT_EQ(recorder->waitFor([](const Seen& s) { return !s.advertising.empty(); }).advertising, std::vector{reason});
    }
}

}  // namespace
}  // namespace pavonix::bluez
