#include "platform/bluez/testing/fake_bluez.h"

#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "platform/testing/wait_until.h"

namespace pavonix::bluez::testing {

namespace {

// Long enough for any answer the stand-in gives, short enough that a lost one fails the test soon.
constexpr auto kCallTimeout = std::chrono::seconds(10);

}  // namespace

FakeBluez::FakeBluez(const std::string& options, Waiter waiter) : waiter_(std::move(waiter)) {
    if (!waiter_) waiter_ = [](const std::function<bool()>& done) { return pavonix::testing::waitUntil(done); };
    const char *python = std::getenv("PAVONIX_PYTHON3"), *script = std::getenv("PAVONIX_FAKE_BLUEZ");
    if (!python || !script) throw std::runtime_error("run through ctest, which names the stand-in bluetoothd");
    // Close-on-exec: a process the test starts later must not hold the stand-in up after the test.
    process_ = popen((std::string(python) + " " + script + " " + options).c_str(), "re");
    char line[512] = {};
    if (!process_ || !std::fgets(line, sizeof line, process_)) {
        if (process_) pclose(process_);
        throw std::runtime_error("the stand-in bluetoothd did not start");
    }
    address_ = std::string(line, std::strcspn(line, "\n"));
    connect();
}

FakeBluez::~FakeBluez() {
    try {
        if (!proxy_) connect();
        proxy_->callMethod("Quit").onInterface(kCentral).dontExpectReply();
    } catch (const std::exception&) {
        // It ends by itself after a while; pclose waits for that.
    }
    proxy_.reset();
    client_.reset();
    pclose(process_);
}

void FakeBluez::connect() {
    proxy_.reset();
    client_.reset();
    // Right after a restart the bus may not listen yet.
    pavonix::testing::waitUntil([this] {
        try {
            client_ = sdbus::createSessionBusConnectionWithAddress(address_);
            return true;
        } catch (const sdbus::Error&) {
            return false;
        }
    });
    if (!client_) throw std::runtime_error("the stand-in's bus did not come back");
    client_->setMethodCallTimeout(kCallTimeout);
    proxy_ = sdbus::createProxy(*client_, kCentral, "/pavonix/test");
}

void FakeBluez::run(const std::function<void()>& work) {
    if (!proxy_) connect();
    auto done = std::async(std::launch::async, work);
    waiter_([&] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    done.get();
}

Bytes FakeBluez::read(const std::string& device, const std::string& uuid, std::uint16_t offset) {
    return ask<Bytes>("Read", device, uuid, offset);
}

Bytes FakeBluez::readLong(const std::string& device, const std::string& uuid) {
    Bytes whole;
    for (;;) {
        const Bytes piece = read(device, uuid, static_cast<std::uint16_t>(whole.size()));
        whole.insert(whole.end(), piece.begin(), piece.end());
        if (piece.size() < kReadPiece) return whole;
    }
}

void FakeBluez::write(const std::string& device, const std::string& uuid, const Bytes& value) {
    call("Write", device, uuid, value);
}

nlohmann::json FakeBluez::registrations() { return nlohmann::json::parse(ask<std::string>("Registrations")); }

void FakeBluez::restartBus(std::chrono::milliseconds down) {
    call("RestartBus", static_cast<std::uint16_t>(down.count()));
    // Until our own connection has seen the bus go, a new one could still reach the old bus.
    pavonix::testing::waitUntil([this] {
        try {
            while (client_->processPendingRequest()) {
            }
            const auto data = client_->getEventLoopPollData();
            pollfd fd{data.fd, static_cast<short>(data.events), 0};
            poll(&fd, 1, 10);
            return false;
        } catch (const sdbus::Error&) {
            return true;
        }
    });
    proxy_.reset();
    client_.reset();
}

}  // namespace pavonix::bluez::testing
