// Everything the application model talks to, behind narrow seams, so that tests can run the model
// with fakes on a test main queue and the program with the real system.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/bluetooth/bluetooth_bridge_server.h"
#include "app/bluetooth/bluetooth_pairing_store.h"
#include "app/control/presentation_controller.h"
#include "app/control/presentation_window_target.h"
#include "app/core/bridge_server_status.h"
#include "app/core/keychain.h"
#include "app/core/pairing_records.h"
#include "app/core/presentation_command.h"
#include "app/core/presentation_provider.h"
#include "app/core/presentation_window_results.h"
#include "app/core/slide_list_result.h"
#include "app/http/http_bridge_server.h"
#include "app/http/http_request_authenticator.h"
#include "app/http/http_routes.h"
#include "app/network/network_listen.h"
#include "platform/dispatch/dispatch.h"
#include "settings_store/settings_store.h"

namespace pavonix {

// A network bridge server as the model holds it. Its status reports carry its id(), so that the
// model can ignore a server it has already replaced.
class BridgeServerHandle {
public:
    virtual ~BridgeServerHandle() = default;
    virtual std::uint64_t id() const = 0;
    // Throws std::exception whose what() is the text of the failed status.
    virtual void start() = 0;
    virtual void stop() = 0;
};
using BridgeServerPtr = std::shared_ptr<BridgeServerHandle>;

// serverID, then the reported status. Runs on the main thread.
using BridgeStatusHandler = std::function<void(std::uint64_t serverID, BridgeServerStatus status)>;

// What the model hands the HTTP server factory on every (re)start.
struct HTTPServerParts {
    http::HTTPBridgeServerConfiguration configuration;
    http::HTTPBridgeHandlers handlers;
    BridgeStatusHandler statusHandler;
    std::shared_ptr<http::HTTPRequestAuthenticator> authenticator;
    dispatch::QueuePtr queue;
};

struct OSCServerParts {
    std::uint16_t port = 0;
    network::ServerListenBinding binding;
    std::function<CommandResult(const PresentationCommand&)> command;
    BridgeStatusHandler statusHandler;
};

using BluetoothPairingSetup = bluetooth::BluetoothPairingSetup;
using BluetoothPairingPayload = bluetooth::BluetoothPairingPayload;
// The model's side of the Bluetooth server; each handler runs on the main thread.
using BluetoothBridgeHandlers = bluetooth::BluetoothBridgeHandlers;

struct BluetoothServerParts {
    bool allowsPairing = false;
    BluetoothBridgeHandlers handlers;
    BridgeStatusHandler statusHandler;
    dispatch::QueuePtr queue;
};

// A request to another instance: the command's route and JSON body.
struct RemoteRequest {
    std::string method;
    std::string path;
    Bytes body;

    friend bool operator==(const RemoteRequest&, const RemoteRequest&) = default;
};

// The decoded JSON answer of a 2xx reply, or the description of whatever failed (missing secret,
// transport, status code, unreadable body).
using RemoteReply = std::variant<Json, std::string>;

// What the model needs of the remote-instance client.
class RemoteClient {
public:
    virtual ~RemoteClient() = default;
    // The request for a command; throws std::exception (its what() is shown) when it cannot.
    virtual RemoteRequest request(const PresentationCommand& command) = 0;
    // Signs and sends; `completion` runs exactly once, on any thread.
    virtual void sendSigned(const std::string& path, const std::string& method, const Bytes& body,
                            const RemoteLanternpostTarget& target, std::function<void(RemoteReply)> completion) = 0;
};

struct LanternpostModelDependencies {
    // Must outlive the model. Every part above the server factories is required: the model stops
    // the program when one is missing, so that a test never reaches the user's files by omission.
    SettingsStore* settings = nullptr;

    std::shared_ptr<PresentationController> keynote;
    std::shared_ptr<PresentationController> powerPoint;
    std::shared_ptr<PresentationController> googleSlides;

    // Every candidate presentation window, sorted (the window picker's list).
    std::function<std::vector<PresentationWindowTarget>()> availableWindows;
    // The active IPv4 interfaces, ranked.
    std::function<std::vector<network::NetworkInterfaceAddress>()> scanInterfaces;

    std::function<Date()> now;
    std::chrono::milliseconds pollInterval{2000};

    // Tells a missing secret from one that cannot be read now. Called off the main thread.
    std::function<KeychainItemRead(std::string_view service, std::string_view account)> readKeychainItem;
    std::function<KeychainStatus(const KeychainQuery&)> deleteKeychainItem;

    // Optional from here on: a missing part means that this program has no such feature.
    // Why the keychain's secrets cannot be read, if it knows; asked on a queue of the model's own
    // (it may wait for a Secret Service up to its time-out), at each poll and after the model has
    // read or failed to write secrets. Null: nothing is known to be wrong.
    std::function<std::optional<std::string>()> keychainProblem;
    // HTTP pairing store: a new pairing (throws the store's error).
    std::function<HTTPPairingSetup(const std::string& name, Date now)> createHTTPPairing;
    // A remote target from a pasted setup URL (throws the target error).
    std::function<RemoteLanternpostTarget(const std::string& setupURL, const std::string& name, Date createdAt)>
        makeRemoteTarget;
    std::shared_ptr<RemoteClient> remoteClient;
    // Bluetooth pairing store: a new pairing (throws an error whose what() is shown).
    std::function<BluetoothPairingSetup(const std::string& name, Date now)> createBluetoothPairing;

    // Server factories. A null factory, or one that returns null, means that this program has no
    // such server: the restart then ends with the status "Stopped".
    std::function<BridgeServerPtr(HTTPServerParts)> makeHTTPServer;
    std::function<BridgeServerPtr(OSCServerParts)> makeOSCServer;
    std::function<BridgeServerPtr(BluetoothServerParts)> makeBluetoothServer;

    // The real system over `settings`: the X window system, the interface scan, the process
    // keychain, the pairing stores, the remote client, the HTTP and OSC servers (the Bluetooth
    // server is the program's to choose). For app/main.cpp.
    static LanternpostModelDependencies system(SettingsStore& settings);
    // The real network side alone: the process keychain, the HTTP pairing store, remote targets,
    // the remote client and the HTTP server. Part of system(); tests over loopback use it too.
    static void useSystemNetwork(LanternpostModelDependencies& deps);
};

// The HTTP server behind the model's server seam.
class HTTPServerAdapter final : public BridgeServerHandle {
public:
    explicit HTTPServerAdapter(std::shared_ptr<http::HTTPBridgeServer> server) : server_(std::move(server)) {}
    std::uint64_t id() const override { return server_->id(); }
    void start() override { server_->start(); }
    void stop() override { server_->stop(); }
    const std::shared_ptr<http::HTTPBridgeServer>& server() const { return server_; }

private:
    std::shared_ptr<http::HTTPBridgeServer> server_;
};

BridgeServerPtr makeRealHTTPServer(HTTPServerParts parts);
BridgeServerPtr makeRealOSCServer(OSCServerParts parts);

// The Bluetooth server behind the model's server seam.
class BluetoothServerAdapter final : public BridgeServerHandle {
public:
    explicit BluetoothServerAdapter(std::shared_ptr<bluetooth::BluetoothBridgeServer> server)
        : server_(std::move(server)) {}
    std::uint64_t id() const override { return server_->id(); }
    void start() override { server_->start(); }
    void stop() override { server_->stop(); }

private:
    std::shared_ptr<bluetooth::BluetoothBridgeServer> server_;
};

// A Bluetooth server on the peripherals that `managers` makes. Which peripheral the program uses
// is decided where the program is put together.
BridgeServerPtr makeRealBluetoothServer(BluetoothServerParts parts, peripheral::PeripheralManagerFactory managers);

}  // namespace pavonix
