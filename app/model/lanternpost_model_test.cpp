#include "app/model/lanternpost_model.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

#include "app/network/network_listen_port.h"
#include "app/remote/http_pairing_store.h"
#include "app/bluetooth/testing/bluetooth_central.h"
#include "platform/peripheral/testing/memory_peripheral.h"
#include "app/settings/settings_keys.h"
#include "platform/keychain/memory_store.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

using State = BridgeServerStatus::State;
using Log = std::vector<std::string>;

struct FakeController : PresentationController {
    FakeController(std::string name, Log& log) : name(std::move(name)), log(log) {}
    bool isAvailable(std::string_view applicationName) override {
        log.push_back("available " + name + " " + std::string(applicationName));
        return available;
    }
    CommandResult perform(const PresentationCommand& command, std::string_view applicationName) override {
        log.push_back("perform " + name + " " + std::string(applicationName));
        return CommandResult::ok(command, "Done by " + name + ".");
    }
    SlideListResult listSlides(std::string_view) override {
        return {ResultStatus::ok, name + " slides", {{1, "Intro", "", true}}};
    }
    std::string name;
    Log& log;
    bool available = true;
};

struct FakeServer : BridgeServerHandle {
    FakeServer(std::string kind, std::uint64_t id, Log& log) : kind(std::move(kind)), serverID(id), log(log) {}
    std::uint64_t id() const override { return serverID; }
    void start() override {
        log.push_back("start " + kind + " " + std::to_string(serverID));
        if (!startError.empty()) throw std::runtime_error(startError);
    }
    void stop() override { log.push_back("stop " + kind + " " + std::to_string(serverID)); }
    std::string kind;
    std::uint64_t serverID;
    Log& log;
    std::string startError;
};

struct FakeRemoteClient : RemoteClient {
    RemoteRequest request(const PresentationCommand& command) override {
        if (requestError) throw std::runtime_error("Unable to generate secure random bytes.");
        return {"POST", command.kind() == PresentationCommand::Kind::showNext ? "/show/next" : "/other", {}};
    }
    void sendSigned(const std::string& path, const std::string& method, const Bytes&, const RemoteLanternpostTarget&,
                    std::function<void(RemoteReply)> completion) override {
        sent.push_back(method + " " + path);
        completion(reply);
    }
    std::vector<std::string> sent;
    RemoteReply reply = Json::object();
    bool requestError = false;
};

network::NetworkInterfaceAddress interface(std::string name, std::string address) {
    return {name, "Ethernet", std::move(address), "Ethernet"};
}

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        keynote_ = std::make_shared<FakeController>("keynote", log_);
        googleSlides_ = std::make_shared<FakeController>("slides", log_);
        remote_ = std::make_shared<FakeRemoteClient>();
    }
    void TearDown() override {
        model_.reset();
        // Lets late replies from the servers' threads arrive while the settings still exist.
        dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(20));
    }

    LanternpostModelDependencies dependencies() {
        LanternpostModelDependencies deps;
        deps.settings = &settings_.store();
        deps.keynote = keynote_;
        deps.powerPoint = std::make_shared<FakeController>("powerpoint", log_);
        deps.googleSlides = googleSlides_;
        deps.availableWindows = [this] { return windows_; };
        deps.scanInterfaces = [this] {
            log_.push_back("scan");
            return interfaces_;
        };
        deps.now = [this] { return now_; };
        deps.pollInterval = pollInterval_;
        deps.readKeychainItem = [this](std::string_view service, std::string_view account) -> std::optional<Bytes> {
            auto found = keychain_.find(std::string(service) + "/" + std::string(account));
            if (found == keychain_.end()) return std::nullopt;
            return found->second;
        };
        deps.deleteKeychainItem = [this](const KeychainQuery& query) {
            log_.push_back("delete " + query.service + " " + query.account);
            if (onDelete_) onDelete_();
            return keychain_.erase(query.service + "/" + query.account) ? keychain::success : keychain::itemNotFound;
        };
        deps.createHTTPPairing = [this](const std::string& name, Date now) {
            if (!pairingError_.empty()) throw std::runtime_error(pairingError_);
            keychain_["com.vrel.Lanternpost.http-auth/lpp_new"] = Bytes{1, 2};
            return HTTPPairingSetup{{"lpp_new", name, now}, "secret"};
        };
        deps.makeRemoteTarget = [this](const std::string& url, const std::string& name, Date createdAt) {
            if (url == "bad") throw std::runtime_error("Enter a valid Pavonix setup URL.");
            return RemoteLanternpostTarget{"lpt_" + name, name, "10.0.0.9", 8090, "lpp_x", createdAt,
                                           RemoteLanternpostTransport::http, std::nullopt};
        };
        deps.remoteClient = remote_;
        deps.createBluetoothPairing = [this](const std::string& name, Date now) {
            if (!pairingError_.empty()) throw std::runtime_error(pairingError_);
            return BluetoothPairingSetup{{"lpb_new", name, now, std::nullopt}, "bt-secret"};
        };
        deps.makeHTTPServer = [this](HTTPServerParts parts) {
            httpParts_ = std::move(parts);
            return makeFake("http");
        };
        deps.makeOSCServer = [this](OSCServerParts parts) {
            oscParts_ = parts;
            return makeFake("osc");
        };
        deps.makeBluetoothServer = [this](BluetoothServerParts parts) {
            bluetoothParts_ = parts;
            return makeFake("bluetooth");
        };
        return deps;
    }

    BridgeServerPtr makeFake(const std::string& kind) {
        log_.push_back("make " + kind);
        auto server = std::make_shared<FakeServer>(kind, ++nextServerID_, log_);
        server->startError = nextStartError_;
        return server;
    }

    LanternpostModel& start() {
        model_ = LanternpostModel::make(dependencies());
        return *model_;
    }
    template <class T>
    void set(const SettingsStore::Key<T>& key, const T& value) {
        settings_.store().setValue(key, value);
    }
    template <class T>
    T get(const SettingsStore::Key<T>& key) {
        return settings_.store().value(key);
    }

    testing::MainQueueScope mainQueue_;
    testing::TemporarySettings settings_;
    Log log_;
    std::shared_ptr<FakeController> keynote_;
    std::shared_ptr<FakeController> googleSlides_;
    std::shared_ptr<FakeRemoteClient> remote_;
    std::vector<PresentationWindowTarget> windows_;
    std::vector<network::NetworkInterfaceAddress> interfaces_;
    std::map<std::string, Bytes> keychain_;
    std::function<void()> onDelete_;
    std::string pairingError_;
    std::string nextStartError_;
    std::uint64_t nextServerID_ = 0;
    std::optional<HTTPServerParts> httpParts_;
    std::optional<OSCServerParts> oscParts_;
    std::optional<BluetoothServerParts> bluetoothParts_;
    Date now_ = Date(std::chrono::seconds(1'800'000'000));
    std::chrono::milliseconds pollInterval_{std::chrono::hours(1)};
    std::shared_ptr<LanternpostModel> model_;
};

// ---- Start-up, servers and statuses ---------------------------------------------------------------

TEST_F(ModelTest, StartUpStartsEveryEnabledServerWithItsSettings) {
    set(settings::bluetoothEnabled, true);
    set(settings::bluetoothDiscoverable, true);
    start();
    ASSERT_TRUE(httpParts_ && oscParts_ && bluetoothParts_);
    EXPECT_EQ(httpParts_->configuration.port, 8090);
    EXPECT_EQ(httpParts_->configuration.listenAddress, std::nullopt);
    EXPECT_EQ(oscParts_->port, 48000);
    EXPECT_TRUE(bluetoothParts_->allowsPairing);
    EXPECT_TRUE(model_->presentationApplicationRunning.get());
}

TEST_F(ModelTest, EachRestartPathSetsItsStatusText) {
    auto& model = start();
    const auto restartHTTP = [&] {
        model.restartHTTPServer();
        return model.httpStatus.get();
    };
    const auto restartOSC = [&] {
        model.restartOSCServer();
        return model.oscStatus.get();
    };
    for (std::int64_t port : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{65536}, std::int64_t{1} << 40}) {
        set(settings::httpPort, port);
        set(settings::oscPort, port);
        EXPECT_EQ(restartHTTP(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));
        EXPECT_EQ(restartOSC(), (BridgeServerStatus{State::failed, "OSC port must be between 1 and 65535."}));
    }
    EXPECT_EQ(model.currentServerID("HTTP"), 0u);

    set(settings::httpPort, std::int64_t{65535});
    set(settings::httpEnabled, false);
    set(settings::oscEnabled, false);
    EXPECT_EQ(restartHTTP(), BridgeServerStatus::stopped());
    EXPECT_EQ(restartOSC(), BridgeServerStatus::stopped());

    set(settings::httpEnabled, true);
    nextStartError_ = "Address family not supported";
    EXPECT_EQ(restartHTTP(), (BridgeServerStatus{State::failed, "Address family not supported"}));
    EXPECT_EQ(model.currentServerID("HTTP"), 0u) << "a server that failed to start is not kept";

    nextStartError_.clear();
    restartHTTP();
    const auto id = model.currentServerID("HTTP");
    ASSERT_NE(id, 0u);
    httpParts_->statusHandler(id, {State::running, "Listening on all interfaces, port 65535"});
    EXPECT_EQ(model.httpStatus.get().state, State::running);

    log_.clear();
    set(settings::bluetoothEnabled, false);
    model.restartBluetoothServer();
    EXPECT_EQ(model.bluetoothStatus.get(), BridgeServerStatus::stopped());
    EXPECT_EQ(log_, Log{});
}

TEST_F(ModelTest, ALateReportOfAReplacedServerDoesNotOverwriteTheNewStatus) {
    auto& model = start();
    const auto oldID = model.currentServerID("HTTP");
    auto oldHandler = httpParts_->statusHandler;
    oldHandler(oldID, {State::running, "Listening"});
    set(settings::httpPort, std::int64_t{0});
    model.restartHTTPServer();
    EXPECT_NE(std::find(log_.begin(), log_.end(), "stop http " + std::to_string(oldID)), log_.end());
    oldHandler(oldID, BridgeServerStatus::stopped());  // the stopped server's report arrives late
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));

    set(settings::httpPort, std::int64_t{8091});
    model.restartHTTPServer();
    oldHandler(oldID, {State::failed, "HTTP port 8090 is currently in use."});
    httpParts_->statusHandler(model.currentServerID("HTTP"), {State::running, "Listening on all interfaces, port 8091"});
    oldHandler(oldID, BridgeServerStatus::stopped());
    EXPECT_EQ(model.httpStatus.get().detail, "Listening on all interfaces, port 8091");
}

TEST_F(ModelTest, ListenBindingFollowsTheModeAndTheScannedInterfaces) {
    interfaces_ = {interface("eth0", "10.1.2.3"), interface("wlan0", "192.168.7.7")};
    auto& model = start();
    set(settings::listenAddressMode, network::NetworkListenMode::localhost);
    EXPECT_EQ(model.listenBinding("HTTP"),
              (network::ServerListenBinding{"127.0.0.1", "127.0.0.1", "localhost (127.0.0.1)"}));

    set(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "Choose an interface to listen on."}));
    model.restartOSCServer();
    EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "Choose an interface to listen on."}));

    set(settings::selectedListenAddress, std::string("192.168.7.7"));
    model.restartHTTPServer();
    EXPECT_EQ(httpParts_->configuration.listenAddress, "192.168.7.7");
    EXPECT_EQ(httpParts_->configuration.listenDisplayName, "Ethernet (wlan0) - 192.168.7.7");

    set(settings::selectedListenAddress, std::string("10.1.2.30"));
    interfaces_.clear();  // the binding looks at the last scan, not a new one
    model.restartOSCServer();
    EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "Selected interface is unavailable."}));
    EXPECT_EQ(model.currentServerID("OSC"), 0u);
}

TEST_F(ModelTest, EnsureListenAddressSelectionSavesTheFirstInterfaceOnlyWhenNoneIsChosen) {
    auto& model = start();
    set(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    model.ensureListenAddressSelection();
    EXPECT_EQ(get(settings::selectedListenAddress), "");
    interfaces_ = {interface("eth0", "10.1.2.3"), interface("eth1", "10.9.9.9")};
    model.ensureListenAddressSelection();
    EXPECT_EQ(get(settings::selectedListenAddress), "10.1.2.3");
}

TEST_F(ModelTest, PollingRefreshesAndRescansUntilTheModelGoesAway) {
    pollInterval_ = std::chrono::milliseconds(5);
    start();
    const auto scans = [&] { return std::count(log_.begin(), log_.end(), "scan"); };
    ASSERT_TRUE(dispatch::runMainQueue([&] { return scans() >= 5; }));
    keynote_->available = false;
    ASSERT_TRUE(dispatch::runMainQueue([&] { return !model_->presentationApplicationRunning.get(); }));
    model_.reset();
    const auto after = scans();
    dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(scans(), after);
}

// ---- Commands -------------------------------------------------------------------------------------

TEST_F(ModelTest, ExecuteRecordsTheResultAndRefreshesButRefusesAnEmptySlideName) {
    auto& model = start();
    log_.clear();
    auto refused = model.execute(PresentationCommand::goToSlideNamed(" # \n"), CommandSource::osc);
    EXPECT_EQ(refused, CommandResult::failed(PresentationCommand::goToSlideNamed(" # \n"), "Slide name is required."));
    EXPECT_EQ(model.lastCommand.get(), (CommandLogEntry{CommandSource::osc, refused, now_}));
    EXPECT_EQ(log_, Log{}) << "neither performed nor refreshed";

    set(settings::presentationProvider, PresentationProvider::powerPoint);
    now_ += std::chrono::seconds(5);
    auto done = model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    EXPECT_EQ(done.message, "Done by powerpoint.");
    EXPECT_EQ(model.lastCommand.get(), (CommandLogEntry{CommandSource::userInterface, done, now_}));
    EXPECT_EQ(log_, (Log{"perform powerpoint Microsoft PowerPoint", "available powerpoint Microsoft PowerPoint"}));
}

TEST_F(ModelTest, GoogleSlidesWindowSelectionSavesTheWindowAndDescribesTheTarget) {
    windows_ = {{42, 77, "Chromium", "chromium", "Deck - Google Slides", "pid 77"}};
    set(settings::presentationProvider, PresentationProvider::googleSlides);
    auto& model = start();
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Google Slides window");
    EXPECT_EQ(model.googleSlidesWindowTargets.get(), windows_);

    auto missing = model.selectGoogleSlidesWindow(7);
    EXPECT_EQ(missing, (PresentationWindowSelectionResult{ResultStatus::failed,
                                                          std::string(LanternpostModel::windowNotOpenMessage), 0}));
    auto chosen = model.selectGoogleSlidesWindow(42);
    EXPECT_EQ(chosen, (PresentationWindowSelectionResult{ResultStatus::ok, "Selected Chromium - Deck - Google Slides.", 42}));
    EXPECT_EQ(get(settings::googleSlidesWindowOwnerProcessID), 77);
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Chromium - Deck - Google Slides");
    EXPECT_EQ(model.selectGoogleSlidesWindow(9).selectedWindowID, 42) << "a failure reports the saved window";

    EXPECT_EQ(model.googleSlidesWindowList().selectedWindowID, 42);
    EXPECT_EQ(model.remoteWindowList().windows.at(0).menuTitle, "Chromium - Deck - Google Slides");

    auto cleared = model.selectGoogleSlidesWindow(0);
    EXPECT_EQ(cleared, (PresentationWindowSelectionResult{ResultStatus::ok, "Selected Google Slides window.", 0}));
    EXPECT_EQ(get(settings::googleSlidesWindowTitle), "");
    EXPECT_EQ(get(settings::googleSlidesWindowID), 0);
}

TEST_F(ModelTest, HandlersAnswerWhileTheModelLivesAndSayItIsGoneAfterwards) {
    windows_ = {{42, 77, "Chromium", "chromium", "Deck", ""}};
    auto& model = start();
    auto httpHandlers = model.httpHandlers();
    auto bt = model.bluetoothHandlers();
    auto osc = model.commandHandler(CommandSource::osc);

    EXPECT_EQ(httpHandlers.command(PresentationCommand::stop()).message, "Done by keynote.");
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::http);
    osc(PresentationCommand::showPrevious());
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::osc);
    EXPECT_EQ(bt.command(PresentationCommand::start(true)).status, ResultStatus::ok);
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::bluetooth);
    EXPECT_EQ(bt.windowList().message, "Window selection is only available for Google Slides.");
    EXPECT_EQ(httpHandlers.presentationProviderSelection(PresentationProvider::googleSlides),
              (PresentationProviderSelectionResult{ResultStatus::ok, "Selected Google Slides.",
                                                   PresentationProvider::googleSlides}));
    EXPECT_EQ(bt.windowSelection(42).status, ResultStatus::ok);

    auto httpStatus = httpParts_->statusHandler;
    const auto id = model.currentServerID("HTTP");
    model_.reset();
    const std::string gone = "Pavonix is not available.";
    EXPECT_EQ(httpHandlers.command(PresentationCommand::goToSlideNumber(3)),
              CommandResult::failed(PresentationCommand::goToSlideNumber(3), gone));
    EXPECT_EQ(osc(PresentationCommand::stop()).message, gone);
    EXPECT_EQ(bt.slideList().message, gone);
    EXPECT_EQ(httpHandlers.windowSelection(42), (PresentationWindowSelectionResult{ResultStatus::failed, gone, 0}));
    EXPECT_EQ(bt.pairingPayload(), std::nullopt);
    bt.pairSeen("lpb_x");
    httpStatus(id, {State::running, "late"});  // nothing to tell: no crash
    EXPECT_EQ(get(settings::presentationProvider), PresentationProvider::googleSlides);
}

// ---- Pairings and remote targets ------------------------------------------------------------------

TEST_F(ModelTest, HTTPPairingsAreStoredAndRemovedWithTheirSecretAndRestartTheServer) {
    auto& model = start();
    pairingError_ = "Unable to save pairing secret in Keychain. Status -25308.";
    log_.clear();
    EXPECT_THROW(model.addHTTPPairing("Phone"), std::runtime_error);
    EXPECT_TRUE(get(settings::httpPairedDevices).empty());
    EXPECT_EQ(log_, Log{}) << "nothing rescanned or restarted";

    pairingError_.clear();
    set(settings::httpAuthenticationEnabled, true);
    auto setup = model.addHTTPPairing("Phone");
    EXPECT_EQ(get(settings::httpPairedDevices), std::vector<HTTPPairedDevice>{setup.device});
    EXPECT_EQ(model.currentServerID("HTTP"), 3u) << "the server was restarted with the new pair";
    const auto& authentication = httpParts_->authenticator->configuration();
    EXPECT_TRUE(authentication.isEnabled);
    EXPECT_EQ(authentication.credentials, (std::vector<HTTPAuthCredential>{{"lpp_new", Bytes{1, 2}}}));

    log_.clear();
    onDelete_ = [this] { EXPECT_TRUE(get(settings::httpPairedDevices).empty()) << "the entry goes first"; };
    model.removeHTTPPairing("lpp_new");
    EXPECT_EQ(log_.front(), "delete com.vrel.Lanternpost.http-auth lpp_new");
    EXPECT_EQ(model.currentServerID("HTTP"), 4u);
    EXPECT_TRUE(httpParts_->authenticator->configuration().credentials.empty());
}

TEST_F(ModelTest, BluetoothPairingsAreOfferedOnlyWhileDiscoverableAndSeenPairsAreStamped) {
    set(settings::pavonixName, std::string("  Stage  "));
    auto& model = start();
    EXPECT_EQ(model.bluetoothPairingPayload(), std::nullopt);
    set(settings::bluetoothDiscoverable, true);
    auto offer = model.bluetoothPairingPayload();
    EXPECT_EQ(offer, (BluetoothPairingPayload{"2", "lpb_new", "bt-secret", "HMAC-SHA256", "Stage"}));
    auto devices = get(settings::bluetoothPairedDevices);
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].lastSeenAt, std::nullopt) << "not seen before its first request";

    model.saveBluetoothPairedDevice({"lpb_other", "Other", now_, std::nullopt});
    model.saveBluetoothPairedDevice({"lpb_new", "Renamed", now_, std::nullopt});
    devices = get(settings::bluetoothPairedDevices);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].name, "Renamed");

    now_ += std::chrono::seconds(30);
    model.bluetoothHandlers().pairSeen("lpb_other");
    model.markBluetoothPairSeen("lpb_unknown");
    devices = get(settings::bluetoothPairedDevices);
    EXPECT_EQ(devices[0].lastSeenAt, std::nullopt);
    EXPECT_EQ(devices[1].lastSeenAt, now_);

    keychain_["com.vrel.Lanternpost.bluetooth-auth/lpb_other"] = Bytes{9};
    EXPECT_EQ(model.bluetoothCredentials(), (std::vector<HTTPAuthCredential>{{"lpb_other", Bytes{9}}}));

    log_.clear();
    model.removeBluetoothPairedDevice("lpb_new");
    EXPECT_EQ(get(settings::bluetoothPairedDevices).size(), 1u);
    EXPECT_EQ(log_, Log{}) << "neither the keychain nor the server is touched";

    pairingError_ = "Unable to generate secure random bytes.";
    EXPECT_EQ(model.bluetoothPairingPayload(), std::nullopt);
    EXPECT_EQ(model.bluetoothStatus.get(), (BridgeServerStatus{State::failed, "Unable to generate secure random bytes."}));
}

TEST_F(ModelTest, BluetoothCentralsPairThroughTheServerAndLoseARemovedPairingAtOnce) {
    using peripheral::ATTResult;
    const std::string pairing(bluetooth::kPairingCharacteristicUUID), request(bluetooth::kRequestCharacteristicUUID),
        response(bluetooth::kResponseCharacteristicUUID);
    auto radio = peripheral::testing::MemoryPeripheral::make();
    set(settings::bluetoothEnabled, true);
    set(settings::bluetoothDiscoverable, true);
    auto deps = dependencies();
    const HTTPAuthCredential phone{"lpb_new", Bytes(32, 3)};
    keychain_["com.vrel.Lanternpost.bluetooth-auth/lpb_new"] = phone.secret;
    deps.makeBluetoothServer = [radio](BluetoothServerParts parts) {
        return makeRealBluetoothServer(std::move(parts), radio->factory());
    };
    model_ = LanternpostModel::make(deps);
    dispatch::runMainQueue([&] { return model_->bluetoothStatus.get().state == State::running; });
    EXPECT_EQ(model_->bluetoothStatus.get(), (BridgeServerStatus{State::running, "Discoverable for pairing"}));
    const auto payload = Json::parse(radio->read("phone", pairing)->value).get<BluetoothPairingPayload>();
    EXPECT_EQ(payload.pairID, "lpb_new");

    int nonce = 0;
    const auto next = [&] {
        const Json body{{"requestID", "r"}, {"kind", "command"}, {"command", {{"action", "showNext"}}}};
        radio->write("phone", request,
                     bluetooth::testing::signedRequest(body, phone, std::to_string(std::time(nullptr)), std::to_string(++nonce)));
        return Json::parse(radio->read("phone", response)->value)["message"].get<std::string>();
    };
    EXPECT_EQ(next(), "Done by keynote.");
    EXPECT_EQ(model_->lastCommand.get()->source, CommandSource::bluetooth);
    EXPECT_EQ(get(settings::bluetoothPairedDevices).at(0).lastSeenAt, now_);
    model_->removeBluetoothPairedDevice("lpb_new");
    EXPECT_EQ(next(), "Bluetooth authentication failed.");

    set(settings::bluetoothDiscoverable, false);
    model_->restartBluetoothServer();
    EXPECT_EQ(radio->read("phone", pairing)->result, ATTResult::attributeNotFound);
}

TEST_F(ModelTest, RemoteTargetsAreAddedSelectedMovedAndRemoved) {
    settings_.defaults().set("remoteLanternpostTargets", nlohmann::json::array({"{from a newer version"}));
    auto& model = start();
    EXPECT_THROW(model.addRemoteTarget("bad", "x"), std::runtime_error);
    EXPECT_TRUE(get(settings::remoteLanternpostTargets).empty());

    auto first = model.addRemoteTarget("pavonix://pair?...", "a");
    auto second = model.addRemoteTarget("pavonix://pair?...", "b");
    EXPECT_EQ(get(settings::selectedRemoteLanternpostTargetID), "lpt_b");
    EXPECT_EQ(get(settings::remoteLanternpostTargets), (std::vector<RemoteLanternpostTarget>{first, second}));

    model.updateRemoteTargetAddress("lpt_a", "  host.local \n", 9000);
    model.updateRemoteTargetAddress("lpt_a", "   ", 9001);
    model.updateRemoteTargetAddress("lpt_a", "other", 0);
    model.updateRemoteTargetAddress("lpt_missing", "other", 9002);
    auto targets = get(settings::remoteLanternpostTargets);
    EXPECT_EQ(targets[0].host, "host.local");
    EXPECT_EQ(targets[0].port, 9000);
    EXPECT_EQ(targets[1], second);

    onDelete_ = [this] { EXPECT_EQ(get(settings::remoteLanternpostTargets).size(), 1u) << "the entry goes first"; };
    model.removeRemoteTarget("lpt_a");
    EXPECT_EQ(get(settings::selectedRemoteLanternpostTargetID), "lpt_b");
    EXPECT_EQ(log_.back(), "delete com.vrel.Lanternpost.remote-targets lpt_a");
    onDelete_ = nullptr;
    model.removeRemoteTarget("lpt_b");
    EXPECT_EQ(get(settings::selectedRemoteLanternpostTargetID), "");
    EXPECT_TRUE(get(settings::remoteLanternpostTargets).empty());
    EXPECT_EQ(settings_.savedFile()["remoteLanternpostTargets"], nlohmann::json::array({"{from a newer version"}));
}

TEST_F(ModelTest, RemoteCommandsAreRecordedWithTheRemoteSourceWhateverTheOutcome) {
    auto& model = start();
    RemoteLanternpostTarget target{"lpt_1", "  ", "10.0.0.9", 8090, "lpp_1", now_, RemoteLanternpostTransport::http, {}};
    std::vector<CommandResult> answers;
    const auto send = [&](const PresentationCommand& command) {
        model.sendRemoteCommand(command, target, [&](CommandResult result) { answers.push_back(result); });
        const auto count = answers.size();
        EXPECT_TRUE(dispatch::runMainQueue([&] { return answers.size() > count; }));
        EXPECT_EQ(model.lastCommand.get()->source, CommandSource::remoteHTTP);
        EXPECT_EQ(model.lastCommand.get()->result, answers.back());
        return answers.back();
    };

    EXPECT_EQ(send(PresentationCommand::goToSlideNamed("##")).message, "Slide name is required.");
    EXPECT_TRUE(remote_->sent.empty());

    remote_->reply = Json{{"status", "failed"}, {"command", "Show next"}, {"message", "Keynote is not running."}};
    EXPECT_EQ(send(PresentationCommand::showNext()),
              (CommandResult{ResultStatus::failed, "Show next", "Keynote is not running."}));
    EXPECT_EQ(remote_->sent, std::vector<std::string>{"POST /show/next"});

    remote_->reply = std::string("Authentication required.");
    EXPECT_EQ(send(PresentationCommand::stop()).message, "10.0.0.9:8090: Authentication required.");
    remote_->reply = Json{{"unexpected", true}};
    target.name = " Stage Mac ";
    EXPECT_EQ(send(PresentationCommand::stop()).message, "Stage Mac: The remote Pavonix returned an unreadable response.");
    remote_->requestError = true;
    target.name.clear();
    target.transport = RemoteLanternpostTransport::bluetooth;
    EXPECT_EQ(send(PresentationCommand::start()).message, "Bluetooth: Unable to generate secure random bytes.");

    // A local command after a remote one replaces it as the last command; slide lists are no commands.
    model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    std::optional<SlideListResult> slides;
    remote_->reply = std::string("HTTP 502");
    model.fetchRemoteSlides(target, [&](SlideListResult result) { slides = result; });
    EXPECT_FALSE(slides) << "never before the caller returns";
    ASSERT_TRUE(dispatch::runMainQueue([&] { return slides.has_value(); }));
    EXPECT_EQ(*slides, (SlideListResult{ResultStatus::failed, "Bluetooth: HTTP 502", {}}));
    EXPECT_EQ(remote_->sent.back(), "GET /slides");
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::userInterface);
}

// ---- The real pieces together ---------------------------------------------------------------------

std::uint16_t freeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

TEST_F(ModelTest, ACommandForwardedThroughAPairingRunsOnTheOtherInstanceAndIsRecordedHere) {
    keychain::setProcessKeychain({std::make_shared<keychain::MemoryStore>(), nullptr});
    auto real = [&] {
        auto deps = dependencies();
        LanternpostModelDependencies::useSystemNetwork(deps);
        return deps;
    };
    const auto port = freeLoopbackPort();
    set(settings::httpPort, std::int64_t{port});
    set(settings::listenAddressMode, network::NetworkListenMode::localhost);
    set(settings::httpAuthenticationEnabled, true);
    auto other = LanternpostModel::make(real());  // the instance being driven
    ASSERT_TRUE(dispatch::runMainQueue([&] { return other->httpStatus.get().state == State::running; }))
        << other->httpStatus.get().detail;
    auto setup = other->addHTTPPairing("Desk");
    ASSERT_TRUE(dispatch::runMainQueue([&] { return other->httpStatus.get().state == State::running; }));

    set(settings::httpEnabled, false);  // this instance shares the settings; it serves nothing
    model_ = LanternpostModel::make(real());
    auto target = model_->addRemoteTarget(*remote::setupURL(setup, "127.0.0.1", port, "Hall"), "");
    std::optional<CommandResult> answer;
    model_->sendRemoteCommand(PresentationCommand::goToSlideNumber(4), target, [&](CommandResult r) { answer = r; });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return answer.has_value(); }, std::chrono::seconds(20)));
    EXPECT_EQ(*answer, CommandResult::ok(PresentationCommand::goToSlideNumber(4), "Done by keynote."));
    EXPECT_EQ(model_->lastCommand.get()->source, CommandSource::remoteHTTP);
    EXPECT_EQ(other->lastCommand.get()->source, CommandSource::http);

    model_->removeRemoteTarget(target.id);  // its secret goes with it
    answer.reset();
    model_->sendRemoteCommand(PresentationCommand::stop(), target, [&](CommandResult r) { answer = r; });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return answer.has_value(); }, std::chrono::seconds(20)));
    EXPECT_EQ(answer->message,
              "Hall: The saved pairing secret is missing. Remove this remote device and add it again.");
    other.reset();
    keychain::setProcessKeychain({std::make_shared<keychain::MemoryStore>(), nullptr});
}

TEST_F(ModelTest, TheRealOSCServerRestartsOnItsPortStopsFreeingItAndReportsAPortInUse) {
    const auto port = freeLoopbackPort();
    set(settings::oscPort, std::int64_t{port});
    set(settings::listenAddressMode, network::NetworkListenMode::localhost);
    auto deps = dependencies();
    deps.makeOSCServer = makeRealOSCServer;
    model_ = LanternpostModel::make(std::move(deps));
    const std::string place = "localhost (127.0.0.1), port " + std::to_string(port);
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model_->oscStatus.get().state == State::running; }));
    EXPECT_EQ(model_->oscStatus.get().detail, "Listening on " + place);

    // A restart binds the same port again; switching off frees it.
    model_->restartOSCServer();
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model_->oscStatus.get().state == State::running; }));
    set(settings::oscEnabled, false);
    model_->restartOSCServer();
    EXPECT_EQ(model_->oscStatus.get(), BridgeServerStatus::stopped());
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", true));
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", false));

    // Someone else on the port: the failed status says so.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    set(settings::oscEnabled, true);
    model_->restartOSCServer();
    testing::settleMainQueue();
    EXPECT_EQ(model_->oscStatus.get(),
              (BridgeServerStatus{State::failed, "OSC port " + std::to_string(port) + " is currently in use."}));
    close(blocker);
}

}  // namespace
}  // namespace pavonix
