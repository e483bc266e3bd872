// The BlueZ peripheral against a stand-in bluetoothd (testing/fake_bluez.py) on a private bus: the
// stand-in records registrations as bluetoothd does and plays the central that reads and writes.
#include "platform/bluez/bluez_peripheral_manager.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testing/wait_until.h"

namespace pavonix::bluez {
namespace {

using peripheral::ATTResult;
using peripheral::Bytes;
using peripheral::ManagerState;
using peripheral::PeripheralManager;
using testing::waitUntil;

constexpr const char* kServiceUUID = "5E1A0000-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kLongValueUUID = "5E1A0001-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kRequestUUID = "5E1A0002-7E5B-4C6C-9A0E-6B4C7F1A2B3C";
constexpr const char* kFixedUUID = "5E1A0003-7E5B-4C6C-9A0E-6B4C7F1A2B3C";

std::string env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Answers reads of the long value by offset, keeps what was written, refuses empty writes.
class Recorder : public peripheral::PeripheralManagerDelegate {
public:
    explicit Recorder(Bytes longValue) : longValue_(std::move(longValue)) {}

    void peripheralManagerDidUpdateState(PeripheralManager& manager) override {
        std::lock_guard lock(mutex_);
        states.push_back(manager.state());
        reason = manager.stateReason();
    }
    void peripheralManagerDidAddService(PeripheralManager&, const std::optional<std::string>& error) override {
        std::lock_guard lock(mutex_);
        serviceResults.push_back(error.value_or(""));
    }
    void peripheralManagerDidStartAdvertising(PeripheralManager&, const std::optional<std::string>& error) override {
        std::lock_guard lock(mutex_);
        advertisingResults.push_back(error.value_or(""));
    }
    void peripheralManagerDidReceiveRead(PeripheralManager& manager, const peripheral::ReadRequest& request) override {
        if (request.offset > longValue_.size()) {
            manager.respond(request, ATTResult::invalidOffset, {});
            return;
        }
        manager.respond(request, ATTResult::success,
                        Bytes(longValue_.begin() + static_cast<long>(request.offset), longValue_.end()));
    }
    void peripheralManagerDidReceiveWrites(PeripheralManager& manager,
                                           const std::vector<peripheral::WriteRequest>& requests) override {
        for (const auto& request : requests) {
            {
                std::lock_guard lock(mutex_);
                writes.push_back(request);
            }
            const bool empty = !request.value || request.value->empty();
            manager.respond(request, empty ? ATTResult::invalidAttributeValueLength : ATTResult::success);
        }
    }

    template <typename F>
    auto locked(F f) {
        std::lock_guard lock(mutex_);
        return f();
    }

    std::vector<ManagerState> states;
    std::string reason;
    std::vector<std::string> serviceResults, advertisingResults;
    std::vector<peripheral::WriteRequest> writes;

private:
    std::mutex mutex_;
    const Bytes longValue_;
};

class BluezPeripheralTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string command = env("PAVONIX_DBUS_DAEMON") + " --session --fork --print-address=1 --print-pid=1";
        FILE* out = popen(command.c_str(), "r");
        ASSERT_NE(out, nullptr);
        char line[512] = {};
        if (std::fgets(line, sizeof line, out)) address_ = std::string(line, std::strcspn(line, "\n"));
        if (std::fgets(line, sizeof line, out)) busPid_ = std::atoi(line);
        pclose(out);
        ASSERT_FALSE(address_.empty());
        ASSERT_GT(busPid_, 0);
        client_ = sdbus::createSessionBusConnectionWithAddress(address_);
    }

    void TearDown() override {
        stopFake();
        client_.reset();
        if (busPid_ > 0) kill(busPid_, SIGTERM);
    }

    void startFake() {
        fakePid_ = fork();
        if (fakePid_ == 0) {
            setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
            const std::string python = env("PAVONIX_PYTHON3"), script = env("PAVONIX_FAKE_BLUEZ");
            execl(python.c_str(), python.c_str(), script.c_str(), nullptr);
            _exit(127);
        }
        auto bus = sdbus::createProxy(*client_, "org.freedesktop.DBus", "/org/freedesktop/DBus");
        const auto owned = [&] {
            bool has = false;
            bus->callMethod("NameHasOwner").onInterface("org.freedesktop.DBus").withArguments(std::string("org.bluez"))
                .storeResultsTo(has);
            return has;
        };
        ASSERT_TRUE(waitUntil(owned, std::chrono::seconds(10))) << "the stand-in bluetoothd did not start";
        fakeCentral_ = sdbus::createProxy(*client_, "org.bluez", "/pavonix/test");
    }

    void stopFake() {
        if (fakePid_ <= 0) return;
        kill(fakePid_, SIGTERM);
        waitpid(fakePid_, nullptr, 0);
        fakePid_ = -1;
    }

    peripheral::PeripheralManagerPtr makeManager(const std::shared_ptr<Recorder>& recorder,
                                                 std::string address = {}) {
        return bluezPeripheralFactory(address.empty() ? address_ : address)(
            recorder, dispatch::makeSerialQueue("bluez-test"));
    }

    sdbus::MethodCall central(const char* method) {
        return fakeCentral_->createMethodCall("org.pavonix.FakeCentral", method);
    }

    Bytes readValue(const std::string& uuid, std::uint16_t offset) {
        auto call = central("Read");
        call << uuid << offset;
        Bytes value;
        auto reply = fakeCentral_->callMethod(call);
        reply >> value;
        return value;
    }

    void writeValue(const std::string& uuid, const Bytes& value) {
        auto call = central("Write");
        call << uuid << value;
        fakeCentral_->callMethod(call);
    }

    void setFake(const char* method, bool on) {
        auto call = central(method);
        call << on;
        fakeCentral_->callMethod(call);
    }

    nlohmann::json registrations() {
        std::string text;
        auto reply = fakeCentral_->callMethod(central("Registrations"));
        reply >> text;
        return nlohmann::json::parse(text);
    }

    std::string errorName(const std::function<void()>& call) {
        try {
            call();
        } catch (const sdbus::Error& error) {
            return error.getName();
        }
        return "no error";
    }

    static peripheral::Service service() {
        using peripheral::Characteristic;
        return {kServiceUUID,
                true,
                {Characteristic{kLongValueUUID, peripheral::kPropertyRead, peripheral::kPermissionReadable, {}},
                 Characteristic{kRequestUUID, peripheral::kPropertyWrite, peripheral::kPermissionWriteable, {}},
                 Characteristic{kFixedUUID, peripheral::kPropertyRead, peripheral::kPermissionReadable, Bytes{1, 2, 3}}}};
    }

    static bool lastStateIs(Recorder& recorder, ManagerState state) {
        return recorder.locked([&] { return !recorder.states.empty() && recorder.states.back() == state; });
    }

    std::string address_;
    pid_t busPid_ = -1;
    pid_t fakePid_ = -1;
    std::unique_ptr<sdbus::IConnection> client_;
    std::unique_ptr<sdbus::IProxy> fakeCentral_;
};

TEST_F(BluezPeripheralTest, PublishesAnswersFollowsThePowerAndUnregisters) {
    startFake();
    Bytes longValue(100);
    for (std::size_t i = 0; i < longValue.size(); ++i) longValue[i] = static_cast<std::uint8_t>(i);
    auto recorder = std::make_shared<Recorder>(longValue);
    auto manager = makeManager(recorder);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::poweredOn); }));

    manager->addService(service());
    manager->startAdvertising({"Pavonix", {kServiceUUID}});
    ASSERT_TRUE(waitUntil([&] {
        return recorder->locked([&] { return !recorder->serviceResults.empty() && !recorder->advertisingResults.empty(); });
    }));
    EXPECT_EQ(recorder->serviceResults, std::vector<std::string>{""});
    EXPECT_EQ(recorder->advertisingResults, std::vector<std::string>{""});
    auto published = registrations();
    ASSERT_EQ(published["applications"].size(), 1u);
    EXPECT_EQ(published["applications"][0]["characteristics"],
              nlohmann::json({kLongValueUUID, kRequestUUID, kFixedUUID}));
    EXPECT_EQ(published["advertisements"],
              nlohmann::json::parse(R"([{"LocalName": "Pavonix", "ServiceUUIDs": ["5E1A0000-7E5B-4C6C-9A0E-6B4C7F1A2B3C"],
                                        "Discoverable": true}])"));

    // A request written, its answer read in MTU-sized pieces at increasing offsets.
    const Bytes request{'{', '"', 's', '"', '}'};
    writeValue(kRequestUUID, request);
    recorder->locked([&] {
        EXPECT_EQ(recorder->writes.size(), 1u);
        EXPECT_EQ(recorder->writes.back().value, request);
        EXPECT_EQ(recorder->writes.back().central, "/org/bluez/hci0/dev_11_22_33_44_55_66");
        EXPECT_EQ(recorder->writes.back().characteristic, kRequestUUID);
        return 0;
    });
    Bytes assembled;
    for (std::uint16_t offset = 0;; offset = static_cast<std::uint16_t>(offset + 22)) {
        // As over the air: MTU 23 carries 22 bytes a read; a shorter piece is the last.
        Bytes piece = readValue(kLongValueUUID, offset);
        assembled.insert(assembled.end(), piece.begin(), piece.begin() + std::min<std::size_t>(22, piece.size()));
        if (piece.size() < 22) break;
        ASSERT_LE(offset, 200) << "reads never came to an end";
    }
    EXPECT_EQ(assembled, longValue);

    EXPECT_EQ(readValue(kFixedUUID, 1), (Bytes{2, 3}));
    struct Refusal {
        const char* what;
        std::function<void()> call;
        const char* error;
    };
    for (const Refusal& refusal : std::vector<Refusal>{
             {"long value beyond its end", [&] { readValue(kLongValueUUID, 101); }, "org.bluez.Error.InvalidOffset"},
             {"fixed value beyond its end", [&] { readValue(kFixedUUID, 4); }, "org.bluez.Error.InvalidOffset"},
             {"empty write", [&] { writeValue(kRequestUUID, {}); }, "org.bluez.Error.InvalidValueLength"},
         }) {
        EXPECT_EQ(errorName(refusal.call), refusal.error) << refusal.what;
    }

    setFake("SetPowered", false);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::poweredOff); }));
    setFake("SetPowered", true);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::poweredOn); }));

    manager->stopAdvertising();
    manager->removeAllServices();
    ASSERT_TRUE(waitUntil([&] {
        auto now = registrations();
        return now["applications"].empty() && now["advertisements"].empty();
    }));
}

TEST_F(BluezPeripheralTest, RefusedTreesAndAnAdapterThatGoesAwayAndComesBack) {
    startFake();
    auto recorder = std::make_shared<Recorder>(Bytes{});
    auto manager = makeManager(recorder);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::poweredOn); }));
    peripheral::Service flagless = service();
    flagless.characteristics[0].properties = 0;
    manager->addService(flagless);
    manager->addService(service());
    ASSERT_TRUE(waitUntil([&] { return recorder->locked([&] { return recorder->serviceResults.size() == 2; }); }));
    EXPECT_EQ(recorder->serviceResults, (std::vector<std::string>{"No valid service object found", ""}));

    setFake("SetAdapterPresent", false);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::unsupported); }));
    EXPECT_EQ(recorder->locked([&] { return recorder->reason; }), "No Bluetooth adapter was found.");
    manager->addService(service());
    ASSERT_TRUE(waitUntil([&] { return recorder->locked([&] { return recorder->serviceResults.size() == 3; }); }));
    EXPECT_EQ(recorder->serviceResults.back(), "No Bluetooth adapter was found.");

    setFake("SetAdapterPresent", true);
    ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::poweredOn); }));
    manager->addService(service());
    ASSERT_TRUE(waitUntil([&] { return recorder->locked([&] { return recorder->serviceResults.size() == 4; }); }));
    EXPECT_EQ(recorder->serviceResults.back(), "");
    EXPECT_EQ(registrations()["applications"].size(), 1u);
}

TEST_F(BluezPeripheralTest, WithoutBluetoothdOrWithoutABusTheStateSaysWhy) {
    struct Case {
        const char* what;
        std::string address;
        const char* reason;
    };
    for (const Case& each : std::vector<Case>{
             {"no bluetoothd", address_, "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running."},
             {"no bus", "unix:path=/nonexistent/pavonix-bus",
              "Bluetooth is not available: the system message bus could not be reached."},
         }) {
        auto recorder = std::make_shared<Recorder>(Bytes{});
        auto manager = makeManager(recorder, each.address);
        ASSERT_TRUE(waitUntil([&] { return lastStateIs(*recorder, ManagerState::unsupported); })) << each.what;
        EXPECT_EQ(recorder->locked([&] { return recorder->reason; }), each.reason) << each.what;
        manager->startAdvertising({"Pavonix", {kServiceUUID}});
        ASSERT_TRUE(waitUntil([&] { return recorder->locked([&] { return !recorder->advertisingResults.empty(); }); }));
        EXPECT_EQ(recorder->advertisingResults.back(), each.reason) << each.what;
    }
}

}  // namespace
}  // namespace pavonix::bluez
