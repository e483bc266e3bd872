#include "app/bluetooth/bluetooth_bridge_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <set>

#include "app/signing/request_signing.h"
#include "platform/crypto/base64.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "platform/peripheral/testing/memory_peripheral.h"

namespace pavonix::bluetooth {
namespace {

using peripheral::ATTResult;
using peripheral::ManagerState;
using peripheral::testing::MemoryPeripheral;
using State = BridgeServerStatus::State;

const std::string kRequest(kRequestCharacteristicUUID), kResponse(kResponseCharacteristicUUID),
    kPairing(kPairingCharacteristicUUID);
const HTTPAuthCredential kPhone{"lpb_phone", Bytes(32, 7)};
const HTTPAuthCredential kTablet{"lpb_tablet", Bytes(32, 9)};

class BluetoothServerTest : public ::testing::Test {
protected:
    std::shared_ptr<BluetoothBridgeServer> makeServer(bool allowsPairing) {
        BluetoothBridgeHandlers h;
        h.command = [this](const PresentationCommand& c) {
            commands.push_back(c);
            return CommandResult::ok(c, "Done.");
        };
        h.slideList = [this] { return slides; };
        h.windowList = [] { return RemotePresentationWindowListResult{ResultStatus::ok, "Found 1 window.", 4, {{4, 9, "Browser", "b", "Deck", "Deck", "d"}}}; };
        h.windowSelection = [](std::int64_t id) { return RemotePresentationWindowSelectionResult{ResultStatus::ok, "Selected.", id}; };
        h.presentationProvider = [] { return PresentationProvider::googleSlides; };
        h.presentationProviderSelection = [](PresentationProvider p) {
            return PresentationProviderSelectionResult{ResultStatus::ok, "Selected.", p};
        };
        h.pairSeen = [this](const std::string& id) { seen.push_back(id); };
        h.pairingPayload = [this](BluetoothBridgeHandlers::PairingReply reply) {
            if (settingsHeldElsewhere) return reply({std::nullopt, false});
            if (!offerPairs) return reply({});
            if (!leavesWhilePaired.empty()) radio->disconnect(std::exchange(leavesWhilePaired, ""));
            reply({BluetoothPairingPayload{"2", "lpb_" + std::to_string(++pairsMade), "s/cret", "HMAC-SHA256", "Stage"}});
        };
        h.removePairing = [this](const std::string& pairID) { removedPairs.push_back(pairID); };
        h.isPaired = [this](const std::string& pairID) {
            return std::any_of(credentials.begin(), credentials.end(), [&](const auto& c) { return c.pairID == pairID; });
        };
        // The keychain: the secrets of `credentials`, counted, and never to be read on the main thread.
        h.secrets = std::make_shared<BluetoothSecretCache>([this](const std::string& pairID) -> std::optional<Bytes> {
            ++keychainReads;
            if (dispatch::isMainThread()) mainThreadKeychainReads = true;
            if (keychainGate.valid()) keychainGate.wait();
            std::lock_guard lock(keychainMutex);
            for (const auto& c : keychain) {
                if (c.pairID == pairID) return c.secret;
            }
            return std::nullopt;
        });
        secrets = h.secrets;
        return BluetoothBridgeServer::make(
            allowsPairing, std::move(h), [this](std::uint64_t, BridgeServerStatus s) { statuses.push_back(s); },
            dispatch::makeSerialQueue("bluetooth-test"), radio->factory(), [this] { return now; });
    }

    // A server that has started and said so.
    std::shared_ptr<BluetoothBridgeServer> startServer(bool allowsPairing) {
        auto server = makeServer(allowsPairing);
        server->start();
        settle(statuses.size() + 3);
        return server;
    }

    // Drains the main queue until the server has said `count` things.
    std::vector<BridgeServerStatus> settle(std::size_t count) {
        dispatch::runMainQueue([&] { return statuses.size() >= count; }, std::chrono::seconds(5));
        pavonix::testing::settleMainQueue();
        return statuses;
    }

    Bytes signedRequest(const Json& body, std::string nonce, std::string timestamp = "",
                        std::string_view algorithm = signing::kSignatureAlgorithm, const HTTPAuthCredential& as = kPhone) {
        if (timestamp.empty()) timestamp = std::to_string(static_cast<long long>(now));
        const std::string text = encodeJSON(body);
        BluetoothSignedRequest request{as.pairID, std::move(timestamp), std::move(nonce), "", Bytes(text.begin(), text.end())};
        request.signature = signing::requestSignature(
            as.secret, signing::canonicalRequestText(algorithm, kSignedMethod, kSignedPath,
                                                     signing::requestBodyHash(request.body), request.timestamp,
                                                     request.nonce));
        return encodeBluetoothDocument(Json(request));
    }

    Json readResponse(const std::string& central = "central-A") {
        auto answer = radio->read(central, kResponse);
        EXPECT_TRUE(answer && answer->result == ATTResult::success);
        return answer ? Json::parse(answer->value) : Json();
    }

    Json ask(const Bytes& written, const std::string& central = "central-A") {
        EXPECT_EQ(radio->write(central, kRequest, written), ATTResult::success);
        return readResponse(central);
    }

    Json ask(const Json& body, const HTTPAuthCredential& as = kPhone, const std::string& central = "central-A") {
        return ask(signedRequest(body, "n" + std::to_string(++nonces), "", signing::kSignatureAlgorithm, as), central);
    }

    std::shared_ptr<MemoryPeripheral> radio = std::make_shared<MemoryPeripheral>();
    std::vector<BridgeServerStatus> statuses;
    std::vector<PresentationCommand> commands;
    std::vector<std::string> seen;
    std::vector<HTTPAuthCredential> credentials{kPhone};  // the stored pairings
    std::mutex keychainMutex;
    std::vector<HTTPAuthCredential> keychain{kPhone};
    std::atomic<int> keychainReads{0};
    std::atomic<bool> mainThreadKeychainReads{false};
    std::shared_future<void> keychainGate;  // when set, each keychain read waits for it
    std::shared_ptr<BluetoothSecretCache> secrets;
    SlideListResult slides{ResultStatus::ok, "2 slides", {{1, "Intro", "secret notes", true}, {2, "End", "more", false}}};
    bool offerPairs = true;
    bool settingsHeldElsewhere = false;  // pairings are refused as when another program holds the settings file
    std::string leavesWhilePaired;  // a central that disconnects while its pair is being made
    int pairsMade = 0;
    std::vector<std::string> removedPairs;
    int nonces = 0;
    double now = 1'700'000'000;
    pavonix::testing::MainQueueScope mainQueue;
};

TEST_F(BluetoothServerTest, PublishesTheServiceAndReportsEachStepForBothModes) {
    for (bool pairing : {true, false}) {
        statuses.clear();
        auto server = startServer(pairing);
        server->start();
        const std::string mode = pairing ? "pairing" : "controls";
        EXPECT_EQ(settle(3), (std::vector<BridgeServerStatus>{{State::starting, "Preparing Bluetooth " + mode},
                                                              {State::starting, "Starting Bluetooth " + mode},
                                                              {State::running, pairing ? "Discoverable for pairing"
                                                                                       : "Bluetooth controls ready"}}));
        std::vector<std::pair<std::string, std::optional<Bytes>>> characteristics;
        const auto services = radio->services();
        for (const auto& c : services.at(0).characteristics) characteristics.emplace_back(c.uuid, c.value);
        decltype(characteristics) expected{{std::string(kVersionCharacteristicUUID), Bytes{'2'}}, {kRequest, {}}, {kResponse, {}}};
        if (pairing) expected.insert(expected.begin() + 1, {kPairing, {}});
        EXPECT_EQ(characteristics, expected);
        EXPECT_EQ(radio->advertisement(), (peripheral::Advertisement{"Pavonix", {std::string(kServiceUUID)}}));
        server->stop();
        pavonix::testing::settleMainQueue();
    }
}

TEST_F(BluetoothServerTest, RadioChangesAndPublicationFailuresShowInTheStatus) {
    auto server = makeServer(false);
    radio->setState(ManagerState::poweredOff);
    server->start();
    EXPECT_EQ(settle(2).back(), (BridgeServerStatus{State::failed, "Bluetooth is turned off."}));
    radio->setState(ManagerState::poweredOn);
    EXPECT_EQ(settle(4).back(), (BridgeServerStatus{State::running, "Bluetooth controls ready"}));
    radio->setState(ManagerState::unsupported, "No Bluetooth adapter was found.");
    EXPECT_EQ(settle(5).back(), (BridgeServerStatus{State::failed, "No Bluetooth adapter was found."}));
    // A service the stack refused is a failure, even though advertising went on.
    radio->failNextService("Failed to create entry in database");
    radio->setState(ManagerState::poweredOn);
    EXPECT_EQ(settle(7).back(), (BridgeServerStatus{State::failed, "Failed to create entry in database"}));
    EXPECT_EQ(radio->advertisement(), std::nullopt);
    radio->failNextAdvertising("Maximum advertisements reached");
    radio->setState(ManagerState::poweredOn);
    EXPECT_EQ(settle(9).back(), (BridgeServerStatus{State::failed, "Maximum advertisements reached"}));
}

TEST_F(BluetoothServerTest, StopForgetsEverythingAndLateWorkTouchesNothing) {
    auto server = startServer(true);
    ask(Json{{"requestID", "r1"}, {"kind", "health"}});
    radio->read("central-B", kPairing);
    EXPECT_EQ(server->cachedCentralCount(), 2u);
    const auto inFlight = radio->sendWrite("central-A", kRequest,
                                           signedRequest(Json{{"requestID", "r2"}, {"kind", "command"}, {"command", {{"action", "stop"}}}}, "late"));
    server->cachedCentralCount();  // the queue has passed the write on to the main thread
    server->stop();
    EXPECT_EQ(server->cachedCentralCount(), 0u);
    server.reset();
    dispatch::runMainQueue([&] { return radio->answer(inFlight).has_value(); });
    EXPECT_EQ(statuses.back(), BridgeServerStatus::stopped());
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(radio->answer(inFlight)->result, ATTResult::unlikelyError);

    // A pair read only in part when the owner stops and drops the server at once, as the model
    // does, reaches no one and is removed all the same.
    auto next = startServer(true);
    ASSERT_EQ(radio->read("central-C", kPairing, 0, 23)->value.size(), 22u);
    next->stop();
    next.reset();
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !removedPairs.empty(); }, std::chrono::seconds(2)));
    EXPECT_EQ(removedPairs, std::vector<std::string>{"lpb_2"});
}

TEST_F(BluetoothServerTest, PairingReadsServeSlicesOfOnePayloadAndBadAccessIsRefused) {
    auto server = startServer(true);
    auto first = radio->read("c", kPairing);
    ASSERT_EQ(first->result, ATTResult::success);
    EXPECT_EQ(std::string(first->value.begin(), first->value.end()),
              R"({"algorithm":"HMAC-SHA256","deviceName":"Stage","pairID":"lpb_1","secret":"s\/cret","version":"2"})");
    EXPECT_EQ(radio->read("c", kPairing, 22)->value, Bytes(first->value.begin() + 22, first->value.end()));
    EXPECT_EQ(radio->read("c", kPairing, first->value.size())->value, Bytes{});
    EXPECT_EQ(radio->read("c", kPairing, first->value.size() + 1)->result, ATTResult::invalidOffset);
    offerPairs = false;
    EXPECT_EQ(radio->read("d", kPairing)->result, ATTResult::unlikelyError);
    EXPECT_EQ(radio->read("c", "0000180A-0000-1000-8000-00805F9B34FB")->result, ATTResult::attributeNotFound);
    EXPECT_EQ(radio->write("c", kResponse, Bytes{1}), ATTResult::attributeNotFound);
    EXPECT_EQ(radio->write("c", kRequest, std::nullopt), ATTResult::invalidAttributeValueLength);
    EXPECT_EQ(radio->write("c", kRequest, Bytes(kMaxRequestBytes + 1, ' ')), ATTResult::invalidAttributeValueLength);
    // Refusals and answers are each kept for a bounded number of centrals.
    const Bytes written = encodeBluetoothDocument(Json{{"not", "signed"}});
    for (std::size_t i = 0; i < kMaxCachedRefusals + 6; ++i) radio->write("stranger-" + std::to_string(i), kRequest, written);
    EXPECT_EQ(server->cachedCentralCount(), kMaxCachedRefusals + 1) << "and c's pairing payload";
    for (std::size_t i = 0; i < kMaxCachedCentrals + 6; ++i) ask(Json{{"requestID", "r"}, {"kind", "health"}}, kPhone, "phone-" + std::to_string(i));
    EXPECT_EQ(server->cachedCentralCount(), kMaxCachedCentrals + kMaxCachedRefusals + 1);
}

TEST_F(BluetoothServerTest, EachKindCallsItsHandler) {
    auto server = startServer(false);
    EXPECT_EQ(readResponse().dump(), R"({"message":"No Bluetooth response is available.","requestID":"","status":"failed"})");
    EXPECT_EQ(ask(Json{{"requestID", "h"}, {"kind", "health"}}).dump(),
              R"({"health":{"presentationProvider":"googleSlides","presentationProviderName":"Google Slides","status":"ok"},"message":"Google Slides is reachable.","requestID":"h","status":"ok"})");
    EXPECT_EQ(seen, std::vector<std::string>{"lpb_phone"});
    const Json listed = ask(Json{{"requestID", "s"}, {"kind", "slides"}});
    EXPECT_EQ(listed["slideList"]["slides"][0]["notes"], "");
    EXPECT_EQ(listed["slideList"]["slides"][1]["name"], "End");
    EXPECT_EQ(ask(Json{{"requestID", "w"}, {"kind", "windows"}})["windowList"]["windows"][0]["title"], "Deck");

    struct Case { Json body; std::string message; };
    const Case cases[] = {
        {{{"kind", "command"}, {"command", {{"action", "start"}, {"fromBeginning", true}}}}, "Done."},
        {{{"kind", "command"}, {"command", {{"action", "goToSlideNamed"}, {"name", " #Intro "}}}}, "Done."},
        {{{"kind", "command"}, {"command", {{"action", "goToSlideNumber"}, {"number", 3}}}}, "Done."},
        {{{"kind", "command"}, {"command", {{"action", "showPrevious"}, {"number", 3}}}}, "Done."},
        {{{"kind", "command"}, {"command", {{"action", "stop"}}}}, "Done."},
        {{{"kind", "command"}, {"command", {{"action", "goToSlideNumber"}, {"number", 0}}}}, "The Bluetooth command was invalid."},
        {{{"kind", "command"}}, "The Bluetooth command was invalid."},
        {{{"kind", "selectWindow"}, {"windowID", 4}}, "Selected."},
        {{{"kind", "selectWindow"}, {"windowID", -1}}, "The Bluetooth window selection was invalid."},
        {{{"kind", "selectPresentationProvider"}, {"presentationProvider", "powerPoint"}}, "Selected."},
        {{{"kind", "selectPresentationProvider"}, {"presentationProvider", "Keynote"}}, "The Bluetooth app selection was invalid."},
        {{{"kind", "responseChunk"}, {"chunkID", "x"}, {"chunkIndex", -1}}, "The Bluetooth response chunk request was invalid."},
    };
    for (const Case& c : cases) {
        Json body = c.body;
        body["requestID"] = "q";
        EXPECT_EQ(ask(body)["message"], c.message) << body.dump();
    }
    EXPECT_EQ(commands, (std::vector<PresentationCommand>{PresentationCommand::start(true), PresentationCommand::goToSlideNamed("Intro"),
                                                          PresentationCommand::goToSlideNumber(3), PresentationCommand::showPrevious(),
                                                          PresentationCommand::stop()}));
}

TEST_F(BluetoothServerTest, OnlyFreshValidlySignedRequestsOfKnownPairsAreServed) {
    auto server = startServer(false);
    const Json body{{"requestID", "r"}, {"kind", "health"}};
    const Bytes once = signedRequest(body, "once");
    const HTTPAuthCredential stranger{"lpb_stranger", Bytes(32, 1)};
    struct Case { Bytes written; std::string message; std::string requestID; };
    const Case cases[] = {
        {once, "Google Slides is reachable.", "r"},
        {once, "Bluetooth authentication failed.", "r"},  // replayed
        {signedRequest(body, "a", std::to_string(static_cast<long long>(now) - 120)), "Google Slides is reachable.", "r"},
        {signedRequest(body, "b", std::to_string(static_cast<long long>(now) - 121)), "Bluetooth authentication failed.", "r"},
        {signedRequest(body, "c", std::to_string(static_cast<long long>(now) + 121)), "Bluetooth authentication failed.", "r"},
        {signedRequest(body, "d", "nan"), "Bluetooth authentication failed.", "r"},
        {signedRequest(body, "e", "inf"), "Bluetooth authentication failed.", "r"},
        {signedRequest(body, "f", " 1700000000"), "Bluetooth authentication failed.", "r"},
        {signedRequest(body, "g", "", signing::kLegacySignatureAlgorithm), "Google Slides is reachable.", "r"},
        {signedRequest(body, "h", "", signing::kSignatureAlgorithm, stranger), "Bluetooth authentication failed.", "r"},
        {encodeBluetoothDocument(Json{{"pairID", "lpb_phone"}, {"timestamp", "1"}, {"nonce", "i"}, {"signature", "x"}, {"body", crypto::base64Encode(std::string("{]"))}}),
         "The Bluetooth request body was unreadable.", ""},
        {Bytes{'{', '"'}, "The Bluetooth request was unreadable.", ""},
    };
    for (const Case& c : cases) {
        const Json answer = ask(c.written);
        EXPECT_EQ(answer["message"], c.message) << std::string(c.written.begin(), c.written.end());
        EXPECT_EQ(answer["requestID"], c.requestID);
    }
    // A pairing removed in the model is refused from its next request on.
    credentials.clear();
    EXPECT_EQ(ask(body)["message"], "Bluetooth authentication failed.");
    // A rebuilt server has forgotten the nonces.
    server->stop();
    auto rebuilt = startServer(false);
    credentials = {kPhone};
    EXPECT_EQ(ask(once)["status"], "ok");
}

TEST_F(BluetoothServerTest, LongAnswersAreReadBackInChunksAndReassemble) {
    auto server = startServer(false);
    slides.slides.clear();
    for (int i = 1; i <= 12; ++i) slides.slides.push_back({i, "Slide/" + std::to_string(i), "n", false});
    Json first = ask(Json{{"requestID", "long"}, {"kind", "slides"}});
    const std::string chunkID = first["responseChunk"]["chunkID"];
    const int total = first["responseChunk"]["totalChunks"];
    ASSERT_GT(total, 2);
    EXPECT_EQ(first["message"], "Bluetooth response chunk 1 of " + std::to_string(total) + ".");
    std::string whole;
    for (int i = 0; i < total; ++i) {
        const Json chunk = i == 0 ? first : ask(Json{{"requestID", "c"}, {"kind", "responseChunk"}, {"chunkID", chunkID}, {"chunkIndex", i}});
        const Bytes data = *crypto::base64Decode(chunk["responseChunk"]["data"].get<std::string>());
        EXPECT_LE(data.size(), kChunkSize);
        whole.append(data.begin(), data.end());
    }
    SlideListResult expected = slides;
    for (auto& slide : expected.slides) slide.notes.clear();
    EXPECT_EQ(whole, encodeBluetoothJSON(Json(BluetoothResponseEnvelope::slideListEnvelope(expected, "long"))));
    // The last piece has been fetched: the set is gone.
    const Json again = ask(Json{{"requestID", "c"}, {"kind", "responseChunk"}, {"chunkID", chunkID}, {"chunkIndex", 0}});
    EXPECT_EQ(again["message"], "The Bluetooth response chunk is no longer available.");
    EXPECT_EQ(server->storedChunkSetCount(), 0u);
}

TEST_F(BluetoothServerTest, ChunkSetsExpireAfterAMinuteAndBelongToTheirPairAlone) {
    BluetoothRequestHandler handler(std::make_shared<const BluetoothBridgeHandlers>(), [this] { return now; });
    const SlideListResult big{ResultStatus::ok, std::string(470, 'x'), {}};
    const auto cut = [&](const std::string& pair) -> std::string {
        const Bytes first = handler.makeResponseData(BluetoothResponseEnvelope::slideListEnvelope(big, "r"), pair);
        return Json::parse(first)["responseChunk"]["chunkID"];
    };
    const std::string id = cut("lpb_phone");
    const std::int64_t total = 11;
    EXPECT_THAT(id, ::testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
    EXPECT_EQ(handler.responseChunk(id, total, "q", "lpb_phone").message, kChunkUnavailableMessage);
    EXPECT_EQ(handler.responseChunk(id, 1, "q", "lpb_tablet").message, kChunkUnavailableMessage);
    now += 60;
    EXPECT_EQ(handler.responseChunk(id, 1, "q", "lpb_phone").status, ResultStatus::ok);
    now += 0.5;
    EXPECT_EQ(handler.responseChunk(id, 1, "q", "lpb_phone").message, kChunkUnavailableMessage);

    // A pair's flood of long answers pushes out its own oldest sets, never another pair's.
    const std::string tablets = cut("lpb_tablet");
    std::vector<std::string> phones;
    for (std::size_t i = 0; i < kMaxChunkSetsPerPair + 4; ++i) {
        now += 0.001;
        phones.push_back(cut("lpb_phone"));
    }
    EXPECT_EQ(std::set<std::string>(phones.begin(), phones.end()).size(), phones.size());
    EXPECT_EQ(handler.storedChunkSetCount(), kMaxChunkSetsPerPair + 1);
    EXPECT_EQ(handler.responseChunk(tablets, 0, "q", "lpb_tablet").status, ResultStatus::ok);
    EXPECT_EQ(handler.responseChunk(phones[3], 0, "q", "lpb_phone").message, kChunkUnavailableMessage);
    EXPECT_EQ(handler.responseChunk(phones[4], 0, "q", "lpb_phone").status, ResultStatus::ok);
    EXPECT_EQ(BluetoothRequestHandler::splitIntoChunks(Bytes(481, 1), 96).size(), 6u);
    EXPECT_EQ(BluetoothRequestHandler::splitIntoChunks(Bytes(3, 1), 0).size(), 1u);
}

// ---- Hostile centrals -------------------------------------------------------------------------

TEST_F(BluetoothServerTest, StrangersCostNoKeychainReadAndAPairsSecretIsReadOnceOffTheMainThread) {
    auto server = startServer(false);
    const Json body{{"requestID", "r"}, {"kind", "health"}};
    const HTTPAuthCredential stranger{"lpb_stranger", Bytes(32, 1)};
    ask(Bytes{'{'});
    ask(encodeBluetoothDocument(Json{{"pairID", "lpb_phone"}, {"timestamp", "1"}, {"nonce", "i"}, {"signature", "x"},
                                     {"body", crypto::base64Encode(std::string(R"({"requestID":"r","kind":"health"})"))}}));
    for (int i = 0; i < 32; ++i) EXPECT_EQ(ask(body, stranger)["message"], kAuthenticationFailedMessage);
    EXPECT_EQ(ask(signedRequest(body, "old", "1"))["message"], kAuthenticationFailedMessage);
    EXPECT_EQ(keychainReads, 0);

    for (int i = 0; i < 3; ++i) EXPECT_EQ(ask(body)["status"], "ok");
    // Someone who knows the pair's identifier but not its secret.
    EXPECT_EQ(ask(body, HTTPAuthCredential{kPhone.pairID, Bytes(32, 2)})["message"], kAuthenticationFailedMessage);
    EXPECT_EQ(keychainReads, 1);
    EXPECT_FALSE(mainThreadKeychainReads);

    // A pair in the list whose secret is missing is refused; a removed pair at once, its
    // secret dropped.
    credentials.push_back(kTablet);
    EXPECT_EQ(ask(body, kTablet)["message"], kAuthenticationFailedMessage);
    credentials = {};
    EXPECT_EQ(ask(body)["message"], kAuthenticationFailedMessage);
    EXPECT_EQ(secrets->cached(kPhone.pairID), std::nullopt);
    EXPECT_EQ(keychainReads, 2);
}

TEST_F(BluetoothServerTest, AStrangersMadeUpPairDoesNotSpoilTheSecretBeingReadForARealOne) {
    auto server = startServer(false);
    std::promise<void> release;
    keychainGate = release.get_future().share();
    const Json body{{"requestID", "r"}, {"kind", "health"}};
    const auto phone = radio->sendWrite("central-A", kRequest, signedRequest(body, "first"));
    ASSERT_TRUE(dispatch::runMainQueue([&] { return keychainReads == 1; }, std::chrono::seconds(5)));
    // While the phone's secret is being read, a stranger names a pair that does not exist.
    EXPECT_EQ(ask(body, HTTPAuthCredential{"lpb_made_up", Bytes(32, 1)}, "central-S")["message"], kAuthenticationFailedMessage);
    release.set_value();
    ASSERT_TRUE(dispatch::runMainQueue([&] { return radio->answer(phone).has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(readResponse()["status"], "ok");
    EXPECT_EQ(ask(body)["status"], "ok");
    EXPECT_EQ(keychainReads, 1);
}

TEST_F(BluetoothServerTest, ARefusedRequestEchoesAShortRequestIDAndStoresNoChunks) {
    auto server = startServer(false);
    const HTTPAuthCredential stranger{"lpb_stranger", Bytes(32, 1)};
    struct Case { std::string requestID; std::string echoed; };
    const Case cases[] = {
        {std::string(400, '/'), std::string(64, '/')},
        {std::string(100, '\x01'), std::string(64, '\x01')},
        {"\xC3\xA9" + std::string(70, 'a'), "\xC3\xA9" + std::string(63, 'a')},
        {"short", "short"},
    };
    for (const Case& c : cases) {
        const Json answer = ask(Json{{"requestID", c.requestID}, {"kind", "slides"}}, stranger);
        EXPECT_EQ(answer["requestID"], c.echoed);
        EXPECT_EQ(answer["message"], kAuthenticationFailedMessage);
        EXPECT_LE(radio->read("central-A", kResponse)->value.size(), kChunkingThreshold);
    }
    EXPECT_EQ(server->storedChunkSetCount(), 0u);
}

TEST_F(BluetoothServerTest, NeitherStrangersNorAnotherPairPushOutAPhonesAnswerOrChunks) {
    auto server = startServer(false);
    credentials.push_back(kTablet);
    keychain.push_back(kTablet);
    for (int i = 1; i <= 12; ++i) slides.slides.push_back({i + 2, "Slide " + std::to_string(i), "", false});
    const Json first = ask(Json{{"requestID", "long"}, {"kind", "slides"}});
    const std::string chunkID = first["responseChunk"]["chunkID"];
    const int total = first["responseChunk"]["totalChunks"];

    const HTTPAuthCredential stranger{"lpb_stranger", Bytes(32, 1)};
    for (int i = 0; i < 40; ++i) {
        ask(Json{{"requestID", std::string(400, '/')}, {"kind", "slides"}}, stranger, "central-S");
        ask(Json{{"requestID", "t"}, {"kind", "slides"}}, kTablet, "central-T");
    }
    // Seventy strangers, with junk, a made-up pair and a forgery of the phone's, each refused.
    const HTTPAuthCredential forger{kPhone.pairID, Bytes(32, 2)};
    for (int i = 0; i < 70; ++i) {
        const std::string central = "stranger-" + std::to_string(i);
        const Json refused = i % 3 == 0 ? ask(Bytes{'{'}, central)
                                        : ask(Json{{"requestID", "s"}, {"kind", "slides"}}, i % 3 == 1 ? stranger : forger, central);
        EXPECT_EQ(refused["status"], "failed");
    }
    EXPECT_EQ(readResponse(), first);
    for (int i = 1; i < total; ++i) {
        const Json chunk = ask(Json{{"requestID", "c"}, {"kind", "responseChunk"}, {"chunkID", chunkID}, {"chunkIndex", i}});
        EXPECT_EQ(chunk["status"], "ok") << chunk.dump();
    }
    // The tablet cannot read the phone's answer even knowing its chunk identifier.
    const Json other = ask(Json{{"requestID", "l"}, {"kind", "slides"}});
    const Json taken = ask(Json{{"requestID", "x"}, {"kind", "responseChunk"}, {"chunkID", other["responseChunk"]["chunkID"]}, {"chunkIndex", 0}},
                           kTablet, "central-T");
    EXPECT_EQ(taken["message"], kChunkUnavailableMessage);
    EXPECT_EQ(server->storedChunkSetCount(), 1 + kMaxChunkSetsPerPair);
}

TEST_F(BluetoothServerTest, EachCentralPairsOnceAndAServerGrantsEightPairings) {
    auto server = startServer(true);
    const auto payloadOf = [](const std::optional<MemoryPeripheral::Answer>& answer) {
        return answer && answer->result == ATTResult::success ? Json::parse(answer->value)["pairID"].get<std::string>()
                                                              : std::string("refused");
    };
    EXPECT_EQ(payloadOf(radio->read("c0", kPairing)), "lpb_1");
    EXPECT_EQ(payloadOf(radio->read("c0", kPairing)), "lpb_1");
    // A pairing that could not be made counts as well: a stranger must not be able to make the
    // program try again and again while pairings fail.
    offerPairs = false;
    EXPECT_EQ(payloadOf(radio->read("c1", kPairing)), "refused");
    offerPairs = true;
    // Only another program's hold on the settings file is no one's doing here: its refusals, more
    // than a period allows, leave the count as it was.
    settingsHeldElsewhere = true;
    for (int i = 0; i < 9; ++i) EXPECT_EQ(payloadOf(radio->read("h" + std::to_string(i), kPairing)), "refused");
    settingsHeldElsewhere = false;
    // A stranger that starts a read (one 22-byte piece) and leaves, or leaves while its pair is
    // being made, over and over: each pair it never read in full is removed again, and each
    // attempt counts as well.
    for (int i = 0; i < 3; ++i) {
        if (i == 2) leavesWhilePaired = "s";
        EXPECT_EQ(radio->read("s", kPairing, 0, 23)->value.size(), i < 2 ? 22u : 0u);
        radio->disconnect("s");
    }
    for (int i = 1; i < 4; ++i) EXPECT_EQ(payloadOf(radio->read("c" + std::to_string(i), kPairing)), "lpb_" + std::to_string(i + 4));
    EXPECT_EQ(payloadOf(radio->read("c7", kPairing)), "refused");
    EXPECT_EQ(payloadOf(radio->read("s", kPairing, 0, 23)), "refused");
    EXPECT_EQ(payloadOf(radio->read("c9", kPairing, 5)), "refused");
    EXPECT_EQ(pairsMade, 7);
    EXPECT_EQ(removedPairs, (std::vector<std::string>{"lpb_2", "lpb_3", "lpb_4"}));
    EXPECT_EQ(payloadOf(radio->read("c3", kPairing)), "lpb_7");
    const BridgeServerStatus limit{State::running, std::string(kPairingLimitMessage)};
    EXPECT_EQ(settle(4).back(), limit);
    // The radio coming back does not hide it.
    radio->setState(ManagerState::poweredOn);
    EXPECT_EQ(settle(6).back(), limit);

    server->stop();
    auto next = startServer(true);
    EXPECT_EQ(payloadOf(radio->read("c8", kPairing)), "lpb_8");
    EXPECT_EQ(statuses.back().detail, "Discoverable for pairing");
}

TEST_F(BluetoothServerTest, AnswersAndPayloadsGoWithTheirCentralOrAfterAMinute) {
    auto server = startServer(true);
    const std::string none(kNoResponseMessage);
    const Json body{{"requestID", "r"}, {"kind", "health"}};
    EXPECT_EQ(ask(body)["status"], "ok");
    now += kCentralCacheLifetimeSeconds;
    EXPECT_EQ(readResponse()["status"], "ok");
    now += 0.5;
    EXPECT_EQ(readResponse()["message"], none);

    EXPECT_EQ(ask(body)["status"], "ok");
    ASSERT_EQ(radio->read("central-A", kPairing)->result, ATTResult::success);
    radio->disconnect("central-A");
    EXPECT_EQ(readResponse()["message"], none);
    // The central has had its pairing: whoever connects next under its name gets nothing.
    EXPECT_EQ(radio->read("central-A", kPairing)->result, ATTResult::unlikelyError);
    EXPECT_EQ(radio->read("central-A", kPairing, 10)->result, ATTResult::unlikelyError);

    ASSERT_EQ(radio->read("central-B", kPairing)->result, ATTResult::success);
    now += kCentralCacheLifetimeSeconds + 1;
    EXPECT_EQ(radio->read("central-B", kPairing, 10)->result, ATTResult::unlikelyError);
    EXPECT_EQ(pairsMade, 2);
    EXPECT_EQ(server->cachedCentralCount(), 0u);

    // A pairing read in full in 22-byte pieces has been had; one still unread in full when its
    // minute is up is no one's: the pair goes, and the central can read a new one.
    for (std::size_t offset = 0, got = 22; got == 22; offset += 22) got = radio->read("central-D", kPairing, offset, 23)->value.size();
    radio->disconnect("central-D");
    EXPECT_EQ(radio->read("central-D", kPairing)->result, ATTResult::unlikelyError);
    radio->read("central-E", kPairing, 0, 23);
    now += kCentralCacheLifetimeSeconds + 1;
    EXPECT_EQ(Json::parse(radio->read("central-E", kPairing)->value)["pairID"], "lpb_5");
    pavonix::testing::settleMainQueue();
    EXPECT_EQ(removedPairs, std::vector<std::string>{"lpb_4"});

    // An answer that arrives after its central left is not kept either.
    const auto late = radio->sendWrite("central-C", kRequest, signedRequest(body, "late"));
    radio->disconnect("central-C");
    dispatch::runMainQueue([&] { return radio->answer(late).has_value(); });
    EXPECT_EQ(radio->answer(late)->result, ATTResult::success);
    EXPECT_EQ(readResponse("central-C")["message"], none);
}

}  // namespace
}  // namespace pavonix::bluetooth
