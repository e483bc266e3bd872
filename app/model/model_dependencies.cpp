#include "app/model/model_dependencies.h"

#include "app/control/google_slides_controller.h"
#include "app/control/keynote_controller.h"
#include "app/control/power_point_controller.h"
#include "app/remote/http_pairing_store.h"
#include "app/network/network_listen_scan.h"
#include "app/osc/osc_bridge_server.h"
#include "app/remote/remote_lanternpost_client.h"
#include "app/remote/remote_lanternpost_target.h"
#include "app/settings/settings_keys.h"
#include "platform/x11/xcb_window_system.h"

namespace pavonix {

namespace {

// The remote-instance client behind the model's seam: answers arrive as JSON or as the failure's text.
class HTTPRemoteClient final : public RemoteClient {
public:
    RemoteRequest request(const PresentationCommand& command) override {
        auto request = remote::RemoteLanternpostClient::request(command);
        return {std::move(request.method), std::move(request.path), std::move(request.body)};
    }
    void sendSigned(const std::string& path, const std::string& method, const Bytes& body,
                    const RemoteLanternpostTarget& target, std::function<void(RemoteReply)> completion) override {
        client_.sendSigned<Json>(path, method, body, target,
                                 [completion = std::move(completion)](remote::RemoteLanternpostResult<Json> result) {
                                     if (result.hasValue()) {
                                         completion(std::move(result.value()));
                                     } else {
                                         completion(result.failure().description());
                                     }
                                 });
    }

private:
    remote::RemoteLanternpostClient client_;
};

// The OSC bridge behind the model's server seam.
class OSCServerAdapter final : public BridgeServerHandle {
public:
    explicit OSCServerAdapter(std::shared_ptr<oscbridge::OSCBridgeServer> bridge) : bridge_(std::move(bridge)) {}
    std::uint64_t id() const override { return bridge_->id(); }
    void start() override { bridge_->start(); }
    void stop() override { bridge_->stop(); }

private:
    std::shared_ptr<oscbridge::OSCBridgeServer> bridge_;
};

}  // namespace

BridgeServerPtr makeRealOSCServer(OSCServerParts parts) {
    return std::make_shared<OSCServerAdapter>(oscbridge::OSCBridgeServer::make(
        parts.port, std::move(parts.binding), std::move(parts.command), std::move(parts.statusHandler)));
}

BridgeServerPtr makeRealHTTPServer(HTTPServerParts parts) {
    auto server = http::HTTPBridgeServer::make(std::move(parts.configuration), std::move(parts.handlers),
                                               std::move(parts.statusHandler), std::move(parts.authenticator),
                                               std::move(parts.queue));
    return std::make_shared<HTTPServerAdapter>(std::move(server));
}

BridgeServerPtr makeRealBluetoothServer(BluetoothServerParts parts, peripheral::PeripheralManagerFactory managers) {
    auto server = bluetooth::BluetoothBridgeServer::make(parts.allowsPairing, std::move(parts.handlers),
                                                         std::move(parts.statusHandler), std::move(parts.queue),
                                                         std::move(managers));
    return std::make_shared<BluetoothServerAdapter>(std::move(server));
}

void LanternpostModelDependencies::useSystemNetwork(LanternpostModelDependencies& deps) {
    deps.readKeychainItem = keychainReadItemMigratingLegacy;
    deps.deleteKeychainItem = keychainDeleteData;
    deps.keychainProblem = [] {
        // A damaged legacy store hides the secrets still waiting to move over, so it counts too.
        const auto keychain = keychain::processKeychain();
        for (const auto& store : {keychain.primary, keychain.legacy}) {
            if (!store) continue;
            if (auto problem = store->problem()) return problem;
        }
        return std::optional<std::string>();
    };
    deps.makeHTTPServer = makeRealHTTPServer;
    deps.createHTTPPairing = [](const std::string& name, Date now) {
        return remote::HTTPPairingStore().createPairing(name, now);
    };
    deps.makeRemoteTarget = [](const std::string& setupURL, const std::string& name, Date createdAt) {
        return remote::makeRemoteLanternpostTarget(setupURL, name, createdAt);
    };
    deps.remoteClient = std::make_shared<HTTPRemoteClient>();
}

LanternpostModelDependencies LanternpostModelDependencies::system(SettingsStore& settings) {
    LanternpostModelDependencies deps;
    deps.settings = &settings;
    auto windows = std::make_shared<x11::XcbWindowSystem>();
    deps.keynote = std::make_shared<KeynoteController>();
    deps.powerPoint = std::make_shared<PowerPointController>();
    deps.googleSlides = std::make_shared<GoogleSlidesController>(
        windows, [store = &settings] { return store->value(settings::googleSlidesWindowID); });
    deps.availableWindows = [windows] { return PresentationWindowTarget::availableWindows(*windows, false, false); };
    deps.scanInterfaces = [] { return network::activeIPv4Interfaces(); };
    deps.now = dateNow;
    useSystemNetwork(deps);
    deps.makeOSCServer = makeRealOSCServer;
    deps.createBluetoothPairing = [](const std::string& name, Date now) {
        return bluetooth::BluetoothPairingStore().createPairing(name, now);
    };
    return deps;
}

}  // namespace pavonix
