// The model over the fixture's parts (testing/model_fixture.h) and a fake remote client. The real
// HTTP server is wired in road_test.cpp; the real OSC server below. A command forwarded to another
// instance is the pairing sheets' X11 run (a signed Next to a stand-in peer); the Bluetooth server's
// own test pins its side of the handlers used here.
#include "app/model/lanternpost_model.h"

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "app/bluetooth/bluetooth_request_handler.h"
#include "app/signing/request_signing.h"
#include "app/model/server_announcements.h"
#include "app/model/testing/model_fixture.h"
#include "app/network/network_listen_port.h"
#include "app/remote/http_pairing_store.h"
#include "platform/crypto/base64.h"
#include "platform/keychain/file_store.h"
#include "platform/net/testing/loopback.h"
#include "platform/peripheral/testing/memory_peripheral.h"

namespace pavonix {
namespace {

using testing::ModelTest;
using testing::useKeychain;

using State = BridgeServerStatus::State;

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

// ---- Servers and statuses -------------------------------------------------------------------------

TEST_F(ModelTest, EachRestartPathSetsItsStatusTextAndReplacedServersAreNotHeard) {
    auto& model = start();
    const auto oldID = model.currentServerID("HTTP");
    const auto oldHandler = httpParts_->statusHandler;
    for (std::int64_t port : {std::int64_t{0}, std::int64_t{-1}, std::int64_t{65536}, std::int64_t{1} << 40}) {
        store_.setValue(settings::httpPort, port);
        store_.setValue(settings::oscPort, port);
        model.restartHTTPServer();
        model.restartOSCServer();
        EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));
        EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "OSC port must be between 1 and 65535."}));
    }
    EXPECT_EQ(model.currentServerID("HTTP"), 0u);
    EXPECT_TRUE(servers_.at(oldID - 1)->stopped);
    oldHandler(oldID, BridgeServerStatus::stopped());  // the stopped server's report arrives late
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "HTTP port must be between 1 and 65535."}));

    store_.setValue(settings::httpPort, 65535);
    store_.setValue(settings::httpEnabled, false);  // the program's HTTP test turns OSC off
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), BridgeServerStatus::stopped());

    store_.setValue(settings::httpEnabled, true);
    nextStartError_ = "Address family not supported";
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "Address family not supported"}));
    EXPECT_EQ(model.currentServerID("HTTP"), 0u) << "a server that failed to start is not kept";

    nextStartError_.clear();
    model.restartHTTPServer();  // 65535 is a port
    httpParts_->statusHandler(model.currentServerID("HTTP"), {State::running, "Listening on all interfaces, port 65535"});
    oldHandler(oldID, {State::failed, "HTTP port 8090 is currently in use."});
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::running, "Listening on all interfaces, port 65535"}));
}

TEST_F(ModelTest, ListenBindingFollowsTheModeAndTheScannedInterfaces) {
    auto& model = start();  // the localhost binding: the real OSC case below
    EXPECT_EQ(httpParts_->configuration.port, 8090);
    EXPECT_EQ(httpParts_->configuration.listenAddress, std::nullopt) << "all interfaces";
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    model.restartHTTPServer();
    EXPECT_EQ(model.httpStatus.get(), (BridgeServerStatus{State::failed, "Choose an interface to listen on."}));
    model.ensureListenAddressSelection();  // none to choose from
    EXPECT_EQ(store_.value(settings::selectedListenAddress), "");

    interfaces_ = {interface("eth0", "10.1.2.3"), interface("wlan0", "192.168.7.7")};
    model.ensureListenAddressSelection();
    EXPECT_EQ(store_.value(settings::selectedListenAddress), "10.1.2.3");
    store_.setValue(settings::selectedListenAddress, std::string("192.168.7.7"));
    model.ensureListenAddressSelection();  // a chosen one stays
    model.restartHTTPServer();
    EXPECT_EQ(httpParts_->configuration.listenAddress, "192.168.7.7");
    EXPECT_EQ(httpParts_->configuration.listenDisplayName, "Ethernet (wlan0) - 192.168.7.7");

    store_.setValue(settings::selectedListenAddress, std::string("10.1.2.30"));
    model.restartOSCServer();
    EXPECT_EQ(model.oscStatus.get(), (BridgeServerStatus{State::failed, "Selected interface is unavailable."}));
    EXPECT_EQ(model.currentServerID("OSC"), 0u);
}

// Started without a display, the program tells where each server listens, or why it does not,
// once for each settled status.
TEST_F(ModelTest, AnnouncementsTellWhereEachServerListensOnceItSettles) {
    interfaces_ = {interface("eth0", "10.1.2.3"), interface("wlan0", "192.168.7.7")};
    store_.setValue(settings::bluetoothEnabled, true);
    auto& model = start();
    std::vector<std::string> lines;
    ServerAnnouncements announcements(model, [&](const std::string& line) { lines.push_back(line); });
    const auto report = [&](auto& parts, const char* name, BridgeServerStatus status) {
        parts->statusHandler(model.currentServerID(name), std::move(status));
    };
    report(httpParts_, "HTTP", {State::starting, "Starting on all interfaces, port 8090"});
    report(httpParts_, "HTTP", {State::running, "Listening on all interfaces, port 8090"});
    report(oscParts_, "OSC", {State::failed, "OSC port 48000 is currently in use."});
    report(bluetoothParts_, "Bluetooth", {State::failed, "Bluetooth is unavailable."});
    report(httpParts_, "HTTP", {State::starting, "Starting on all interfaces, port 8090"});
    report(httpParts_, "HTTP", {State::running, "Listening on all interfaces, port 8090"});
    store_.setValue(settings::oscEnabled, false);
    model.restartOSCServer();
    store_.setValue(settings::bluetoothEnabled, false);  // off unless asked for: not worth a line
    model.restartBluetoothServer();
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::specificInterface);
    store_.setValue(settings::selectedListenAddress, std::string("192.168.7.7"));
    model.restartHTTPServer();
    report(httpParts_, "HTTP", {State::running, "Listening on Ethernet (wlan0) - 192.168.7.7, port 8090"});
    // A problem is told as it arises, once while it stands.
    model.storageNotices.set(StorageNoticeBoard::Kind::secrets, secretsNotice("the keyring is locked"));
    model.storageNotices.set(StorageNoticeBoard::Kind::settingsWrite, std::string("Settings could not be saved."));
    model.storageNotices.set(StorageNoticeBoard::Kind::secrets, std::nullopt);
    model.stopServers();  // as the program ends
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "Pavonix: HTTP: Listening on all interfaces, port 8090; control page: "
                         "http://10.1.2.3:8090/ or http://192.168.7.7:8090/ or http://127.0.0.1:8090/",
                         "Pavonix: OSC did not start: OSC port 48000 is currently in use.",
                         "Pavonix: Bluetooth did not start: Bluetooth is unavailable.",
                         "Pavonix: OSC is switched off in the settings.",
                         "Pavonix: HTTP: Listening on Ethernet (wlan0) - 192.168.7.7, port 8090; control page: "
                         "http://192.168.7.7:8090/",
                         "Pavonix: Pairing secrets could not be read: the keyring is locked.",
                         "Pavonix: Settings could not be saved."}));
    EXPECT_EQ(controlPageAddresses(network::NetworkListenMode::localhost, "", interfaces_, 80),
              std::vector<std::string>{"http://127.0.0.1:80/"});
}

TEST_F(ModelTest, PollingRefreshesAndRescansUntilTheModelGoesAway) {
    openSavedDeck(42);
    pollInterval_ = std::chrono::milliseconds(5);
    start();
    EXPECT_TRUE(model_->presentationApplicationRunning.get());
    ASSERT_TRUE(dispatch::runMainQueue([&] { return scans_ >= 5; }));
    windowSystem_->removeWindow(42);
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

    store_.setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    now_ += std::chrono::seconds(5);
    auto done = model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    EXPECT_EQ(done.message, "PowerPoint can only be controlled on macOS.");
    EXPECT_EQ(model.lastCommand.get(), (CommandLogEntry{CommandSource::userInterface, done, now_}));
}

TEST_F(ModelTest, GoogleSlidesWindowSelectionSavesTheWindowAndDescribesTheTarget) {
    windows_ = {{42, 77, "Chromium", "chromium", "Deck - Google Slides", "pid 77"}};
    store_.setValue(settings::presentationProvider, PresentationProvider::googleSlides);
    auto& model = start();
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Google Slides window");
    EXPECT_EQ(model.googleSlidesWindowTargets.get(), windows_);

    EXPECT_EQ(model.selectGoogleSlidesWindow(42),
              (PresentationWindowSelectionResult{ResultStatus::ok, "Selected Chromium - Deck - Google Slides.", 42}));
    EXPECT_EQ(model.targetDescription(PresentationProvider::googleSlides), "Chromium - Deck - Google Slides");
    EXPECT_EQ(model.selectGoogleSlidesWindow(9),  // a failure reports the saved window
              (PresentationWindowSelectionResult{ResultStatus::failed, std::string(LanternpostModel::windowNotOpenMessage), 42}));

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

    // The HTTP and OSC sources are pinned by the road test and the program's OSC test; the OSC
    // server's handler is the same command handler as the HTTP one.
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
    EXPECT_EQ(bt.slideList().message, gone);
    EXPECT_EQ(httpHandlers.windowSelection(42), (PresentationWindowSelectionResult{ResultStatus::failed, gone, 0}));
    EXPECT_EQ(pairingPayload(bt), std::nullopt);
    bt.pairSeen("lpb_x");
    httpStatus(id, {State::running, "late"});  // nothing to tell: no crash
    EXPECT_EQ(store_.value(settings::presentationProvider), PresentationProvider::googleSlides);
}

// ---- Pairings and remote targets ------------------------------------------------------------------

TEST_F(ModelTest, HTTPPairingsAreStoredAndRemovedWithTheirSecretAndRestartTheServer) {
    auto& model = start();
    useKeychain(nullptr);
    EXPECT_THROW(addHTTPPairing("Phone"), remote::HTTPPairingStoreError);
    EXPECT_TRUE(store_.value(settings::httpPairedDevices).empty());
    EXPECT_EQ(servers_.size(), 2u) << "OSC and HTTP, Bluetooth being off; nothing restarted";

    useKeychain(std::make_shared<keychain::MemoryStore>());
    store_.setValue(settings::httpAuthenticationEnabled, true);
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model.currentServerID("HTTP") == 3u; }));
    // A request signed before a restart cannot be replayed after it.
    ASSERT_TRUE(httpParts_->authenticator->recordNonce("n1", "lpp_earlier", 1000));
    const auto setup = addHTTPPairing("Phone");
    EXPECT_EQ(store_.value(settings::httpPairedDevices), std::vector<HTTPPairedDevice>{setup.device});
    EXPECT_EQ(model.currentServerID("HTTP"), 4u) << "the server was restarted with the new pair";
    EXPECT_FALSE(httpParts_->authenticator->recordNonce("n1", "lpp_earlier", 1001));
    const auto secret = keychainReadData(keychainQuery(httpAuthKeychainService, setup.device.id));
    ASSERT_TRUE(secret);
    EXPECT_TRUE(httpParts_->authenticator->configuration().isEnabled);
    EXPECT_EQ(httpParts_->authenticator->configuration().credentials,
              (std::vector<HTTPAuthCredential>{{setup.device.id, *secret}}));

    model.removeHTTPPairing(setup.device.id);
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !keychainReadData(keychainQuery(httpAuthKeychainService, setup.device.id)); }));
    EXPECT_EQ(model.currentServerID("HTTP"), 5u);
    EXPECT_TRUE(httpParts_->authenticator->configuration().credentials.empty());
}

// As another copy of the program on the same settings file changes them: the store takes the
// change in, and the running server must not keep the old switch or a removed pair.
TEST_F(ModelTest, TheHTTPServerFollowsSigningChangesMadeOutsideTheModel) {
    auto& model = start();
    addHTTPPairing("Phone");
    const auto before = model.currentServerID("HTTP");
    EXPECT_FALSE(httpParts_->authenticator->configuration().isEnabled);

    store_.setValue(settings::httpAuthenticationEnabled, true);
    ASSERT_TRUE(dispatch::runMainQueue([&] { return httpParts_->authenticator->configuration().isEnabled; }));
    EXPECT_EQ(model.currentServerID("HTTP"), before + 1);

    store_.setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{});
    ASSERT_TRUE(dispatch::runMainQueue([&] { return httpParts_->authenticator->configuration().credentials.empty(); }));

    // The model's own changes rebuild the server once, not again when the store reports them.
    store_.setValue(settings::pavonixName, std::string("Stage"));
    model.restartHTTPServer();
    const auto settled = model.currentServerID("HTTP");
    dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(model.currentServerID("HTTP"), settled);
}

// Through the handlers the Bluetooth server holds.
TEST_F(ModelTest, BluetoothPairingsAreOfferedOnlyWhileDiscoverableAndSeenPairsAreStamped) {
    store_.setValue(settings::pavonixName, std::string("  Stage  "));
    store_.setValue(settings::bluetoothEnabled, true);
    start();
    ASSERT_TRUE(bluetoothParts_);
    EXPECT_FALSE(bluetoothParts_->allowsPairing);
    const auto handlers = bluetoothParts_->handlers;
    EXPECT_EQ(pairingPayload(handlers), std::nullopt);
    store_.setValue(settings::bluetoothDiscoverable, true);
    model_->restartBluetoothServer();
    EXPECT_TRUE(bluetoothParts_->allowsPairing);
    const auto payload = pairingPayload(handlers);
    ASSERT_TRUE(payload);
    EXPECT_EQ(*payload, (BluetoothPairingPayload{"2", payload->pairID, payload->secret, "HMAC-SHA256", "Stage"}));
    const std::string pair = payload->pairID;
    const Date paired = now_;  // not seen before its first request
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices),
              (std::vector<BluetoothPairedDevice>{{pair, "Bluetooth Remote", paired, std::nullopt}}));

    model_->saveBluetoothPairedDevice({"lpb_other", "Other", paired, std::nullopt});
    model_->saveBluetoothPairedDevice({pair, "Renamed", paired, std::nullopt});  // the same pair: replaced
    now_ += std::chrono::seconds(30);
    handlers.pairSeen("lpb_other");
    handlers.pairSeen("lpb_unknown");
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices),
              (std::vector<BluetoothPairedDevice>{{pair, "Renamed", paired, std::nullopt},
                                                  {"lpb_other", "Other", paired, now_}}));
    // Shown to the minute: seen again within it is not written, a minute on it is.
    const Date seen = now_;
    now_ += std::chrono::seconds(59);
    handlers.pairSeen("lpb_other");
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices)[1].lastSeenAt, seen);
    now_ += std::chrono::seconds(1);
    handlers.pairSeen("lpb_other");
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices)[1].lastSeenAt, now_);

    const auto secret = keychainReadData(keychainQuery(bluetoothAuthKeychainService, pair));
    ASSERT_TRUE(secret);
    EXPECT_TRUE(handlers.isPaired(pair));
    EXPECT_FALSE(handlers.isPaired("lpb_unknown"));
    EXPECT_EQ(handlers.secrets->read(pair), secret);
    EXPECT_EQ(handlers.secrets->read("lpb_other"), std::nullopt) << "lpb_other has no secret";
    model_->removeBluetoothPairedDevice(pair);  // refused from its next request on
    EXPECT_FALSE(handlers.isPaired(pair));
    EXPECT_EQ(handlers.secrets->cached(pair), std::nullopt);
    EXPECT_EQ(store_.value(settings::bluetoothPairedDevices).size(), 1u);
    // A pair whose payload reached no one goes with its secret; the server stays.
    const std::string unread = pairingPayload(handlers)->pairID;
    const auto server = model_->currentServerID("Bluetooth");
    handlers.removePairing(unread);
    EXPECT_FALSE(handlers.isPaired(unread));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !keychainReadData(keychainQuery(bluetoothAuthKeychainService, unread)); }));
    EXPECT_EQ(model_->currentServerID("Bluetooth"), server);
    // Removed while its record is being written (from the sheet, or by another copy): handed to no
    // one, its secret gone.
    std::string removed;
    const auto listed = store_.value(settings::bluetoothPairedDevices).size();
    EXPECT_EQ(pairingOutcome(handlers, [&] {
                  // Listed once its secret is saved, off the main thread.
                  ASSERT_TRUE(dispatch::runMainQueue([&] { return store_.value(settings::bluetoothPairedDevices).size() > listed; }));
                  removed = store_.value(settings::bluetoothPairedDevices).back().id;
                  model_->removeBluetoothPairedDevice(removed);
              }).payload,
              std::nullopt);
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !keychainReadData(keychainQuery(bluetoothAuthKeychainService, removed)); }));

    useKeychain(nullptr);
    EXPECT_EQ(pairingPayload(handlers), std::nullopt);
    EXPECT_EQ(model_->bluetoothStatus.get(),
              (BridgeServerStatus{State::failed, "Unable to save Bluetooth pairing secret in Keychain. Status -25291 (no Secret Service answered)."}));
}

// A keyring that has just stopped answering holds a save for its time-out, and a keychain file on a
// slow disk for its writes: a new pair's secret is saved where that holds up neither the window nor
// the peers (any central may ask for a pairing while Discoverable is on). So is a removed pair's deleted.
TEST_F(ModelTest, PairsSecretsAreSavedAndDeletedOffTheMainThread) {
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
    std::vector<std::thread::id> savers;
    std::atomic<int> deletes{0};
    std::atomic<bool> deletedOnMain{false};
    start([&, mainThread = std::this_thread::get_id()](LanternpostModelDependencies& deps) {
        deps.deleteKeychainItem = [&, mainThread, remove = deps.deleteKeychainItem](const KeychainQuery& query) {
            if (std::this_thread::get_id() == mainThread) deletedOnMain = true;
            ++deletes;
            return remove(query);
        };
        deps.createHTTPPairing = [&savers, make = deps.createHTTPPairing](const std::string& name, Date now) {
            savers.push_back(std::this_thread::get_id());
            return make(name, now);
        };
        deps.createBluetoothPairing = [&savers, make = deps.createBluetoothPairing](const std::string& name, Date now) {
            savers.push_back(std::this_thread::get_id());
            return make(name, now);
        };
    });
    const auto setup = addHTTPPairing("Phone");
    const auto payload = pairingPayload(bluetoothParts_->handlers);
    ASSERT_TRUE(payload);
    ASSERT_EQ(savers.size(), 2u);
    EXPECT_NE(savers[0], std::this_thread::get_id());
    EXPECT_NE(savers[1], std::this_thread::get_id());
    model_->removeHTTPPairing(setup.device.id);
    model_->deleteBluetoothSecret(payload->pairID);  // as the sheet removes a Bluetooth pair
    EXPECT_TRUE(dispatch::runMainQueue([&] { return deletes == 2; }));
    EXPECT_FALSE(deletedOnMain);
}

// A central asks the real server for "next" as the pair `pairID`, signing with `secret`; the
// message of the answer it then reads (empty when none came).
std::string askNext(peripheral::testing::MemoryPeripheral& radio, const std::string& pairID, const Bytes& secret,
                    const std::string& nonce) {
    const std::string body = R"({"requestID":"r","kind":"command","command":{"action":"showNext"}})";
    bluetooth::BluetoothSignedRequest request{pairID, std::to_string(std::time(nullptr)), nonce, "",
                                              Bytes(body.begin(), body.end())};
    request.signature = signing::requestSignature(
        secret, signing::canonicalRequestText(signing::kSignatureAlgorithm, bluetooth::kSignedMethod,
                                              bluetooth::kSignedPath, signing::requestBodyHash(request.body),
                                              request.timestamp, request.nonce));
    EXPECT_EQ(radio.write("phone", std::string(bluetooth::kRequestCharacteristicUUID),
                          bluetooth::encodeBluetoothDocument(Json(request))),
              peripheral::ATTResult::success);
    const auto answer = radio.read("phone", std::string(bluetooth::kResponseCharacteristicUUID));
    return answer ? Json::parse(answer->value)["message"].get<std::string>() : std::string();
}

// The program's own server, as the model's real dependencies build it, over a radio in memory: a
// central pairs only while Discoverable is on, and a removed pairing is refused from its next request.
TEST_F(ModelTest, BluetoothCentralsPairThroughTheRealServerAndLoseARemovedPairingAtOnce) {
    using peripheral::ATTResult;
    const std::string pairing(bluetooth::kPairingCharacteristicUUID);
    auto radio = std::make_shared<peripheral::testing::MemoryPeripheral>();
    store_.setValue(settings::bluetoothEnabled, true);
    auto& model = start([&](LanternpostModelDependencies& deps) {
        deps.makeBluetoothServer = [radio](BluetoothServerParts parts) {
            return makeRealBluetoothServer(std::move(parts), radio->factory());
        };
    });
    // A restart takes the old service down at once; the new one is published before it says so.
    const auto running = [&](const std::string& detail) {
        EXPECT_TRUE(dispatch::runMainQueue(
            [&] { return model.bluetoothStatus.get().detail == detail && !radio->services().empty(); }))
            << model.bluetoothStatus.get().detail;
    };
    const auto offersPairing = [&] {
        const auto services = radio->services();
        const auto& characteristics = services.at(0).characteristics;
        return std::any_of(characteristics.begin(), characteristics.end(), [&](const auto& c) { return c.uuid == pairing; });
    };
    running("Bluetooth controls ready");
    EXPECT_FALSE(offersPairing());
    EXPECT_EQ(radio->read("phone", pairing)->result, ATTResult::attributeNotFound);

    store_.setValue(settings::bluetoothDiscoverable, true);
    model.restartBluetoothServer();
    running("Discoverable for pairing");
    EXPECT_TRUE(offersPairing());
    const auto read = radio->read("phone", pairing);
    ASSERT_TRUE(read && read->result == ATTResult::success);
    const auto payload = Json::parse(read->value).get<BluetoothPairingPayload>();
    const HTTPAuthCredential phone{payload.pairID, *crypto::base64urlDecode(payload.secret)};

    int nonce = 0;
    const auto next = [&] { return askNext(*radio, phone.pairID, phone.secret, std::to_string(++nonce)); };
    EXPECT_NE(next(), "Bluetooth authentication failed.");
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::bluetooth);
    model.removeBluetoothPairedDevice(phone.pairID);
    EXPECT_EQ(next(), "Bluetooth authentication failed.");

    store_.setValue(settings::bluetoothDiscoverable, false);
    model.restartBluetoothServer();
    running("Bluetooth controls ready");
    EXPECT_FALSE(offersPairing());
}

// The secret goes with its target: the real client says so before it reaches the network.
TEST_F(ModelTest, RemoteTargetsAreAddedSelectedMovedAndRemovedWithTheirSecret) {
    settings_.defaults().set("remoteLanternpostTargets", nlohmann::json::array({"{from a newer version"}));
    auto& model = start();
    EXPECT_THROW(model.addRemoteTarget("bad", "x"), std::exception);
    EXPECT_TRUE(store_.value(settings::remoteLanternpostTargets).empty());

    const HTTPPairingSetup pairing{{"lpp_AAAAAAAAAAAAAAAA", "Desk", now_}, std::string(43, 'A')};
    const auto url = *remote::setupURL(pairing, "127.0.0.1", 9, "Hall");
    auto first = model.addRemoteTarget(url, "");
    auto second = model.addRemoteTarget(url, "Second");
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), second.id);
    model.updateRemoteTargetAddress(first.id, "  127.0.0.2 \n", 9000);
    model.updateRemoteTargetAddress(first.id, "   ", 9001);
    model.updateRemoteTargetAddress(first.id, "other", 0);
    model.updateRemoteTargetAddress("lpt_missing", "other", 9002);
    first.host = "127.0.0.2";
    first.port = 9000;
    EXPECT_EQ(store_.value(settings::remoteLanternpostTargets), (std::vector<RemoteLanternpostTarget>{first, second}));

    model.removeRemoteTarget(first.id);
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), second.id);
    std::optional<CommandResult> answer;
    model.sendRemoteCommand(PresentationCommand::stop(), first, [&](CommandResult result) { answer = result; });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->message, "Hall: The saved pairing secret is missing. Remove this remote device and add it again.");
    // One that cannot be read is not missing: why and where, and no word of removing the device.
    testing::TemporaryFolder dir;
    testing::writeFile(dir / "keychain.json", "{}");
    ASSERT_EQ(::chmod((dir / "keychain.json").c_str(), 0644), 0);
    useKeychain(std::make_shared<keychain::FileStore>((dir / "keychain.json").string()));
    answer.reset();
    model.sendRemoteCommand(PresentationCommand::stop(), second, [&](CommandResult result) { answer = result; });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return answer.has_value(); }));
    EXPECT_EQ(answer->message, "Second: The saved pairing secret could not be read: " + (dir / "keychain.json").string() +
                                   ": Open to other users (mode 0644).");
    model.removeRemoteTarget(second.id);
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "");
    EXPECT_EQ(settings_.savedFile()["remoteLanternpostTargets"], nlohmann::json::array({"{from a newer version"}));
}

// How a target is named in these texts is the controls view's test.
TEST_F(ModelTest, RemoteCommandsAreRecordedWithTheRemoteSourceWhateverTheOutcome) {
    const auto remote = std::make_shared<FakeRemoteClient>();
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.remoteClient = remote; });
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
    EXPECT_TRUE(remote->sent.empty());

    remote->reply = Json{{"status", "failed"}, {"command", "Show next"}, {"message", "Keynote is not running."}};
    EXPECT_EQ(send(PresentationCommand::showNext()),
              (CommandResult{ResultStatus::failed, "Show next", "Keynote is not running."}));
    EXPECT_EQ(remote->sent, std::vector<std::string>{"POST /show/next"});

    remote->reply = std::string("Authentication required.");
    EXPECT_EQ(send(PresentationCommand::stop()).message, "Hall: Authentication required.");
    remote->reply = Json{{"unexpected", true}};
    EXPECT_EQ(send(PresentationCommand::stop()).message, "Hall: The remote Pavonix returned an unreadable response.");
    remote->requestError = true;
    EXPECT_EQ(send(PresentationCommand::start()).message, "Hall: Unable to generate secure random bytes.");

    // A local command after a remote one replaces it as the last command; slide lists are no commands.
    model.execute(PresentationCommand::showNext(), CommandSource::userInterface);
    std::optional<SlideListResult> slides;
    remote->reply = std::string("HTTP 502");
    model.fetchRemoteSlides(target, [&](SlideListResult result) { slides = result; });
    EXPECT_FALSE(slides) << "never before the caller returns";
    ASSERT_TRUE(dispatch::runMainQueue([&] { return slides.has_value(); }));
    EXPECT_EQ(*slides, (SlideListResult{ResultStatus::failed, "Hall: HTTP 502", {}}));
    EXPECT_EQ(remote->sent.back(), "GET /slides");
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::userInterface);
}

// ---- The real Bluetooth server --------------------------------------------------------------------

// A keychain that counts its reads and notes one made on the main thread.
struct CountingStore final : keychain::Store {
    std::string name() const override { return "Counting"; }
    keychain::Status read(const keychain::ItemKey& key, keychain::Bytes& out) override {
        ++reads;
        if (dispatch::isMainThread()) mainThreadReads = true;
        return items.read(key, out);
    }
    keychain::Status add(const keychain::ItemKey& key, const keychain::Bytes& data) override { return items.add(key, data); }
    keychain::Status update(const keychain::ItemKey& key, const keychain::Bytes& data) override { return items.update(key, data); }
    keychain::Status remove(const keychain::ItemKey& key) override { return items.remove(key); }
    keychain::MemoryStore items;
    std::atomic<int> reads{0};
    std::atomic<bool> mainThreadReads{false};
};

TEST_F(ModelTest, AThousandPairsCostOneKeychainReadForARequestAndNoneForAStranger) {
    auto keychain = std::make_shared<CountingStore>();
    useKeychain(keychain);
    std::vector<BluetoothPairedDevice> devices;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = "lpb_" + std::to_string(100000 + i);
        devices.push_back({id, "Phone", now_, std::nullopt});
        keychain->items.add({std::string(bluetoothAuthKeychainService), id}, Bytes(32, std::uint8_t(i)));
    }
    store_.setValue(settings::bluetoothPairedDevices, devices);
    store_.setValue(settings::bluetoothEnabled, true);
    auto radio = std::make_shared<peripheral::testing::MemoryPeripheral>();
    start([&](LanternpostModelDependencies& deps) {
        deps.makeBluetoothServer = [radio](BluetoothServerParts parts) { return makeRealBluetoothServer(std::move(parts), radio->factory()); };
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model_->bluetoothStatus.get().state == State::running; }));

    const auto ask = [&](const std::string& pairID, std::uint8_t key, const std::string& nonce) {
        return askNext(*radio, pairID, Bytes(32, key), nonce);
    };
    EXPECT_EQ(ask("lpb_unknown", 1, "a"), "Bluetooth authentication failed.");
    EXPECT_EQ(keychain->reads, 0);
    EXPECT_EQ(ask("lpb_100500", 244, "b"), std::string(KeynoteController::unavailableMessage));
    EXPECT_EQ(keychain->reads, 1);
    EXPECT_EQ(ask("lpb_100500", 244, "c"), std::string(KeynoteController::unavailableMessage));
    EXPECT_EQ(keychain->reads, 1);
    EXPECT_FALSE(keychain->mainThreadReads);
    EXPECT_EQ(model_->lastCommand.get()->source, CommandSource::bluetooth);

    // Removed: refused at once, although its secret is still in the keychain.
    model_->removeBluetoothPairedDevice("lpb_100500");
    EXPECT_EQ(ask("lpb_100500", 244, "d"), "Bluetooth authentication failed.");
}

// ---- The real OSC server --------------------------------------------------------------------------

TEST_F(ModelTest, TheRealOSCServerReportsAPortInUseAndAStopFreesThePort) {
    // The server takes one number for UDP and TCP alike. A number the system picks for UDP alone
    // can be a TCP connection's on a busy machine, so the TCP side is held too until the start.
    int blocker = -1, reserved = -1;
    std::uint16_t port = 0;
    for (int attempt = 0; attempt < 50 && blocker < 0; ++attempt) {
        if (reserved >= 0) ::close(reserved);
        reserved = testing::bindLoopback(AF_INET, SOCK_STREAM);
        port = testing::boundPort(reserved);
        blocker = testing::bindLoopback(AF_INET, SOCK_DGRAM, port);  // someone else holds the port first
    }
    ASSERT_GE(blocker, 0);
    ::close(reserved);
    store_.setValue(settings::oscPort, std::int64_t{port});
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::localhost);
    auto& model = start([](LanternpostModelDependencies& deps) { deps.makeOSCServer = makeRealOSCServer; });
    testing::settleMainQueue();
    EXPECT_EQ(model.oscStatus.get(),
              (BridgeServerStatus{State::failed, "OSC port " + std::to_string(port) + " is currently in use."}));

    ::close(blocker);
    model.restartOSCServer();  // binding the same port again at once is the OSC server's test
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model.oscStatus.get().state == State::running; }));
    EXPECT_EQ(model.oscStatus.get().detail, "Listening on localhost (127.0.0.1), port " + std::to_string(port));
    store_.setValue(settings::oscEnabled, false);
    model.restartOSCServer();
    EXPECT_EQ(model.oscStatus.get(), BridgeServerStatus::stopped());
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", true));
    EXPECT_FALSE(network::isPortInUse(port, "127.0.0.1", false));
}

}  // namespace
}  // namespace pavonix
