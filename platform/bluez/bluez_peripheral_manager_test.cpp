// The BlueZ peripheral against a stand-in bluetoothd (testing/fake_bluez.py) on a private bus of its
// own: the stand-in records registrations as bluetoothd does and plays the centrals that read and write.
#include "platform/bluez/bluez_peripheral_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/bluez/reconnect_backoff.h"
#include "platform/bluez/testing/fake_bluez.h"
#include "platform/testing/wait_until.h"

namespace pavonix::bluez {
namespace {

using peripheral::ATTResult;
using peripheral::Bytes;
using peripheral::ManagerState;
using peripheral::PeripheralManager;
using testing::devicePath;
using testing::FakeBluez;
using testing::kPhone;
using testing::kStranger;
using namespace std::chrono_literals;

constexpr const char* kServiceUUID = "5E1A0000-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kLongValueUUID = "5E1A0001-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kRequestUUID = "5E1A0002-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kFixedUUID = "5E1A0003-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kNoAdapter = "No Bluetooth adapter was found.";
constexpr const char* kNotReady = "The Bluetooth adapter is not ready for LE peripheral mode.";
constexpr const char* kNoBus = "Bluetooth is not available: the system message bus could not be reached.";
constexpr const char* kNoDaemon = "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running.";
const std::vector<std::string> kEveryInterface{testing::kAdapterInterface, testing::kGattManagerInterface,
                                               testing::kAdvertisingManagerInterface};

// What the manager told its delegate; "" is a success.
struct Seen {
    ManagerState state = ManagerState::unknown;
    std::string reason;
    int stateReports = 0;
    std::vector<std::string> services, advertising, disconnected;
    std::vector<peripheral::WriteRequest> writes;
    std::vector<peripheral::ReadRequest> heldReads;
    std::vector<peripheral::WriteRequest> heldWrites;
    std::size_t readMTU = 0;  // of the last read answered
};

// Answers a read with the offset it asked for (beyond 100: Invalid Offset), keeps what was written,
// refuses empty writes. While `hold` is set it keeps requests unanswered instead.
class Recorder : public peripheral::PeripheralManagerDelegate {
public:
    void peripheralManagerDidUpdateState(PeripheralManager& manager) override {
        record([&](Seen& seen) {
            std::tie(seen.state, seen.reason) = std::tuple(manager.state(), manager.stateReason());
            ++seen.stateReports;
        });
    }
    void peripheralManagerDidAddService(PeripheralManager&, const std::optional<std::string>& error) override {
        record([&](Seen& seen) { seen.services.push_back(error.value_or("")); });
    }
    void peripheralManagerDidStartAdvertising(PeripheralManager&, const std::optional<std::string>& error) override {
        record([&](Seen& seen) { seen.advertising.push_back(error.value_or("")); });
    }
    void peripheralManagerDidReceiveRead(PeripheralManager& manager, const peripheral::ReadRequest& request) override {
        if (record([&](Seen& seen) { return hold && (seen.heldReads.push_back(request), true); })) return;
        if (request.offset > 100) return manager.respond(request, ATTResult::invalidOffset, {});
        record([&](Seen& seen) { seen.readMTU = request.mtu; });
        manager.respond(request, ATTResult::success, Bytes{static_cast<std::uint8_t>(request.offset)});
    }
    void peripheralManagerDidReceiveWrites(PeripheralManager& manager,
                                           const std::vector<peripheral::WriteRequest>& requests) override {
        for (const auto& request : requests) {
            if (record([&](Seen& seen) { return hold && (seen.heldWrites.push_back(request), true); })) continue;
            record([&](Seen& seen) { seen.writes.push_back(request); });
            const bool empty = !request.value || request.value->empty();
            manager.respond(request, empty ? ATTResult::invalidAttributeValueLength : ATTResult::success);
        }
    }
    void peripheralManagerCentralDidDisconnect(PeripheralManager&, const std::string& central) override {
        record([&](Seen& seen) { seen.disconnected.push_back(central); });
    }

    // What was seen once `ready` holds for it (a test failure when that takes over 5 seconds).
    Seen waitFor(const std::function<bool(const Seen&)>& ready) {
        EXPECT_TRUE(pavonix::testing::waitUntil([&] { return record(ready); }));
        return record([](const Seen& seen) { return seen; });
    }

    std::atomic<bool> hold = false;

private:
    template <class F>
    auto record(F&& f) -> decltype(f(std::declval<Seen&>())) {
        std::lock_guard lock(mutex_);
        return f(seen_);
    }
    std::mutex mutex_;
    Seen seen_;
};

auto stateIs(ManagerState state, std::string reason = {}) {
    return [state, reason](const Seen& seen) { return seen.state == state && seen.reason == reason; };
}

class BluezPeripheralTest : public ::testing::Test {
protected:
    peripheral::PeripheralManagerPtr makeManager(const std::string& address, BluezTimings timings = {}) {
        return bluezPeripheralFactory(address, timings)(recorder, dispatch::makeSerialQueue("bluez-test"));
    }

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

    static nlohmann::json published() {
        const nlohmann::json advertisement{{"LocalName", "Pavonix"}, {"ServiceUUIDs", {kServiceUUID}}, {"Discoverable", true}};
        return {{"applications", {{kLongValueUUID, kRequestUUID, kFixedUUID}}},
                {"advertisements", nlohmann::json::array({advertisement})}};
    }

    // Publishes as the Bluetooth server does once the radio is on, and waits for both outcomes.
    void publish(PeripheralManager& manager) {
        const Seen before = recorder->waitFor([](const Seen&) { return true; });
        manager.removeAllServices();
        manager.addService(service());
        manager.startAdvertising({"Pavonix", {kServiceUUID}});
        recorder->waitFor([&](const Seen& s) {
            return s.services.size() > before.services.size() && s.advertising.size() > before.advertising.size();
        });
    }

    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    FakeBluez fake;
};

TEST(ReconnectBackoffTest, DoublesFromTheFirstDelayUpToTheLongestAndStartsOverAfterAReset) {
    ReconnectBackoff backoff(1s, 30s);
    std::vector<std::chrono::milliseconds> delays;
    for (int i = 0; i < 7; ++i) delays.push_back(backoff.next());
    EXPECT_EQ(delays, (std::vector<std::chrono::milliseconds>{1s, 2s, 4s, 8s, 16s, 30s, 30s}));
    backoff.reset();
    EXPECT_EQ(backoff.next(), 1s);
    // No busy loop on a dead bus, whatever the settings.
    ReconnectBackoff immediate(0s, 0s);
    EXPECT_EQ(std::tuple(immediate.next(), immediate.next()), std::tuple(1ms, 1ms));
}

TEST_F(BluezPeripheralTest, PublishesAnswersFollowsThePowerAndUnregisters) {
    auto manager = makeManager(fake.address());
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    const Seen outcome = recorder->waitFor([](const Seen&) { return true; });
    EXPECT_EQ(std::tie(outcome.services, outcome.advertising), std::tuple(std::vector<std::string>{""}, std::vector<std::string>{""}));
    EXPECT_EQ(fake.registrations(), published());

    const Bytes request{'{', '"', 's', '"', '}'};
    fake.write(kPhone, kRequestUUID, request);
    const auto writes = recorder->waitFor([](const Seen&) { return true; }).writes;
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(std::tie(writes[0].central, writes[0].characteristic, *writes[0].value),
              std::tuple(devicePath(kPhone), std::string(kRequestUUID), request));
    // A long answer is read in pieces: the offset reaches the delegate, missing when 0, and so
    // does the link's MTU.
    EXPECT_EQ(fake.read(kPhone, kLongValueUUID, 0), Bytes{0});
    EXPECT_EQ(fake.read(kPhone, kLongValueUUID, 22), Bytes{22});
    EXPECT_EQ(recorder->waitFor([](const Seen&) { return true; }).readMTU, 23u);
    EXPECT_EQ(fake.read(kPhone, kFixedUUID, 1), (Bytes{2, 3}));
    EXPECT_THAT([&] { fake.read(kPhone, kLongValueUUID, 101); }, failsWith("org.bluez.Error.InvalidOffset"));
    EXPECT_THAT([&] { fake.read(kPhone, kFixedUUID, 4); }, failsWith("org.bluez.Error.InvalidOffset"));
    EXPECT_THAT([&] { fake.write(kPhone, kRequestUUID, Bytes{}); }, failsWith("org.bluez.Error.InvalidValueLength"));

    fake.setPowered(false);
    recorder->waitFor(stateIs(ManagerState::poweredOff));
    fake.setPowered(true);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    manager->stopAdvertising();
    manager->removeAllServices();
    const auto none = nlohmann::json::parse(R"({"applications": [], "advertisements": []})");
    EXPECT_TRUE(pavonix::testing::waitUntil([&] { return fake.registrations() == none; }));
}

TEST_F(BluezPeripheralTest, RefusedTreesAndAnAdapterThatGoesAwayAndComesBack) {
    auto manager = makeManager(fake.address());
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    peripheral::Service flagless = service();
    flagless.characteristics[0].properties = 0;
    manager->addService(flagless);
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 2; }).services,
              (std::vector<std::string>{"No valid service object found", ""}));

    fake.setInterfaces({});
    recorder->waitFor(stateIs(ManagerState::unsupported, kNoAdapter));
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 3; }).services.back(), kNoAdapter);

    fake.setInterfaces(kEveryInterface);
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    manager->addService(service());
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.services.size() == 4; }).services.back(), "");
    EXPECT_EQ(fake.registrations()["applications"].size(), 1u);
}

// At boot and on hotplug bluetoothd announces the managers after the adapter; registering before
// they are there fails with UnknownMethod.
TEST_F(BluezPeripheralTest, AnAdapterIsUsedOnceBothManagersAreThere) {
    fake.setInterfaces({testing::kAdapterInterface});
    auto manager = makeManager(fake.address());
    recorder->waitFor(stateIs(ManagerState::unsupported, kNotReady));
    fake.setInterfaces({testing::kAdapterInterface, testing::kGattManagerInterface});
    manager->startAdvertising({"Pavonix", {kServiceUUID}});
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return !s.advertising.empty(); }).advertising,
              std::vector<std::string>{kNotReady});

    fake.setInterfaces(kEveryInterface);
    const int reports = recorder->waitFor(stateIs(ManagerState::poweredOn)).stateReports;
    publish(*manager);
    EXPECT_EQ(fake.registrations(), published());

    // An advertising manager that goes (the controller's features read again) takes the adapter
    // out of use; its return makes the manager report the radio again, so the delegate publishes anew.
    fake.setInterfaces({testing::kAdapterInterface, testing::kGattManagerInterface});
    recorder->waitFor(stateIs(ManagerState::unsupported, kNotReady));
    EXPECT_EQ(fake.registrations()["advertisements"], nlohmann::json::array());
    fake.setInterfaces(kEveryInterface);
    EXPECT_EQ(recorder->waitFor(stateIs(ManagerState::poweredOn)).stateReports, reports + 2);
}

TEST_F(BluezPeripheralTest, AReleasedAdvertisementIsRegisteredAgainAndAFailureSaysSo) {
    auto manager = makeManager(fake.address(), {.firstReconnectDelay = 10ms, .longestReconnectDelay = 20ms});
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    fake.releaseAdvertisements();
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.advertising.size() == 2; }).advertising.back(), "");
    EXPECT_EQ(fake.registrations(), published());

    fake.failNextAdvertisement("Maximum advertisements reached");
    fake.releaseAdvertisements();
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.advertising.size() == 3; }).advertising.back(),
              "Bluetooth stopped advertising and could not start again: Maximum advertisements reached");
    EXPECT_EQ(fake.registrations()["advertisements"], nlohmann::json::array());

    // Stopped on purpose, it stays stopped.
    manager->startAdvertising({"Pavonix", {kServiceUUID}});
    recorder->waitFor([](const Seen& s) { return s.advertising.size() == 4; });
    manager->stopAdvertising();
    fake.releaseAdvertisements();
    EXPECT_TRUE(pavonix::testing::waitUntil([&] { return fake.registrations()["advertisements"].empty(); }));
    EXPECT_EQ(recorder->waitFor([](const Seen&) { return true; }).advertising.size(), 4u);
}

// bluetoothd releasing each advertisement as soon as it is registered. The delegate's answer to a
// read reaches the manager after the release that came just ahead of the read.
TEST_F(BluezPeripheralTest, AnAdvertisementReleasedAtOnceEveryTimeIsNotRegisteredInALoop) {
    auto manager = makeManager(fake.address(), {.firstReconnectDelay = 1h, .longestReconnectDelay = 1h});
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    fake.releaseAdvertisementsAtOnce();
    publish(*manager);
    EXPECT_EQ(fake.read(kPhone, kLongValueUUID, 3), Bytes{3});
    EXPECT_EQ(fake.advertisementRequests(), 1u);
    EXPECT_EQ(recorder->waitFor([](const Seen&) { return true; }).advertising, std::vector<std::string>{""});
}

// The central waiting on a withdrawn characteristic hears at once, not from bluetoothd 5 s later.
TEST_F(BluezPeripheralTest, RequestsPendingWhenTheServiceIsWithdrawnAreAnsweredAtOnce) {
    auto manager = makeManager(fake.address(), {.answerDeadline = 1h});
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    recorder->hold = true;
    auto read = std::async(std::launch::async, [&] { return fake.read(kPhone, kLongValueUUID, 5); });
    const Seen held = recorder->waitFor([](const Seen& s) { return !s.heldReads.empty(); });
    manager->removeAllServices();
    EXPECT_THAT([&] { read.get(); }, failsWith("org.freedesktop.DBus.Error.Failed"));
    manager->respond(held.heldReads.at(0), ATTResult::success, Bytes{5});
}

// bluetoothd answers the central on its own after 5 seconds; the manager answers first.
TEST_F(BluezPeripheralTest, RequestsTheDelegateLeavesUnansweredGetUnlikelyErrorAndLateAnswersAreDropped) {
    auto manager = makeManager(fake.address(), {.answerDeadline = 200ms});
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    recorder->hold = true;
    EXPECT_THAT([&] { fake.read(kPhone, kLongValueUUID, 5); }, failsWith("org.freedesktop.DBus.Error.Failed"));
    EXPECT_THAT([&] { fake.write(kPhone, kRequestUUID, Bytes{1}); }, failsWith("org.freedesktop.DBus.Error.Failed"));

    // The delegate may hear of the requests only after they were answered (a busy machine).
    const Seen held = recorder->waitFor([](const Seen& s) { return !s.heldReads.empty() && !s.heldWrites.empty(); });
    recorder->hold = false;
    ASSERT_EQ(std::tuple(held.heldReads.size(), held.heldWrites.size()), std::tuple(1u, 1u));
    manager->respond(held.heldReads[0], ATTResult::success, Bytes{99});
    manager->respond(held.heldWrites[0], ATTResult::success);
    EXPECT_EQ(fake.read(kPhone, kLongValueUUID, 7), Bytes{7});
}

TEST_F(BluezPeripheralTest, CentralsHearOfTheirDisconnectionAlsoWhenTheAdapterGoes) {
    auto manager = makeManager(fake.address());
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    fake.write(kPhone, kRequestUUID, Bytes{1});
    fake.write(kStranger, kRequestUUID, Bytes{2});
    fake.disconnect(kPhone);
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return !s.disconnected.empty(); }).disconnected,
              std::vector<std::string>{devicePath(kPhone)});
    fake.setInterfaces({});
    EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.disconnected.size() == 2; }).disconnected.back(),
              devicePath(kStranger));
}

TEST_F(BluezPeripheralTest, ALostBusIsReconnectedAndBluetoothdThatLeavesIsFollowed) {
    auto manager = makeManager(fake.address(), {.firstReconnectDelay = 20ms, .longestReconnectDelay = 80ms});
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    fake.write(kPhone, kRequestUUID, Bytes{1});
    fake.restartBus(300ms);
    recorder->waitFor(stateIs(ManagerState::unsupported, kNoBus));
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    EXPECT_EQ(recorder->waitFor([](const Seen&) { return true; }).disconnected, std::vector<std::string>{devicePath(kPhone)});
    publish(*manager);
    EXPECT_EQ(fake.registrations(), published());

    fake.stopBluetoothd();
    recorder->waitFor(stateIs(ManagerState::unsupported, kNoDaemon));
    fake.startBluetoothd();
    recorder->waitFor(stateIs(ManagerState::poweredOn));
    publish(*manager);
    EXPECT_EQ(fake.registrations(), published());
}

TEST_F(BluezPeripheralTest, WithoutBluetoothdOrABusOrTheBusPolicysLeaveTheStateSaysWhy) {
    fake.stopBluetoothd();
    FakeBluez denied("--deny-adapters");
    for (const auto& [address, reason] : std::vector<std::pair<std::string, std::string>>{
             {fake.address(), kNoDaemon},
             {"unix:path=/nonexistent/pavonix-bus", kNoBus},
             {denied.address(), "Bluetooth is not available: the system message bus does not allow this user to "
                                "reach the Bluetooth service (bluetoothd)."},
         }) {
        recorder = std::make_shared<Recorder>();
        auto manager = makeManager(address);
        EXPECT_EQ(recorder->waitFor([](const Seen& s) { return s.state == ManagerState::unsupported; }).reason, reason);
        manager->startAdvertising({"Pavonix", {kServiceUUID}});
        EXPECT_EQ(recorder->waitFor([](const Seen& s) { return !s.advertising.empty(); }).advertising, std::vector{reason});
    }
}

}  // namespace
}  // namespace pavonix::bluez
