// Test support: a stand-in bluetoothd (fake_bluez.py) on a private bus of its own, started for one
// test and steered from it. The stand-in registers applications and advertisements as bluetoothd
// does and plays the centrals; ctest names the interpreter and the script (PAVONIX_PYTHON3,
// PAVONIX_FAKE_BLUEZ, PAVONIX_DBUS_DAEMON). Not linked into the program.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace pavonix::bluez::testing {

using Bytes = std::vector<std::uint8_t>;

// A central as the stand-in names it, and the path bluetoothd gives it (a request's central).
inline constexpr const char* kPhone = "dev_11_22_33_44_55_66";
inline constexpr const char* kStranger = "dev_66_55_44_33_22_11";
inline std::string devicePath(const std::string& device) { return "/org/bluez/hci0/" + device; }
// What one ATT read response carries on the stand-in's links (MTU 23).
inline constexpr std::size_t kReadPiece = 22;

inline constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
inline constexpr const char* kGattManagerInterface = "org.bluez.GattManager1";
inline constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";

class FakeBluez {
public:
    // Waits until a condition holds, or gives up (false). Every call to the stand-in runs on a
    // thread of its own while the waiter waits for it: a test whose peripheral answers through the
    // main queue drains that queue here.
    using Waiter = std::function<bool(const std::function<bool()>& done)>;

    // "--deny-adapters": the bus refuses the question for bluetoothd's objects.
    explicit FakeBluez(const std::string& options = {}, Waiter waiter = {});
    ~FakeBluez();
    FakeBluez(const FakeBluez&) = delete;
    FakeBluez& operator=(const FakeBluez&) = delete;

    const std::string& address() const { return address_; }

    // A central's read as bluetoothd passes it on (one ATT response: 22 bytes at most), and a
    // long read: pieces at increasing offsets until one comes short. Errors throw sdbus::Error.
    Bytes read(const std::string& device, const std::string& uuid, std::uint16_t offset = 0);
    Bytes readLong(const std::string& device, const std::string& uuid);
    void write(const std::string& device, const std::string& uuid, const Bytes& value);
    // {"applications": [[characteristic UUIDs]...], "advertisements": [{LocalName, ServiceUUIDs, Discoverable}...]}
    nlohmann::json registrations();

    void setPowered(bool powered) { call("SetPowered", powered); }
    void setInterfaces(const std::vector<std::string>& interfaces) { call("SetInterfaces", interfaces); }
    void disconnect(const std::string& device) { call("Disconnect", device); }
    void releaseAdvertisements() { call("ReleaseAdvertisements"); }
    void failNextAdvertisement(const std::string& text) { call("FailNextAdvertisement", text); }
    // From now on each advertisement is released right after bluetoothd answered its registration.
    void releaseAdvertisementsAtOnce() { call("ReleaseAdvertisementsAtOnce"); }
    // How many times RegisterAdvertisement was called so far.
    std::uint32_t advertisementRequests() { return ask<std::uint32_t>("AdvertisementRequests"); }
    void stopBluetoothd() { call("StopBluetoothd"); }
    void startBluetoothd() { call("StartBluetoothd"); }
    // The bus goes away for `down` and comes back at the same address; returns once the old bus is
    // gone, and the next call waits for the new one.
    void restartBus(std::chrono::milliseconds down);

private:
    void connect();

    template <typename... Args>
    void call(const char* method, const Args&... args) {
        run([&] { proxy_->callMethod(method).onInterface(kCentral).withArguments(args...); });
    }
    template <typename Result, typename... Args>
    Result ask(const char* method, const Args&... args) {
        Result result{};
        run([&] { proxy_->callMethod(method).onInterface(kCentral).withArguments(args...).storeResultsTo(result); });
        return result;
    }
    void run(const std::function<void()>& work);

    static constexpr const char* kCentral = "org.pavonix.FakeCentral";
    Waiter waiter_;
    FILE* process_ = nullptr;
    std::string address_;
    std::unique_ptr<sdbus::IConnection> client_;
    std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace pavonix::bluez::testing
