// The Bluetooth LE peripheral role: publish one GATT application, advertise it, follow the radio,
// and answer the ATT reads and writes of connected centrals.
//
// The shape follows what both a CoreBluetooth-like peripheral manager and BlueZ's D-Bus API offer:
// a service with characteristics and their property flags (BlueZ "read", "write"), an
// advertisement with a local name and service UUIDs, reads with an offset and the central that
// asked (BlueZ's `device` path), write requests, and one answer per request carrying an ATT result
// code (BlueZ maps its org.bluez.Error names onto the same codes). The radio's state follows the
// adapter's Powered property; no adapter, or no Bluetooth service at all, is `unsupported` with a
// reason for the user.
//
// Threads: a manager delivers every delegate call on the queue it was created with and holds its
// delegate weakly, so a delegate that has gone away is simply not called. The manager's own
// operations may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace pavonix::peripheral {

using Bytes = std::vector<std::uint8_t>;

enum class ManagerState { unknown, resetting, unsupported, unauthorized, poweredOff, poweredOn };

// Characteristic property bits as the GATT characteristic declaration carries them.
inline constexpr std::uint8_t kPropertyRead = 0x02;
inline constexpr std::uint8_t kPropertyWrite = 0x08;  // write with response
// Attribute permissions.
inline constexpr std::uint8_t kPermissionReadable = 0x01;
inline constexpr std::uint8_t kPermissionWriteable = 0x02;

// ATT result codes sent back to a central. A stack that cannot send a code as such (BlueZ has no
// error name for 0x0A) sends its nearest equivalent.
enum class ATTResult : std::uint8_t {
    success = 0x00,
    invalidOffset = 0x07,
    attributeNotFound = 0x0A,
    invalidAttributeValueLength = 0x0D,
    unlikelyError = 0x0E,
};

struct Characteristic {
    std::string uuid;  // upper-case 8-4-4-4-12 text
    std::uint8_t properties = 0;
    std::uint8_t permissions = 0;
    // A fixed value is served by the manager itself; reads of it never reach the delegate.
    std::optional<Bytes> value;

    friend bool operator==(const Characteristic&, const Characteristic&) = default;
};

struct Service {
    std::string uuid;
    bool isPrimary = true;
    std::vector<Characteristic> characteristics;

    friend bool operator==(const Service&, const Service&) = default;
};

struct Advertisement {
    std::string localName;
    std::vector<std::string> serviceUUIDs;

    friend bool operator==(const Advertisement&, const Advertisement&) = default;
};

// One ATT request; `id` ties the answer to it (BlueZ answers a deferred D-Bus call).
struct ReadRequest {
    std::uint64_t id = 0;
    std::string central;
    std::string characteristic;
    std::size_t offset = 0;
    // The link's ATT MTU: the stack sends the central MTU - 1 bytes of the answer from the
    // offset on. 0 when the stack does not say; it then sends all of it.
    std::size_t mtu = 0;
};

struct WriteRequest {
    std::uint64_t id = 0;
    std::string central;
    std::string characteristic;
    std::size_t offset = 0;
    std::optional<Bytes> value;
};

class PeripheralManager;

class PeripheralManagerDelegate {
public:
    virtual ~PeripheralManagerDelegate() = default;
    virtual void peripheralManagerDidUpdateState(PeripheralManager& manager) = 0;
    // The outcome of addService(); `error` is the platform's text.
    virtual void peripheralManagerDidAddService(PeripheralManager& manager, const std::optional<std::string>& error) = 0;
    virtual void peripheralManagerDidStartAdvertising(PeripheralManager& manager,
                                                      const std::optional<std::string>& error) = 0;
    virtual void peripheralManagerDidReceiveRead(PeripheralManager& manager, const ReadRequest& request) = 0;
    // One batch; every request is answered on its own.
    virtual void peripheralManagerDidReceiveWrites(PeripheralManager& manager,
                                                   const std::vector<WriteRequest>& requests) = 0;
    // A central (as named in its requests) is no longer connected.
    virtual void peripheralManagerCentralDidDisconnect(PeripheralManager& /*manager*/,
                                                       const std::string& /*central*/) {}
};

class PeripheralManager {
public:
    virtual ~PeripheralManager() = default;

    virtual ManagerState state() const = 0;
    // Why the radio cannot be used, for the user (for example "No Bluetooth adapter was found.");
    // empty when the state says enough.
    virtual std::string stateReason() const { return {}; }

    virtual void addService(const Service& service) = 0;
    virtual void removeAllServices() = 0;
    virtual void startAdvertising(const Advertisement& advertisement) = 0;
    virtual void stopAdvertising() = 0;

    // Each request is answered once; answers to a manager that has stopped are dropped.
    virtual void respond(const ReadRequest& request, ATTResult result, const Bytes& value) = 0;
    virtual void respond(const WriteRequest& request, ATTResult result) = 0;
};
using PeripheralManagerPtr = std::shared_ptr<PeripheralManager>;

// Makes a manager that calls `delegate` on `queue`; its first state report follows by itself. A
// factory never calls the delegate itself and never waits for the queue (its caller may hold a
// lock that the delegate takes).
using PeripheralManagerFactory =
    std::function<PeripheralManagerPtr(std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue)>;

// For a system where the peripheral role cannot be offered: every manager reports `unsupported`
// with `reason` and publishes nothing.
PeripheralManagerFactory unavailablePeripheralFactory(std::string reason);

}  // namespace pavonix::peripheral
