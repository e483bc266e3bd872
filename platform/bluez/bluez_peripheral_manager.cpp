#include "platform/bluez/bluez_peripheral_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/bluez/reconnect_backoff.h"

namespace pavonix::bluez {

namespace {

using peripheral::ATTResult;
using peripheral::Bytes;
using peripheral::ManagerState;
using peripheral::PeripheralManager;
using peripheral::PeripheralManagerDelegate;
using Clock = std::chrono::steady_clock;
using Options = std::map<std::string, sdbus::Variant>;
using InterfaceProperties = std::map<std::string, Options>;
using ManagedObjects = std::map<sdbus::ObjectPath, InterfaceProperties>;

constexpr const char* kBluezName = "org.bluez";
constexpr const char* kAdapterInterface = "org.bluez.Adapter1";
constexpr const char* kGattManagerInterface = "org.bluez.GattManager1";
constexpr const char* kAdvertisingManagerInterface = "org.bluez.LEAdvertisingManager1";
constexpr const char* kDeviceInterface = "org.bluez.Device1";
constexpr const char* kServiceInterface = "org.bluez.GattService1";
constexpr const char* kCharacteristicInterface = "org.bluez.GattCharacteristic1";
constexpr const char* kAdvertisementInterface = "org.bluez.LEAdvertisement1";
constexpr const char* kObjectManagerInterface = "org.freedesktop.DBus.ObjectManager";
constexpr const char* kBasePath = "/org/pavonix/peripheral";

constexpr const char* kNoBusText = "Bluetooth is not available: the system message bus could not be reached.";
constexpr const char* kNoDaemonText = "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running.";
constexpr const char* kAccessDeniedText =
    "Bluetooth is not available: the system message bus does not allow this user to reach the Bluetooth service "
    "(bluetoothd).";
constexpr const char* kNoAdapterText = "No Bluetooth adapter was found.";
constexpr const char* kAdapterNotReadyText = "The Bluetooth adapter is not ready for LE peripheral mode.";
constexpr const char* kReadvertisingFailedText = "Bluetooth stopped advertising and could not start again: ";

// bluetoothd gives a central 5 seconds per request; a delegate that stops answering must not make
// unanswered calls pile up.
constexpr std::size_t kMaxPendingRequests = 64;
// Centrals that made requests, so that each hears of its disconnection when the adapter, bluetoothd
// or the bus goes away without saying so per device. Beyond this many, a central's cached answers
// are left to age out.
constexpr std::size_t kMaxKnownCentrals = 256;

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

// A uint16 option ("offset", "mtu"); 0 when it is missing or of another type.
std::size_t uint16Option(const Options& options, const char* name) {
    auto found = options.find(name);
    if (found == options.end() || !found->second.containsValueOfType<std::uint16_t>()) return 0;
    return found->second.get<std::uint16_t>();
}

std::string deviceOption(const Options& options) {
    auto found = options.find("device");
    if (found == options.end() || !found->second.containsValueOfType<sdbus::ObjectPath>()) return {};
    return found->second.get<sdbus::ObjectPath>();
}

std::optional<bool> boolProperty(const Options& properties, const char* name) {
    auto found = properties.find(name);
    if (found == properties.end() || !found->second.containsValueOfType<bool>()) return std::nullopt;
    return found->second.get<bool>();
}

std::string errorText(const sdbus::Error& error) {
    return error.getMessage().empty() ? error.getName() : error.getMessage();
}

// Why asking bluetoothd for its adapters failed, in words that point the user at the right fix.
std::string discoveryFailureText(const sdbus::Error& error) {
    const std::string& name = error.getName();
    if (name == "org.freedesktop.DBus.Error.AccessDenied") return kAccessDeniedText;
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name.starts_with("org.freedesktop.DBus.Error.Spawn") || name.starts_with("org.freedesktop.systemd1.")) {
        return kNoDaemonText;
    }
    return "Bluetooth is not available: the Bluetooth service (bluetoothd) could not be asked for its adapters (" +
           errorText(error) + ").";
}

// What the manager knows of one object that carries adapter interfaces.
struct AdapterObject {
    bool adapter = false;
    bool gattManager = false;
    bool advertisingManager = false;
    bool powered = false;

    bool usable() const { return adapter && gattManager && advertisingManager; }
};

class BluezPeripheralManager final : public PeripheralManager,
                                     public std::enable_shared_from_this<BluezPeripheralManager> {
public:
    BluezPeripheralManager(std::weak_ptr<PeripheralManagerDelegate> delegate, dispatch::QueuePtr queue,
                           std::string busAddress, BluezTimings timings)
        : delegate_(std::move(delegate)),
          queue_(std::move(queue)),
          busAddress_(std::move(busAddress)),
          timings_(timings),
          backoff_(timings.firstReconnectDelay, timings.longestReconnectDelay),
          readvertiseBackoff_(timings.firstReconnectDelay, timings.longestReconnectDelay) {
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
        post([this, advertisement] {
            wantedAdvertisement_ = advertisement;
            registerAdvertisement(advertisement, false);
        });
    }
    void stopAdvertising() override {
        post([this] {
            wantedAdvertisement_.reset();
            readvertiseAt_.reset();
            unregisterAdvertisement();
        });
    }

    // An answer after the deadline finds its call gone and is dropped.
    void respond(const peripheral::ReadRequest& request, ATTResult result, const Bytes& value) override {
        post([this, id = request.id, result, value] {
            auto found = pendingReads_.find(id);
            if (found == pendingReads_.end()) return;
            auto call = std::move(found->second.call);
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
            auto call = std::move(found->second.call);
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

    // A request waiting for the delegate. Every request waits the same time, so the lowest id has the
    // nearest deadline.
    template <class Call>
    struct Pending {
        Call call;
        Clock::time_point deadline;
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

    // `always`: report even an unchanged state, for a delegate that must publish again.
    void setState(ManagerState state, std::string reason, bool always = false) {
        {
            std::lock_guard lock(mutex_);
            if (!always && state_ == state && reason_ == reason) return;
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
            guarded([this] { answerOverdue(); });
            if (reconnectAt_ && Clock::now() >= *reconnectAt_) connect();
            if (readvertiseAt_ && Clock::now() >= *readvertiseAt_) guarded([this] { readvertise(); });
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
            loseBus();
        }
    }

    // Sleeps until the bus, a task, a request's deadline or the next connection attempt needs the thread.
    void pollOnce() {
        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
        int timeout = -1;
        if (connection_) {
            try {
                const auto data = connection_->getEventLoopPollData();
                fds[1] = {data.fd, static_cast<short>(data.events), 0};
                timeout = data.getPollTimeout();
            } catch (const sdbus::Error&) {
                loseBus();
            }
        }
        if (const auto until = nextTimer()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count();
            const int wait = static_cast<int>(std::clamp<std::int64_t>(left, 0, 60'000));
            timeout = timeout < 0 ? wait : std::min(timeout, wait);
        }
        poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t got = read(wakeFd_, &count, sizeof count);
    }

    std::optional<Clock::time_point> nextTimer() const {
        std::optional<Clock::time_point> next = reconnectAt_;
        const auto consider = [&next](Clock::time_point when) { next = next ? std::min(*next, when) : when; };
        if (readvertiseAt_) consider(*readvertiseAt_);
        if (!pendingReads_.empty()) consider(pendingReads_.begin()->second.deadline);
        if (!pendingWrites_.empty()) consider(pendingWrites_.begin()->second.deadline);
        return next;
    }

    // bluetoothd would answer the central with an error of its own a second later; answering first
    // leaves the central a clear Unlikely Error and frees the place for the next request.
    void answerOverdue() {
        const auto now = Clock::now();
        expire(pendingReads_, now);
        expire(pendingWrites_, now);
    }

    template <class Map>
    static void expire(Map& pending, Clock::time_point now) {
        while (!pending.empty() && pending.begin()->second.deadline <= now) {
            auto call = std::move(pending.begin()->second.call);
            pending.erase(pending.begin());
            call.returnError(attError(ATTResult::unlikelyError));
        }
    }

    void connect() {
        reconnectAt_.reset();
        try {
            connection_ = busAddress_.empty() ? sdbus::createSystemBusConnection()
                                              : sdbus::createSessionBusConnectionWithAddress(busAddress_);
        } catch (const sdbus::Error&) {
            setState(ManagerState::unsupported, kNoBusText);
            reconnectLater();
            return;
        }
        try {
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
        } catch (const sdbus::Error&) {
            // The bus went away while we set up: start over as for any other loss.
            loseBus();
            return;
        }
        backoff_.reset();
    }

    void reconnectLater() { reconnectAt_ = Clock::now() + backoff_.next(); }

    // Nothing registered survives the bus; what is lost is published again once it is back.
    void loseBus() {
        disconnect();
        setState(ManagerState::unsupported, kNoBusText);
        reconnectLater();
    }

    void disconnect() {
        releaseAdapter();
        adapters_.clear();
        ++discovery_;
        matches_.clear();
        rootProxy_.reset();
        connection_.reset();
    }

    void discover() {
        if (!rootProxy_) return;
        const std::uint64_t discovery = ++discovery_;
        rootProxy_->callMethodAsync("GetManagedObjects")
            .onInterface(kObjectManagerInterface)
            .uponReplyInvoke([this, discovery](const sdbus::Error* error, const ManagedObjects& objects) {
                // An answer from a bluetoothd that has left meanwhile says nothing about the present one.
                if (discovery != discovery_) return;
                if (error) {
                    releaseAdapter();
                    adapters_.clear();
                    setState(ManagerState::unsupported, discoveryFailureText(*error));
                    return;
                }
                if (!adapterPath_.empty()) return;
                adapters_.clear();
                for (const auto& [path, interfaces] : objects) noteInterfaces(path, interfaces);
                chooseAdapter();
            });
    }

    // True when `interfaces` held any of an adapter's.
    bool noteInterfaces(const std::string& path, const InterfaceProperties& interfaces) {
        const bool adapter = interfaces.contains(kAdapterInterface);
        const bool gatt = interfaces.contains(kGattManagerInterface);
        const bool advertising = interfaces.contains(kAdvertisingManagerInterface);
        if (!adapter && !gatt && !advertising) return false;
        AdapterObject& object = adapters_[path];
        object.adapter |= adapter;
        object.gattManager |= gatt;
        object.advertisingManager |= advertising;
        if (adapter) object.powered = boolProperty(interfaces.at(kAdapterInterface), "Powered").value_or(false);
        return true;
    }

    // True when an adapter's interface went.
    bool forgetInterfaces(const std::string& path, const std::vector<std::string>& interfaces) {
        auto found = adapters_.find(path);
        if (found == adapters_.end()) return false;
        bool changed = false;
        for (const std::string& interface : interfaces) {
            for (auto [name, flag] : {std::pair{kAdapterInterface, &found->second.adapter},
                                      std::pair{kGattManagerInterface, &found->second.gattManager},
                                      std::pair{kAdvertisingManagerInterface, &found->second.advertisingManager}}) {
                if (interface != name) continue;
                changed |= *flag;
                *flag = false;
            }
        }
        const AdapterObject& object = found->second;
        if (!object.adapter && !object.gattManager && !object.advertisingManager) adapters_.erase(found);
        return changed;
    }

    // Registering fails with UnknownMethod until both managers are on the adapter object (they come
    // after Adapter1 at boot and on hotplug), so an adapter is used only once it has both.
    void chooseAdapter() {
        if (!adapterPath_.empty()) return;
        const char* reason = kNoAdapterText;
        for (const auto& [path, object] : adapters_) {
            if (object.usable()) {
                adoptAdapter(path, object.powered);
                return;
            }
            if (object.adapter) reason = kAdapterNotReadyText;
        }
        setState(ManagerState::unsupported, reason);
    }

    void adoptAdapter(const std::string& path, bool powered) {
        adapterPath_ = path;
        adapterProxy_ = sdbus::createProxy(*connection_, kBluezName, path);
        setState(powered ? ManagerState::poweredOn : ManagerState::poweredOff, {}, true);
    }

    // bluetoothd forgets an adapter's registrations with the adapter, so ours go too, and so do the
    // links of the centrals that used it.
    void releaseAdapter() {
        for (const std::string& central : centrals_) reportDisconnected(central);
        centrals_.clear();
        failPending();
        applications_.clear();
        advertisement_.reset();
        wantedAdvertisement_.reset();
        readvertiseAt_.reset();
        adapterProxy_.reset();
        adapterPath_.clear();
    }

    void nameOwnerChanged(sdbus::Message& message) {
        std::string name, oldOwner, newOwner;
        message >> name >> oldOwner >> newOwner;
        if (name != kBluezName) return;
        releaseAdapter();
        adapters_.clear();
        if (newOwner.empty()) {
            ++discovery_;
            setState(ManagerState::unsupported, kNoDaemonText);
        } else {
            discover();
        }
    }

    void propertiesChanged(sdbus::Message& message) {
        std::string interface;
        Options changed;
        message >> interface >> changed;
        const std::string path = message.getPath();
        if (interface == kDeviceInterface) {
            if (boolProperty(changed, "Connected") == false) centralDisconnected(path);
            return;
        }
        if (interface != kAdapterInterface) return;
        auto found = adapters_.find(path);
        const auto powered = boolProperty(changed, "Powered");
        if (found == adapters_.end() || !powered) return;
        found->second.powered = *powered;
        if (path == adapterPath_) setState(*powered ? ManagerState::poweredOn : ManagerState::poweredOff, {});
    }

    void interfacesChanged(sdbus::Message& message) {
        sdbus::ObjectPath path;
        message >> path;
        if (message.getMemberName() == "InterfacesAdded") {
            InterfaceProperties interfaces;
            message >> interfaces;
            if (noteInterfaces(path, interfaces)) chooseAdapter();
        } else if (message.getMemberName() == "InterfacesRemoved") {
            std::vector<std::string> interfaces;
            message >> interfaces;
            if (std::ranges::find(interfaces, kDeviceInterface) != interfaces.end()) centralDisconnected(path);
            if (!forgetInterfaces(path, interfaces) || path != adapterPath_) return;
            releaseAdapter();
            chooseAdapter();  // another adapter may be there
        }
    }

    void noteCentral(const std::string& central) {
        if (!central.empty() && centrals_.size() < kMaxKnownCentrals) centrals_.insert(central);
    }

    void centralDisconnected(const std::string& central) {
        centrals_.erase(central);
        reportDisconnected(central);
    }

    void reportDisconnected(const std::string& central) {
        report([central](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
            delegate.peripheralManagerCentralDidDisconnect(manager, central);
        });
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
                auto found = std::ranges::find(applications_, path, &Application::path);
                if (found == applications_.end()) {
                    // Withdrawn while bluetoothd was reading it: nobody waits for the outcome, and
                    // bluetoothd must not keep a registration whose objects are gone.
                    if (!error) unregisterApplication(path);
                    return;
                }
                std::optional<std::string> text;
                if (error) {
                    text = errorText(*error);
                    applications_.erase(found);
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
                const std::size_t offset = uint16Option(options, "offset");
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
                pendingReads_.emplace(id, Pending<sdbus::Result<Bytes>>{std::move(call), deadline()});
                peripheral::ReadRequest request{id, deviceOption(options), uuid, offset, uint16Option(options, "mtu")};
                noteCentral(request.central);
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
                pendingWrites_.emplace(id, Pending<sdbus::Result<>>{std::move(call), deadline()});
                std::vector<peripheral::WriteRequest> batch{
                    {id, deviceOption(options), uuid, uint16Option(options, "offset"), std::move(value)}};
                noteCentral(batch.front().central);
                report([batch = std::move(batch)](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidReceiveWrites(manager, batch);
                });
            });
        object->finishRegistration();
        return object;
    }

    Clock::time_point deadline() const { return Clock::now() + timings_.answerDeadline; }

    // Withdraws a registration; bluetoothd's answer changes nothing here (it may have dropped it already).
    void unregister(const char* interface, const char* method, const sdbus::ObjectPath& path) {
        if (!adapterProxy_) return;
        adapterProxy_->callMethodAsync(method).onInterface(interface).withArguments(path).uponReplyInvoke(
            [](const sdbus::Error*) {});
    }
    void unregisterApplication(const sdbus::ObjectPath& path) {
        unregister(kGattManagerInterface, "UnregisterApplication", path);
    }
    void unregisterAdvertisement(const sdbus::ObjectPath& path) {
        unregister(kAdvertisingManagerInterface, "UnregisterAdvertisement", path);
    }

    void unregisterApplications() {
        for (const Application& application : applications_) unregisterApplication(application.path);
        applications_.clear();
        failPending();
    }

    // The objects a central's request came through are going: it gets its error now rather than
    // bluetoothd's after 5 seconds, and the delegate's answer, should it come, is dropped.
    void failPending() {
        const auto fail = [](auto& pending) {
            for (auto& [id, request] : pending) {
                // On a lost bus the answer cannot be sent; the others are still tried.
                try {
                    request.call.returnError(attError(ATTResult::unlikelyError));
                } catch (const sdbus::Error&) {
                }
            }
            pending.clear();
        };
        fail(pendingReads_);
        fail(pendingWrites_);
    }

    // `again`: bluetoothd released the advertisement it had, and this registers it anew.
    void registerAdvertisement(const peripheral::Advertisement& advertisement, bool again) {
        unregisterAdvertisement();
        readvertiseAt_.reset();
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
        // bluetoothd dropped the advertisement by itself. The object goes after this call returns,
        // never inside it.
        object->registerMethod("Release").onInterface(kAdvertisementInterface).implementedAs([this, path] {
            post([this, path] { advertisementReleased(path); });
        });
        object->finishRegistration();
        advertisement_ = std::move(object);
        advertisedAt_ = Clock::now();
        adapterProxy_->callMethodAsync("RegisterAdvertisement")
            .onInterface(kAdvertisingManagerInterface)
            .withArguments(path, Options{})
            .uponReplyInvoke([this, path, again](const sdbus::Error* error) {
                if (!isCurrentAdvertisement(path)) {
                    // Stopped or replaced meanwhile: only bluetoothd's side is left to undo.
                    if (!error) unregisterAdvertisement(path);
                    return;
                }
                std::optional<std::string> text;
                if (error) {
                    text = again ? kReadvertisingFailedText + errorText(*error) : errorText(*error);
                    advertisement_.reset();
                }
                report([text](PeripheralManagerDelegate& delegate, PeripheralManager& manager) {
                    delegate.peripheralManagerDidStartAdvertising(manager, text);
                });
            });
    }

    bool isCurrentAdvertisement(const sdbus::ObjectPath& path) const {
        return advertisement_ && advertisement_->getObjectPath() == path;
    }

    // A bluetoothd that releases every advertisement at once must not draw a loop of registrations
    // (and of reports to the delegate): each comes a delay after the release, doubling while the
    // advertisements keep going soon; one that stayed up a while starts the delays over.
    void advertisementReleased(const sdbus::ObjectPath& path) {
        if (!isCurrentAdvertisement(path)) return;
        advertisement_.reset();
        if (!wantedAdvertisement_ || !adapterProxy_) return;
        const auto now = Clock::now();
        if (now - advertisedAt_ >= timings_.longestReconnectDelay) readvertiseBackoff_.reset();
        readvertiseAt_ = now + readvertiseBackoff_.next();
    }

    void readvertise() {
        readvertiseAt_.reset();
        if (wantedAdvertisement_ && adapterProxy_ && !advertisement_) registerAdvertisement(*wantedAdvertisement_, true);
    }

    void unregisterAdvertisement() {
        if (!advertisement_) return;
        unregisterAdvertisement(sdbus::ObjectPath(advertisement_->getObjectPath()));
        advertisement_.reset();
    }

    const std::weak_ptr<PeripheralManagerDelegate> delegate_;
    const dispatch::QueuePtr queue_;
    const std::string busAddress_;
    const BluezTimings timings_;
    int wakeFd_ = -1;
    std::thread thread_;

    mutable std::mutex mutex_;
    ManagerState state_ = ManagerState::unknown;
    std::string reason_;
    bool stopping_ = false;
    std::vector<std::function<void()>> tasks_;

    // Only the connection's thread touches these.
    std::unique_ptr<sdbus::IConnection> connection_;
    ReconnectBackoff backoff_;
    std::optional<Clock::time_point> reconnectAt_;
    std::unique_ptr<sdbus::IProxy> rootProxy_;
    std::vector<sdbus::Slot> matches_;
    std::uint64_t discovery_ = 0;  // the discovery whose answer counts
    std::map<std::string, AdapterObject> adapters_;
    std::unique_ptr<sdbus::IProxy> adapterProxy_;
    std::string adapterPath_;
    std::vector<Application> applications_;
    std::unique_ptr<sdbus::IObject> advertisement_;
    std::optional<peripheral::Advertisement> wantedAdvertisement_;
    ReconnectBackoff readvertiseBackoff_;
    std::optional<Clock::time_point> readvertiseAt_;
    Clock::time_point advertisedAt_;
    std::map<std::uint64_t, Pending<sdbus::Result<Bytes>>> pendingReads_;
    std::map<std::uint64_t, Pending<sdbus::Result<>>> pendingWrites_;
    std::set<std::string> centrals_;
    std::uint64_t nextRequestID_ = 1;
    std::uint64_t generation_ = 0;
};

}  // namespace

peripheral::PeripheralManagerFactory bluezPeripheralFactory(std::string busAddress, BluezTimings timings) {
    return [busAddress = std::move(busAddress), timings](std::weak_ptr<PeripheralManagerDelegate> delegate,
                                                         dispatch::QueuePtr queue) -> peripheral::PeripheralManagerPtr {
        auto manager =
            std::make_shared<BluezPeripheralManager>(std::move(delegate), std::move(queue), busAddress, timings);
        manager->start();
        return manager;
    };
}

}  // namespace pavonix::bluez
