#include "platform/bluez/bluez_peripheral_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace pavonix::bluez {

namespace {

using peripheral::ATTResult;
using peripheral::Bytes;
using peripheral::ManagerState;
using peripheral::PeripheralManager;
using peripheral::PeripheralManagerDelegate;
using Options = std::map<std::string, sdbus::Variant>;
using InterfaceProperties = std::map<std::string, Options>;
using ManagedObjects = std::map<sdbus::ObjectPath, InterfaceProperties>;

constexpr const char* kBluezName = "org.bluez";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kGattManagerInterface = "org.bluez.GattManager1";
constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
constexpr const char* kServiceInterface = "org.bluez.GattService1";
constexpr const char* kCharacteristicInterface = "org.bluez.GattCharacteristic1";
constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kPropertiesInterface = "org.freedesktop.DBus.Properties";
constexpr const char* kBasePath = "/org/pavonix/peripheral";

constexpr const char* kNoBusText = "Bluetooth is not available: the system message bus could not be reached.";
constexpr const char* kNoDaemonText = "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running.";
constexpr const char* kNoAdapterText = "No Bluetooth adapter was found.";

// bluetoothd gives a central 5 seconds per request; a delegate that stops answering must not make
// unanswered calls pile up.
constexpr std::size_t kMaxPendingRequests = 64;

// The D-Bus error bluetoothd turns into each ATT code. 0x0A has no name of its own: Request Not
// Supported is the nearest a central understands as "nothing to do here".
sdbus::Error attError(ATTResult result) {
    switch (result) {
        case ATTResult::invalidOffset:
            return sdbus::Error("org.bluez.Error.InvalidOffset", "Invalid offset");
        case ATTResult::invalidAttributeValueLength:
            return sdbus::Error("org.bluez.Error.InvalidValueLength", "Invalid value length");
        case ATTResult::attributeNotFound:
            return sdbus::Error("org.bluez.Error.NotSupported", "Attribute not found");
        default:
            // A name bluetoothd does not know becomes Unlikely Error; Failed with a text would be 0x80.
            return sdbus::Error("org.freedesktop.DBus.Error.Failed", "Unlikely error");
    }
}

std::vector<std::string> flagWords(const peripheral::Characteristic& characteristic) {
    std::vector<std::string> words;
    if (characteristic.properties & peripheral::kPropertyRead) words.emplace_back("read");
    if (characteristic.properties & peripheral::kPropertyWrite) words.emplace_back("write");
    return words;
}

std::size_t offsetOption(const Options& options) {
    auto found = options.find("offset");
    if (found == options.end() || !found->second.containsValueOfType<std::uint16_t>()) return 0;
    return found->second.get<std::uint16_t>();
}

std::string deviceOption(const Options& options) {
    auto found = options.find("device");
    if (found == options.end() || !found->second.containsValueOfType<sdbus::ObjectPath>()) return {};
    return found->second.get<sdbus::ObjectPath>();
}

std::optional<bool> poweredProperty(const Options& properties) {
    auto found = properties.find("Powered");
    if (found == properties.end() || !found->second.containsValueOfType<bool>()) return std::nullopt;
    return found->second.get<bool>();
}

std::string errorText(const sdbus::Error& error) {
    return error.getMessage().empty() ? error.getName() : error.getMessage();
}

class BluezPeripheralManager final : public PeripheralManager,
                                     public std::enable_shared_from_this<BluezPeripheralManager> {
public:
    BluezPeripheralManager(std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue,
                           std::string busAddress)
        : delegate_(std::move(delegate)), queue_(std::move(queue)), busAddress_(std::move(busAddress)) {
        wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    ~BluezPeripheralManager() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        if (thread_.joinable()) {
            if (thread_.get_id() == std::this_thread::get_id()) {
                thread_.detach();
            } else {
                thread_.join();
            }
        }
        if (wakeFd_ >= 0) close(wakeFd_);
    }

    void start() {
        thread_ = std::thread([this] { run(); });
    }

    ManagerState state() const override {
        std::lock_guard lock(mutex_);
        return state_;
    }
    std::string stateReason() const override {
        std::lock_guard lock(mutex_);
        return reason_;
    }

    void addService(const peripheral::Service& service) override {
        post([this, service] { registerApplication(service); });
    }
    void removeAllServices() override {
        post([this] { unregisterApplications(); });
    }
    void startAdvertising(const peripheral::Advertisement& advertisement) override {
        post([this, advertisement] { registerAdvertisement(advertisement); });
    }
    void stopAdvertising() override {
        post([this] { unregisterAdvertisement(); });
    }

    void respond(const peripheral::ReadRequest& request, ATTResult result, const Bytes& value) override {
        post([this, id = request.id, result, value] {
            auto found = pendingReads_.find(id);
            if (found == pendingReads_.end()) return;
            auto call = std::move(found->second);
            pendingReads_.erase(found);
            if (result == ATTResult::success) {
                call.returnResults(value);
            } else {
                call.returnError(attError(result));
            }
        });
    }
    void respond(const peripheral::WriteRequest& request, ATTResult result) override {
        post([this, id = request.id, result] {
            auto found = pendingWrites_.find(id);
            if (found == pendingWrites_.end()) return;
            auto call = std::move(found->second);
            pendingWrites_.erase(found);
            if (result == ATTResult::success) {
                call.returnResults();
            } else {
                call.returnError(attError(result));
            }
        });
    }

private:
    struct Application {
        sdbus::ObjectPath path;
        // The service and characteristic objects before the root: bluetoothd reads the tree through it.
        std::vector<std::unique_ptr<sdbus::IObject>> objects;
        std::unique_ptr<sdbus::IObject> root;
    };

    // ---- any thread ----

    void post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            tasks_.push_back(std::move(task));
        }
        wake();
    }

    void wake() {
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(wakeFd_, &one, sizeof one);
    }

    void setState(ManagerState state, std::string reason) {
        {
            std::lock_guard lock(mutex_);
            if (state_ == state && reason_ == reason) return;
            state_ = state;
            reason_ = std::move(reason);
        }
        report([](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
            delegate.peripheralManagerDidUpdateState(manager);
        });
    }

    void report(std::function<void(PeripheralManagerDelegate&, PeripheralManager&)> call) {
        queue_->async([delegate = delegate_, self = weak_from_this(), call = std::move(call)] {
            auto target = delegate.lock();
            auto manager = self.lock();
            if (target && manager) call(*target, *manager);
        });
    }

    // ---- the connection's thread from here on ----

    void run() {
        connect();
        for (;;) {
            std::vector<std::function<void()>> tasks;
            {
                std::lock_guard lock(mutex_);
                if (stopping_) break;
                tasks.swap(tasks_);
            }
            for (auto& task : tasks) guarded(task);
            processIncoming();
            pollOnce();
        }
        disconnect();
    }

    // A call that fails (the peer left, the bus went away) must not end the thread that serves
    // every other request.
    void guarded(const std::function<void()>& step) {
        try {
            step();
        } catch (const sdbus::Error& error) {
            if (debugging()) std::fprintf(stderr, "Pavonix: BlueZ: %s\n", errorText(error).c_str());
        }
    }

    static bool debugging() {
        const char* debug = std::getenv("PAVONIX_DEBUG");
        return debug && std::string(debug) == "1";
    }

    void processIncoming() {
        if (!connection_) return;
        try {
            while (connection_->processPendingRequest()) {
            }
        } catch (const sdbus::Error&) {
            // The bus itself is gone: nothing registered survives it.
            disconnect();
            setState(ManagerState::unsupported, kNoBusText);
        }
    }

    void pollOnce() {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int timeout = -1;
        if (connection_) {
            const auto data = connection_->getEventLoopPollData();
            fds[1] = {data.fd, static_cast<short>(data.events), 0};
            timeout = data.getPollTimeout();
        }
        poll(fds, connection_ ? 2 : 1, timeout);
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = read(wakeFd_, &count, sizeof count);
    }

    void connect() {
        try {
            connection_ = busAddress_.empty() ? sdbus::createSystemBusConnection()
                                              : sdbus::createSessionBusConnectionWithAddress(busAddress_);
        } catch (const sdbus::Error&) {
            setState(ManagerState::unsupported, kNoBusText);
            return;
        }
        guarded([this] {
            rootProxy_ = sdbus::createProxy(*connection_, kBluezName, "/");
            matches_.push_back(connection_->addMatch(
                "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',"
                "member='NameOwnerChanged',arg0='org.bluez'",
                [this](sdbus::Message& message) { guarded([&] { nameOwnerChanged(message); }); }));
            matches_.push_back(connection_->addMatch(
                "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                "member='PropertiesChanged'",
                [this](sdbus::Message& message) { guarded([&] { propertiesChanged(message); }); }));
            matches_.push_back(connection_->addMatch(
                "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',path='/'",
                [this](sdbus::Message& message) { guarded([&] { interfacesChanged(message); }); }));
            discover();
        });
    }

    void disconnect() {
        pendingReads_.clear();
        pendingWrites_.clear();
        applications_.clear();
        advertisement_.reset();
        adapterProxy_.reset();
        matches_.clear();
        rootProxy_.reset();
        connection_.reset();
        adapterPath_.clear();
    }

    void discover() {
        if (!rootProxy_) return;
        rootProxy_->callMethodAsync("GetManagedObjects")
            .onInterface(kObjectManagerInterface)
            .uponReplyInvoke([this](const sdbus::Error* error, const ManagedObjects& objects) {
                if (error) {
                    loseAdapter(kNoDaemonText);
                    return;
                }
                if (!adapterPath_.empty()) return;
                for (const auto& [path, interfaces] : objects) {
                    auto adapter = interfaces.find(kAdapterInterface);
                    if (adapter == interfaces.end()) continue;
                    adoptAdapter(path, adapter->second);
                    return;
                }
                loseAdapter(kNoAdapterText);
            });
    }

    void adoptAdapter(const std::string& path, const Options& properties) {
        adapterPath_ = path;
        adapterProxy_ = sdbus::createProxy(*connection_, kBluezName, path);
        const bool powered = poweredProperty(properties).value_or(false);
        setState(powered ? ManagerState::poweredOn : ManagerState::poweredOff, {});
    }

    // bluetoothd forgets an adapter's registrations with the adapter, so ours go too.
    void loseAdapter(const char* reason) {
        pendingReads_.clear();
        pendingWrites_.clear();
        applications_.clear();
        advertisement_.reset();
        adapterProxy_.reset();
        adapterPath_.clear();
        setState(ManagerState::unsupported, reason);
    }

    void nameOwnerChanged(sdbus::Message& message) {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (name != kBluezName) return;
        if (newOwner.empty()) {
            loseAdapter(kNoDaemonText);
        } else {
            loseAdapter(kNoAdapterText);
            discover();
        }
    }

    void propertiesChanged(sdbus::Message& message) {
        if (adapterPath_.empty() || message.getPath() != adapterPath_) return;
        std::string interface;
        Options changed;
        message >> interface >> changed;
        if (interface != kAdapterInterface) return;
        if (auto powered = poweredProperty(changed)) {
            setState(*powered ? ManagerState::poweredOn : ManagerState::poweredOff, {});
        }
    }

    void interfacesChanged(sdbus::Message& message) {
        sdbus::ObjectPath path;
        message >> path;
        if (message.getMemberName() == "InterfacesAdded") {
            InterfaceProperties interfaces;
            message >> interfaces;
            auto adapter = interfaces.find(kAdapterInterface);
            if (adapterPath_.empty() && adapter != interfaces.end()) adoptAdapter(path, adapter->second);
        } else if (message.getMemberName() == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> interfaces;
            if (path != adapterPath_) return;
            for (const auto& interface : interfaces) {
                if (interface != kAdapterInterface) continue;
                loseAdapter(kNoAdapterText);
                discover();  // another adapter may be there
                return;
            }
        }
    }

    std::string unavailableText() const {
        std::lock_guard lock(mutex_);
        return reason_.empty() ? std::string(kNoAdapterText) : reason_;
    }

    void registerApplication(const peripheral::Service& service) {
        if (!adapterProxy_) {
            report([text = unavailableText()](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                delegate.peripheralManagerDidAddService(manager, text);
            });
            return;
        }
        Application application;
        application.path = std::string(kBasePath) + "/app" + std::to_string(++generation_);
        const sdbus::ObjectPath servicePath = application.path + "/service0";

        auto serviceObject = sdbus::createObject(*connection_, servicePath);
        serviceObject->registerProperty("UUID").onInterface(kServiceInterface).withGetter([uuid = service.uuid] {
            return uuid;
        });
        serviceObject->registerProperty("Primary").onInterface(kServiceInterface).withGetter(
            [primary = service.isPrimary] { return primary; });
        serviceObject->finishRegistration();
        application.objects.push_back(std::move(serviceObject));

        for (std::size_t index = 0; index < service.characteristics.size(); ++index) {
            application.objects.push_back(
                characteristicObject(servicePath + "/char" + std::to_string(index), servicePath,
                                     service.characteristics[index]));
        }
        application.root = sdbus::createObject(*connection_, application.path);
        application.root->addObjectManager();
        application.root->finishRegistration();

        const sdbus::ObjectPath path = application.path;
        applications_.push_back(std::move(application));
        // Asynchronous: bluetoothd reads our tree before it answers.
        adapterProxy_->callMethodAsync("RegisterApplication")
            .onInterface(kGattManagerInterface)
            .withArguments(path, Options{})
            .uponReplyInvoke([this, path](const sdbus::Error* error) {
                std::optional<std::string> text;
                if (error) {
                    text = errorText(*error);
                    std::erase_if(applications_, [&](const Application& each) { return each.path == path; });
                }
                report([text](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidAddService(manager, text);
                });
            });
    }

    std::unique_ptr<sdbus::IObject> characteristicObject(const sdbus::ObjectPath& path,
                                                         const sdbus::ObjectPath& servicePath,
                                                         const peripheral::Characteristic& characteristic) {
        auto object = sdbus::createObject(*connection_, path);
        object->registerProperty("UUID").onInterface(kCharacteristicInterface).withGetter(
            [uuid = characteristic.uuid] { return uuid; });
        object->registerProperty("Service").onInterface(kCharacteristicInterface).withGetter([servicePath] {
            return servicePath;
        });
        object->registerProperty("Flags").onInterface(kCharacteristicInterface).withGetter(
            [flags = flagWords(characteristic)] { return flags; });
        object->registerMethod("ReadValue")
            .onInterface(kCharacteristicInterface)
            .withInputParamNames("options")
            .withOutputParamNames("value")
            .implementedAs([this, uuid = characteristic.uuid, fixed = characteristic.value](
                               sdbus::Result<std::vector<std::uint8_t>>&& call, Options options) {
                const std::size_t offset = offsetOption(options);
                if (fixed) {
                    if (offset > fixed->size()) {
                        call.returnError(attError(ATTResult::invalidOffset));
                    } else {
                        call.returnResults(Bytes(fixed->begin() + static_cast<long>(offset), fixed->end()));
                    }
                    return;
                }
                if (pendingReads_.size() >= kMaxPendingRequests) {
                    call.returnError(attError(ATTResult::unlikelyError));
                    return;
                }
                const std::uint64_t id = nextRequestID_++;
                pendingReads_.emplace(id, std::move(call));
                peripheral::ReadRequest request{id, deviceOption(options), uuid, offset};
                report([request](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidReceiveRead(manager, request);
                });
            });
        object->registerMethod("WriteValue")
            .onInterface(kCharacteristicInterface)
            .withInputParamNames("value", "options")
            .implementedAs([this, uuid = characteristic.uuid](sdbus::Result<>&& call, std::vector<std::uint8_t> value,
                                                              Options options) {
                if (pendingWrites_.size() >= kMaxPendingRequests) {
                    call.returnError(attError(ATTResult::unlikelyError));
                    return;
                }
                const std::uint64_t id = nextRequestID_++;
                pendingWrites_.emplace(id, std::move(call));
                std::vector<peripheral::WriteRequest> batch{
                    {id, deviceOption(options), uuid, offsetOption(options), std::move(value)}};
                report([batch = std::move(batch)](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidReceiveWrites(manager, batch);
                });
            });
        object->finishRegistration();
        return object;
    }

    void unregisterApplications() {
        for (const Application& application : applications_) {
            if (!adapterProxy_) break;
            adapterProxy_->callMethodAsync("UnregisterApplication")
                .onInterface(kGattManagerInterface)
                .withArguments(application.path)
                .uponReplyInvoke([](const sdbus::Error*) {});
        }
        applications_.clear();
        pendingReads_.clear();
        pendingWrites_.clear();
    }

    void registerAdvertisement(const peripheral::Advertisement& advertisement) {
        unregisterAdvertisement();
        if (!adapterProxy_) {
            report([text = unavailableText()](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                delegate.peripheralManagerDidStartAdvertising(manager, text);
            });
            return;
        }
        const sdbus::ObjectPath path = std::string(kBasePath) + "/advertisement" + std::to_string(++generation_);
        auto object = sdbus::createObject(*connection_, path);
        object->registerProperty("Type").onInterface(kAdvertisementInterface).withGetter([] {
            return std::string("peripheral");
        });
        object->registerProperty("LocalName").onInterface(kAdvertisementInterface).withGetter(
            [name = advertisement.localName] { return name; });
        object->registerProperty("ServiceUUIDs").onInterface(kAdvertisementInterface).withGetter(
            [uuids = advertisement.serviceUUIDs] { return uuids; });
        object->registerProperty("Discoverable").onInterface(kAdvertisementInterface).withGetter([] { return true; });
        // bluetoothd dropped the advertisement by itself; a later startAdvertising registers anew.
        object->registerMethod("Release").onInterface(kAdvertisementInterface).implementedAs([this, path] {
            if (advertisement_ && advertisement_->getObjectPath() == path) advertisement_.reset();
        });
        object->finishRegistration();
        advertisement_ = std::move(object);
        adapterProxy_->callMethodAsync("RegisterAdvertisement")
            .onInterface(kAdvertisingManagerInterface)
            .withArguments(path, Options{})
            .uponReplyInvoke([this, path](const sdbus::Error* error) {
                std::optional<std::string> text;
                if (error) {
                    text = errorText(*error);
                    if (advertisement_ && advertisement_->getObjectPath() == path) advertisement_.reset();
                }
                report([text](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidStartAdvertising(manager, text);
                });
            });
    }

    void unregisterAdvertisement() {
        if (!advertisement_) return;
        if (adapterProxy_) {
            adapterProxy_->callMethodAsync("UnregisterAdvertisement")
                .onInterface(kAdvertisingManagerInterface)
                .withArguments(sdbus::ObjectPath(advertisement_->getObjectPath()))
                .uponReplyInvoke([](const sdbus::Error*) {});
        }
        advertisement_.reset();
    }

    const std::weak_ptr<PeripheralManagerDelegate> delegate_;
    const dispatch::QueuePtr queue_;
    const std::string busAddress_;
    int wakeFd_ = -1;
    std::thread thread_;

    mutable std::mutex mutex_;
    ManagerState state_ = ManagerState::unknown;
    std::string reason_;
    bool stopping_ = false;
    std::vector<std::function<void()>> tasks_;

    // Only the connection's thread touches these.
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> rootProxy_;
    std::unique_ptr<sdbus::IProxy> adapterProxy_;
    std::vector<sdbus::Slot> matches_;
    std::string adapterPath_;
    std::vector<Application> applications_;
    std::unique_ptr<sdbus::IObject> advertisement_;
    std::map<std::uint64_t, sdbus::Result<std::vector<std::uint8_t>>> pendingReads_;
    std::map<std::uint64_t, sdbus::Result<>> pendingWrites_;
    std::uint64_t nextRequestID_ = 1;
    std::uint64_t generation_ = 0;
};

}  // namespace

peripheral::PeripheralManagerFactory bluezPeripheralFactory(std::string busAddress) {
    return [busAddress = std::move(busAddress)](std::weak_ptr<PeripheralManagerDelegate> delegate,
                                                dispatch::QueuePtr queue) -> peripheral::PeripheralManagerPtr {
        auto manager = std::make_shared<BluezPeripheralManager>(std::move(delegate), std::move(queue), busAddress);
        manager->start();
        return manager;
    };
}

}  // namespace pavonix::bluez
