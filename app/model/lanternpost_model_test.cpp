// The model over fakes of every seam. The real HTTP server and Google Slides controller are wired
// in road_test.cpp; the real OSC server and remote client below. A command forwarded to a second
// instance is the program's X11 run; the Bluetooth server's own test pins its side of the handlers
// used here.
#include "app/model/lanternpost_model.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <stdexcept>

#include <gtest/gtest.h>

#include "app/network/network_listen_port.h"
#include "app/remote/http_pairing_store.h"
#include "app/settings/settings_keys.h"
#include "platform/keychain/memory_store.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

using State = BridgeServerStatus::State;

struct FakeController : PresentationController {
    explicit FakeController(std::string name) : name(std::move(name)) {}
    bool isAvailable(std::string_view) override { return available; }
    CommandResult perform(const PresentationCommand& command, std::string_view) override {
        ++performed;
        return CommandResult::ok(command, "Done by " + name + ".");
    }
    SlideListResult listSlides(std::string_view) override { return {}; }
    std::string name;
    bool available = true;
    int performed = 0;
};

struct FakeServer : BridgeServerHandle {
    FakeServer(std::uint64_t id, std::string startError) : serverID(id), startError(std::move(startError)) {}
    std::uint64_t id() const override { return serverID; }
    void start() override {
        if (!startError.empty()) throw std::runtime_error(startError);
    }
    void stop() override { stopped = true; }
    std::uint64_t serverID;
    std::string startError;
    bool stopped = false;
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
    void TearDown() override {
        model_.reset();
        // Lets late replies from the servers' threads arrive while the settings still exist.
        dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(20));
    }

    LanternpostModelDependencies dependencies() {
        LanternpostModelDependencies deps;
        deps.settings = &store_;
        deps.keynote = keynote_;
        deps.powerPoint = std::make_shared<FakeController>("powerpoint");
        deps.googleSlides = std::make_shared<FakeController>("slides");
        deps.availableWindows = [this] { return windows_; };
        deps.scanInterfaces = [this] {
            ++scans_;
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
            deleted_.push_back(query.service + " " + query.account);
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
            return makeFake();
        };
        deps.makeOSCServer = [this](OSCServerParts parts) {
            oscParts_ = parts;
            return makeFake();
        };
        deps.makeBluetoothServer = [this](BluetoothServerParts parts) {
            bluetoothParts_ = parts;
            return makeFake();
        };
        return deps;
    }

    // Servers are numbered from 1 in the order they are made.
    BridgeServerPtr makeFake() {
        servers_.push_back(std::make_shared<FakeServer>(servers_.size() + 1, nextStartError_));
        return servers_.back();
    }

    LanternpostModel& start() {
        model_ = LanternpostModel::make(dependencies());
        return *model_;
    }

    testing::MainQueueScope mainQueue_;
    testing::TemporarySettings settings_;
    SettingsStore& store_ = settings_.store();
    std::shared_ptr<FakeController> keynote_ = std::make_shared<FakeController>("keynote");
    std::shared_ptr<FakeRemoteClient> remote_ = std::make_shared<FakeRemoteClient>();
    std::vector<PresentationWindowTarget> windows_;
    std::vector<network::NetworkInterfaceAddress> interfaces_;
    int scans_ = 0;
    std::map<std::string, Bytes> keychain_;
    std::vector<std::string> deleted_;
    std::function<void()> onDelete_;
    std::string pairingError_;
    std::string nextStartError_;
    std::vector<std::shared_ptr<FakeServer>> servers_;
    std::optional<HTTPServerParts> httpParts_;
    std::optional<OSCServerParts> oscParts_;
    std::optional<BluetoothServerParts> bluetoothParts_;
    Date now_ = Date(std::chrono::seconds(1'800'000'000));
    std::chrono::milliseconds pollInterval_{std::chrono::hours(1)};
    std::shared_ptr<LanternpostModel> model_;
};

// ---- Start-up, servers and statuses ---------------------------------------------------------------

TEST_F(ModelTest, StartUpStartsEveryEnabledServerWithItsSettings) {
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
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
    for (std::int64_t port : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{65536}, std::int64_t{1} << 40}) {
        store_.setValue(settings::httpPort, port);
        store_.setValue(settings::oscPort, port);
        model.restartHTTPServer();
        model.restartOSCServer();
        EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));
        EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "OSC port must be between 1 and 65535."}));
    }
    EXPECT_EQ(model.currentServerID("HTTP"), 0u);

    store_.setValue(settings::httpPort, 65535);
    store_.setValue(settings::httpEnabled, false);
    store_.setValue(settings::oscEnabled, false);
    model.restartHTTPServer();
    model.restartOSCServer();
    EXPECT_EQ(model.httpStatus.get(), BridgeServerStatus::stopped());
    EXPECT_EQ(model.oscStatus.get(), BridgeServerStatus::stopped());

    store_.setValue(settings::httpEnabled, true);
    nextStartError_ = "Address family not supported";
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "Address family not supported"}));
    EXPECT_EQ(model.currentServerID("HTTP"), 0u) << "a server that failed to start is not kept";

    nextStartError_.clear();
    model.restartHTTPServer();
    EXPECT_NE(model.currentServerID("HTTP"), 0u) << "65535 is a port";
}

TEST_F(ModelTest, ALateReportOfAReplacedServerDoesNotOverwriteTheNewStatus) {
    auto& model = start();
    const auto oldID = model.currentServerID("HTTP");
    auto oldHandler = httpParts_->statusHandler;
    oldHandler(oldID, {State::running, "Listening"});
    store_.setValue(settings::httpPort, 0);
    model.restartHTTPServer();
    EXPECT_TRUE(servers_.at(oldID - 1)->stopped);
    oldHandler(oldID, BridgeServerStatus::stopped());  // the stopped server's report arrives late
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));

    store_.setValue(settings::httpPort, 8091);
    model.restartHTTPServer();
    oldHandler(oldID, {State::failed, "HTTP port 8090 is currently in use."});
    httpParts_->statusHandler(model.currentServerID("HTTP"), {State::running, "Listening on all interfaces, port 8091"});
    oldHandler(oldID, BridgeServerStatus::stopped());
    EXPECT_EQ(model.httpStatus.get().detail, "Listening on all interfaces, port 8091");
}

TEST_F(ModelTest, ListenBindingFollowsTheModeAndTheScannedInterfaces) {
    interfaces_ = {interface("eth0", "10.1.2.3"), interface("wlan0", "192.168.7.7")};
    auto& model = start();  // the localhost binding: the real OSC case below
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "Choose an interface to listen on."}));

    store_.setValue(settings::selectedListenAddress, std::string("192.168.7.7"));
    model.restartHTTPServer();
    EXPECT_EQ(httpParts_->configuration.listenAddress, "192.168.7.7");
    EXPECT_EQ(httpParts_->configuration.listenDisplayName, "Ethernet (wlan0) - 192.168.7.7");

    store_.setValue(settings::selectedListenAddress, std::string("10.1.2.30"));
    interfaces_.clear();  // the binding looks at the last scan, not a new one
    model.restartOSCServer();
    EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "Selected interface is unavailable."}));
    EXPECT_EQ(model.currentServerID("OSC"), 0u);
}

TEST_F(ModelTest, EnsureListenAddressSelectionSavesTheFirstInterfaceOnlyWhenNoneIsChosen) {
    auto& model = start();
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    model.ensureListenAddressSelection();
    EXPECT_EQ(store_.value(settings::selectedListenAddress), "");
    interfaces_ = {interface("eth0", "10.1.2.3"), interface("eth1", "10.9.9.9")};
    model.ensureListenAddressSelection();
    EXPECT_EQ(store_.value(settings::selectedListenAddress), "10.1.2.3");
}

TEST_F(ModelTest, PollingRefreshesAndRescansUntilTheModelGoesAway) {
    pollInterval_ = std::chrono::milliseconds(5);
    start();
    ASSERT_TRUE(dispatch::runMainQueue([&] { return scans_ >= 5; }));
    keynote_->available = false;
    ASSERT_TRUE(dispatch::runMainQueue([&] { return !model_->presentationApplicationRunning.get(); }));
    model_.reset();
    const auto after = scans_;
    dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(20));
    EXPECT_EQ(scans_, after);
}

// ---- Commands -------------------------------------------------------------------------------------

TEST_F(ModelTest, ExecuteRecordsTheResultButRefusesAnEmptySlideName) {
    auto& model = start();
    const auto unnamed = PresentationCommand::goToSlideNamed(" # \n");
    auto refused = model.execute(unnamed, CommandSource::osc);
    EXPECT_EQ(refused, CommandResult::failed(unnamed, "Slide name is required."));
    EXPECT_EQ(model.lastCommand.get(), (CommandLogEntry{CommandSource::osc, refused, now_}));
    EXPECT_EQ(keynote_->performed, 0);

    store_.setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    now_ += std::chrono::seconds(5);
    auto done = model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    EXPECT_EQ(done.message, "Done by powerpoint.");
    EXPECT_EQ(model.lastCommand.get(), (CommandLogEntry{CommandSource::userInterface, done, now_}));
}

TEST_F(ModelTest, GoogleSlidesWindowSelectionSavesTheWindowAndDescribesTheTarget) {
    windows_ = {{42, 77, "Chromium", "chromium", "Deck - Google Slides", "pid 77"}};
    store_.setValue(settings::presentationProvider, PresentationProvider::googleSlides);
    auto& model = start();
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Google Slides window");
    EXPECT_EQ(model.googleSlidesWindowTargets.get(), windows_);

    EXPECT_EQ(model.selectGoogleSlidesWindow(7),
              (PresentationWindowSelectionResult{ResultStatus::failed, std::string(LanternpostModel::windowNotOpenMessage), 0}));
    EXPECT_EQ(model.selectGoogleSlidesWindow(42),
              (PresentationWindowSelectionResult{ResultStatus::ok, "Selected Chromium - Deck - Google Slides.", 42}));
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Chromium - Deck - Google Slides");
    EXPECT_EQ(model.selectGoogleSlidesWindow(9).selectedWindowID, 42) << "a failure reports the saved window";
    EXPECT_EQ(model.googleSlidesWindowList().selectedWindowID, 42);

    EXPECT_EQ(model.selectGoogleSlidesWindow(0),
              (PresentationWindowSelectionResult{ResultStatus::ok, "Selected Google Slides window.", 0}));
    EXPECT_EQ(store_.value(settings::googleSlidesWindowTitle), "");
    EXPECT_EQ(store_.value(settings::googleSlidesWindowID), 0);
}

TEST_F(ModelTest, HandlersAnswerWhileTheModelLivesAndSayItIsGoneAfterwards) {
    windows_ = {{42, 77, "Chromium", "chromium", "Deck", ""}};
    auto& model = start();
    auto httpHandlers = model.httpHandlers();
    auto bt = model.bluetoothHandlers();
    auto osc = model.commandHandler(CommandSource::osc);

    // The HTTP and OSC sources are pinned by the road test and the program's OSC test.
    EXPECT_EQ(httpHandlers.command(PresentationCommand::stop()).message, "Done by keynote.");
    bt.command(PresentationCommand::start(true));
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::bluetooth);
    EXPECT_EQ(bt.windowList().message, "Window selection is only available for Google Slides.");
    httpHandlers.presentationProviderSelection(PresentationProvider::googleSlides);
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
    EXPECT_EQ(store_.value(settings::presentationProvider), PresentationProvider::googleSlides);
}

// ---- Pairings and remote targets ------------------------------------------------------------------

TEST_F(ModelTest, HTTPPairingsAreStoredAndRemovedWithTheirSecretAndRestartTheServer) {
    auto& model = start();
    pairingError_ = "Unable to save pairing secret in Keychain. Status -25308.";
    EXPECT_THROW(model.addHTTPPairing("Phone"), std::runtime_error);
    EXPECT_TRUE(store_.value(settings::httpPairedDevices).empty());
    EXPECT_EQ(servers_.size(), 2u) << "OSC and HTTP, Bluetooth being off; nothing restarted";

    pairingError_.clear();
    store_.setValue(settings::httpAuthenticationEnabled, true);
    auto setup = model.addHTTPPairing("Phone");
    EXPECT_EQ(store_.value(settings::httpPairedDevices), std::vector<HTTPPairedDevice>{setup.device});
    EXPECT_EQ(model.currentServerID("HTTP"), 3u) << "the server was restarted with the new pair";
    const auto& authentication = httpParts_->authenticator->configuration();
    EXPECT_TRUE(authentication.isEnabled);
    EXPECT_EQ(authentication.credentials, (std::vector<HTTPAuthCredential>{{"lpp_new", Bytes{1, 2}}}));

    onDelete_ = [this] { EXPECT_TRUE(store_.value(settings::httpPairedDevices).empty()) << "the entry goes first"; };
    model.removeHTTPPairing("lpp_new");
    EXPECT_EQ(deleted_, std::vector<std::string>{"com.vrel.Lanternpost.http-auth lpp_new"});
    EXPECT_EQ(model.currentServerID("HTTP"), 4u);
    EXPECT_TRUE(httpParts_->authenticator->configuration().credentials.empty());
}

// Through the handlers the Bluetooth server holds.
TEST_F(ModelTest, BluetoothPairingsAreOfferedOnlyWhileDiscoverableAndSeenPairsAreStamped) {
    store_.setValue(settings::pavonixName, std::string("  Stage  "));
    store_.setValue(settings::bluetoothEnabled, true);
    start();
    ASSERT_TRUE(bluetoothParts_);
    EXPECT_FALSE(bluetoothParts_->allowsPairing);
    auto& handlers = bluetoothParts_->handlers;
    EXPECT_EQ(handlers.pairingPayload(), std::nullopt);
    store_.setValue(settings::bluetoothDiscoverable, true);
    EXPECT_EQ(handlers.pairingPayload(), (BluetoothPairingPayload{"2", "lpb_new", "bt-secret", "HMAC-SHA256", "Stage"}));
    const Date paired = now_;  // not seen before its first request
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices),
              (std::vector<BluetoothPairedDevice>{{"lpb_new", "Bluetooth Remote", paired, std::nullopt}}));

    model_->saveBluetoothPairedDevice({"lpb_other", "Other", paired, std::nullopt});
    model_->saveBluetoothPairedDevice({"lpb_new", "Renamed", paired, std::nullopt});  // the same pair: replaced
    now_ += std::chrono::seconds(30);
    handlers.pairSeen("lpb_other");
    handlers.pairSeen("lpb_unknown");
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices),
              (std::vector<BluetoothPairedDevice>{{"lpb_new", "Renamed", paired, std::nullopt},
                                                  {"lpb_other", "Other", paired, now_}}));

    keychain_["com.vrel.Lanternpost.bluetooth-auth/lpb_other"] = Bytes{9};
    EXPECT_EQ(handlers.credentials(), (std::vector<HTTPAuthCredential>{{"lpb_other", Bytes{9}}}));
    model_->removeBluetoothPairedDevice("lpb_other");  // refused from its next request on
    EXPECT_TRUE(handlers.credentials().empty());
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices).size(), 1u);
    EXPECT_TRUE(deleted_.empty()) << "the keychain is the pairing sheet's";

    pairingError_ = "Unable to generate secure random bytes.";
    EXPECT_EQ(handlers.pairingPayload(), std::nullopt);
    EXPECT_EQ(model_->bluetoothStatus.get(), (BridgeServerStatus{State::failed, "Unable to generate secure random bytes."}));
}

TEST_F(ModelTest, RemoteTargetsAreAddedSelectedMovedAndRemoved) {
    settings_.defaults().set("remoteLanternpostTargets", nlohmann::json::array({"{from a newer version"}));
    auto& model = start();
    EXPECT_THROW(model.addRemoteTarget("bad", "x"), std::runtime_error);
    EXPECT_TRUE(store_.value(settings::remoteLanternpostTargets).empty());

    auto first = model.addRemoteTarget("pavonix://pair?...", "a");
    auto second = model.addRemoteTarget("pavonix://pair?...", "b");
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "lpt_b");
    EXPECT_EQ(store_.value(settings::remoteLanternpostTargets), (std::vector<RemoteLanternpostTarget>{first, second}));

    model.updateRemoteTargetAddress("lpt_a", "  host.local \n", 9000);
    model.updateRemoteTargetAddress("lpt_a", "   ", 9001);
    model.updateRemoteTargetAddress("lpt_a", "other", 0);
    model.updateRemoteTargetAddress("lpt_missing", "other", 9002);
    first.host = "host.local";
    first.port = 9000;
    EXPECT_EQ(store_.value(settings::remoteLanternpostTargets), (std::vector<RemoteLanternpostTarget>{first, second}));

    onDelete_ = [this] { EXPECT_EQ(store_.value(settings::remoteLanternpostTargets).size(), 1u) << "the entry goes first"; };
    model.removeRemoteTarget("lpt_a");
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "lpt_b");
    EXPECT_EQ(deleted_, std::vector<std::string>{"com.vrel.Lanternpost.remote-targets lpt_a"});
    onDelete_ = nullptr;
    model.removeRemoteTarget("lpt_b");
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "");
    EXPECT_TRUE(store_.value(settings::remoteLanternpostTargets).empty());
    EXPECT_EQ(settings_.savedFile()["remoteLanternpostTargets"], nlohmann::json::array({"{from a newer version"}));
}

// How a target is named in these texts is the controls view's test.
TEST_F(ModelTest, RemoteCommandsAreRecordedWithTheRemoteSourceWhateverTheOutcome) {
    auto& model = start();
    RemoteLanternpostTarget target{"lpt_1", "Hall", "10.0.0.9", 8090, "lpp_1", now_, RemoteLanternpostTransport::http, {}};
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
    EXPECT_EQ(send(PresentationCommand::stop()).message, "Hall: Authentication required.");
    remote_->reply = Json{{"unexpected", true}};
    EXPECT_EQ(send(PresentationCommand::stop()).message, "Hall: The remote Pavonix returned an unreadable response.");
    remote_->requestError = true;
    EXPECT_EQ(send(PresentationCommand::start()).message, "Hall: Unable to generate secure random bytes.");

    // A local command after a remote one replaces it as the last command; slide lists are no commands.
    model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    std::optional<SlideListResult> slides;
    remote_->reply = std::string("HTTP 502");
    model.fetchRemoteSlides(target, [&](SlideListResult result) { slides = result; });
    EXPECT_FALSE(slides) << "never before the caller returns";
    ASSERT_TRUE(dispatch::runMainQueue([&] { return slides.has_value(); }));
    EXPECT_EQ(*slides, (SlideListResult{ResultStatus::failed, "Hall: HTTP 502", {}}));
    EXPECT_EQ(remote_->sent.back(), "GET /slides");
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::userInterface);
}

// With the real target store, keychain calls and client: the secret goes with its target, and the
// client says so before it reaches the network.
TEST_F(ModelTest, ARemovedTargetsSecretGoesWithIt) {
    keychain::setProcessKeychain({std::make_shared<keychain::MemoryStore>(), nullptr});
    LanternpostModelDependencies real;
    LanternpostModelDependencies::useSystemNetwork(real);
    auto deps = dependencies();
    deps.readKeychainItem = real.readKeychainItem;
    deps.deleteKeychainItem = real.deleteKeychainItem;
    deps.makeRemoteTarget = real.makeRemoteTarget;
    deps.remoteClient = real.remoteClient;
    model_ = LanternpostModel::make(std::move(deps));
    const HTTPPairingSetup pairing{{"lpp_AAAAAAAAAAAAAAAA", "Desk", now_}, std::string(43, 'A')};
    const auto target = model_->addRemoteTarget(*remote::setupURL(pairing, "127.0.0.1", 9, "Hall"), "");
    model_->removeRemoteTarget(target.id);
    std::optional<CommandResult> answer;
    model_->sendRemoteCommand(PresentationCommand::stop(), target, [&](CommandResult result) { answer = result; });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->message, "Hall: The saved pairing secret is missing. Remove this remote device and add it again.");
    keychain::setProcessKeychain({std::make_shared<keychain::MemoryStore>(), nullptr});
}

// ---- The real OSC server --------------------------------------------------------------------------

TEST_F(ModelTest, TheRealOSCServerReportsAPortInUseAndAStopFreesThePort) {
    // Someone else holds the port first.
    const int blocker = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t port = ntohs(address.sin_port);
    store_.setValue(settings::oscPort, std::int64_t{port});
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::localhost);
    auto deps = dependencies();
    deps.makeOSCServer = makeRealOSCServer;
    model_ = LanternpostModel::make(std::move(deps));
    testing::settleMainQueue();
    EXPECT_EQ(model_->oscStatus.get(),
              (BridgeServerStatus{State::failed, "OSC port " + std::to_string(port) + " is currently in use."}));

    close(blocker);
    model_->restartOSCServer();  // binding the same port again at once is the OSC server's test
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model_->oscStatus.get().state == State::running; }));
    EXPECT_EQ(model_->oscStatus.get().detail, "Listening on localhost (127.0.0.1), port " + std::to_string(port));
    store_.setValue(settings::oscEnabled, false);
    model_->restartOSCServer();
    EXPECT_EQ(model_->oscStatus.get(), BridgeServerStatus::stopped());
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", true));
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", false));
}

}  // namespace
}  // namespace pavonix
