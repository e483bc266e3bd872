// The Bluetooth road without a radio: the real model and Bluetooth server over the BlueZ backend,
// against a stand-in bluetoothd on a private bus (platform/bluez/testing) that plays the phones. A
// broken wire anywhere between a central's ATT request and the presentation fails it, and so does
// a server that stays dark after bluetoothd or the bus came back.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "app/signing/request_signing.h"
#include "app/http/http_request_authenticator.h"
#include "app/model/testing/model_fixture.h"
#include "platform/bluez/bluez_peripheral_manager.h"
#include "platform/bluez/testing/fake_bluez.h"
#include "platform/crypto/base64.h"

namespace pavonix {
namespace {

using bluetooth::BluetoothRequestBody;
using bluez::testing::FakeBluez;
using bluez::testing::kPhone;
using bluez::testing::kStranger;
using State = BridgeServerStatus::State;
using namespace std::chrono_literals;

const std::string kPairing(bluetooth::kPairingCharacteristicUUID), kRequest(bluetooth::kRequestCharacteristicUUID),
    kResponse(bluetooth::kResponseCharacteristicUUID);
const BridgeServerStatus kDiscoverable{State::running, "Discoverable for pairing"};

// A presentation application that does what it is told and has more slides than one answer carries.
struct StageController : PresentationController {
    bool isAvailable(std::string_view) override { return true; }
    CommandResult perform(const PresentationCommand& command, std::string_view) override {
        performed.push_back(command.displayText());
        return CommandResult::ok(command, "Done.");
    }
    SlideListResult listSlides(std::string_view) override {
        SlideListResult result{ResultStatus::ok, "12 slides", {}};
        for (int number = 1; number <= 12; ++number) {
            result.slides.push_back({number, "Chapter " + std::to_string(number) + " of the talk", "my notes", true});
        }
        return result;
    }
    std::vector<std::string> performed;
};

class BluetoothRoadTest : public testing::ModelTest {
protected:
    LanternpostModel& startOverBluez(SettingsStore* settings = nullptr) {
        if (!settings) settings = &store_;
        settings->setValue(settings::bluetoothEnabled, true);
        settings->setValue(settings::bluetoothDiscoverable, true);
        return start([this, settings](LanternpostModelDependencies& deps) {
            deps.settings = settings;
            deps.keynote = stage_;
            deps.makeBluetoothServer = [this](BluetoothServerParts parts) {
                return makeRealBluetoothServer(
                    std::move(parts), bluez::bluezPeripheralFactory(
                                          fake_.address(), {.firstReconnectDelay = 20ms, .longestReconnectDelay = 80ms}));
            };
        });
    }

    bool statusBecomes(const BridgeServerStatus& status) {
        const bool reached = dispatch::runMainQueue([&] { return model_->bluetoothStatus.get() == status; });
        EXPECT_TRUE(reached) << "still " << model_->bluetoothStatus.get().detail;
        return reached;
    }

    // The service as the stand-in holds it: the characteristics (sorted) and the advertised name.
    nlohmann::json publication() {
        const auto registered = fake_.registrations();
        nlohmann::json names = nlohmann::json::array();
        for (const auto& advertisement : registered["advertisements"]) names.push_back(advertisement["LocalName"]);
        return {registered["applications"], names};
    }
    static nlohmann::json published() {
        return {{{bluetooth::kRequestCharacteristicUUID, bluetooth::kPairingCharacteristicUUID,
                  bluetooth::kResponseCharacteristicUUID, bluetooth::kVersionCharacteristicUUID}},
                {"Pavonix"}};
    }

    // Pairs through the pairing characteristic, as a phone does once.
    void pair() {
        const Bytes payload = fake_.readLong(kPhone, kPairing);
        const auto json = Json::parse(payload);
        pairID_ = json.at("pairID");
        secret_ = crypto::base64urlDecode(json.at("secret").get<std::string>()).value_or(Bytes{});
    }

    Bytes signedRequest(const Json& body, const Bytes& secret) {
        const std::string text = bluetooth::encodeBluetoothJSON(body);
        bluetooth::BluetoothSignedRequest request{pairID_, std::to_string(static_cast<long long>(signing::systemWallClock())),
                                                  "nonce-" + std::to_string(++nonces_), "", Bytes(text.begin(), text.end())};
        request.signature = signing::requestSignature(
            secret, signing::canonicalRequestText(signing::kSignatureAlgorithm, bluetooth::kSignedMethod,
                                                  bluetooth::kSignedPath, signing::requestBodyHash(request.body),
                                                  request.timestamp, request.nonce));
        return bluetooth::encodeBluetoothDocument(Json(request));
    }

    // Writes a request and reads its answer back at increasing offsets.
    Json ask(const std::string& device, const Bytes& written) {
        fake_.write(device, kRequest, written);
        return Json::parse(fake_.readLong(device, kResponse));
    }
    Json ask(const Json& body) { return ask(kPhone, signedRequest(body, secret_)); }

    static Json command(std::string requestID, std::string action) {
        return {{"requestID", requestID}, {"kind", "command"}, {"command", {{"action", action}}}};
    }

    FakeBluez fake_{{}, [](const std::function<bool()>& done) { return dispatch::runMainQueue(done); }};
    std::shared_ptr<StageController> stage_ = std::make_shared<StageController>();
    std::string pairID_;
    Bytes secret_;
    int nonces_ = 0;
    std::optional<testing::TemporarySettings> slowDisk_;  // outlives the model, which TearDown ends
};

TEST_F(BluetoothRoadTest, PairsRunsASignedCommandServesALongAnswerInChunksAndRefusesAStranger) {
    // The adapter is there before its advertising manager, as at boot.
    fake_.setInterfaces({bluez::testing::kAdapterInterface, bluez::testing::kGattManagerInterface});
    startOverBluez();
    ASSERT_TRUE(statusBecomes({State::failed, "The Bluetooth adapter is not ready for LE peripheral mode."}));
    fake_.setInterfaces({bluez::testing::kAdapterInterface, bluez::testing::kGattManagerInterface,
                         bluez::testing::kAdvertisingManagerInterface});
    ASSERT_TRUE(statusBecomes(kDiscoverable));
    EXPECT_EQ(publication(), published());

    pair();
    const auto paired = store_.value(settings::bluetoothPairedDevices);
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(std::tuple(paired[0].id, secret_.size()), std::tuple(pairID_, 32u));

    const Json done = ask(command("r1", "showNext"));
    EXPECT_EQ(std::tuple(done["requestID"], done["status"], done["commandResult"]["command"]),
              std::tuple(Json("r1"), Json("ok"), Json("Show next")));
    EXPECT_EQ(stage_->performed, std::vector<std::string>{"Show next"});
    ASSERT_TRUE(model_->lastCommand.get());
    EXPECT_EQ(model_->lastCommand.get()->source, CommandSource::bluetooth);

    // Longer than one answer: chunk 0 comes with the answer, the others on request.
    Json chunk = ask({{"requestID", "r2"}, {"kind", "slides"}});
    const std::int64_t total = chunk["responseChunk"]["totalChunks"];
    ASSERT_GT(total, 1);
    Bytes whole = *crypto::base64Decode(chunk["responseChunk"]["data"].get<std::string>());
    for (std::int64_t index = 1; index < total; ++index) {
        chunk = ask({{"requestID", "r2." + std::to_string(index)},
                     {"kind", "responseChunk"},
                     {"chunkID", chunk["responseChunk"]["chunkID"]},
                     {"chunkIndex", index}});
        ASSERT_EQ(chunk["responseChunk"]["chunkIndex"], index) << chunk.dump();
        const Bytes piece = *crypto::base64Decode(chunk["responseChunk"]["data"].get<std::string>());
        whole.insert(whole.end(), piece.begin(), piece.end());
    }
    const Json slides = Json::parse(whole);
    EXPECT_EQ(std::tuple(slides["requestID"], slides["slideList"]["slides"].size(), slides["slideList"]["slides"][11]["name"],
                         slides["slideList"]["slides"][11]["notes"]),
              std::tuple(Json("r2"), 12u, Json("Chapter 12 of the talk"), Json("")));

    // Strangers in range write junk and forgeries under the phone's pair, seventy of them; none
    // acts, and the phone's answer stays where it was.
    const Json phoneAnswer = Json::parse(fake_.readLong(kPhone, kResponse));
    for (int i = 10; i < 80; ++i) {
        fake_.write("dev_66_55_44_33_22_" + std::to_string(i), kRequest,
                    i % 2 ? Bytes{'{', '}'} : signedRequest(command("x", "showPrevious"), Bytes(32, 7)));
    }
    EXPECT_EQ(ask(kStranger, Bytes{'{', '}'})["message"], "The Bluetooth request was unreadable.");
    EXPECT_EQ(ask(kStranger, signedRequest(command("x1", "showPrevious"), Bytes(32, 7)))["message"],
              "Bluetooth authentication failed.");
    EXPECT_EQ(stage_->performed, std::vector<std::string>{"Show next"});
    EXPECT_EQ(Json::parse(fake_.readLong(kPhone, kResponse)), phoneAnswer);

    // Once BlueZ says the phone left (the news comes before any later request of it), its answer is
    // no one's to read under that address.
    fake_.disconnect(kPhone);
    EXPECT_EQ(Json::parse(fake_.readLong(kPhone, kResponse))["message"], "No Bluetooth response is available.");
}

TEST_F(BluetoothRoadTest, PublishesAgainWhenBluetoothdAndTheBusComeBack) {
    startOverBluez();
    ASSERT_TRUE(statusBecomes(kDiscoverable));
    pair();

    fake_.stopBluetoothd();
    ASSERT_TRUE(statusBecomes({State::failed, "Bluetooth is not available: the Bluetooth service (bluetoothd) is not running."}));
    fake_.startBluetoothd();
    ASSERT_TRUE(statusBecomes(kDiscoverable));
    EXPECT_EQ(publication(), published());
    EXPECT_EQ(ask(command("r1", "showNext"))["status"], "ok");

    fake_.restartBus(300ms);
    ASSERT_TRUE(statusBecomes({State::failed, "Bluetooth is not available: the system message bus could not be reached."}));
    ASSERT_TRUE(statusBecomes(kDiscoverable));
    EXPECT_EQ(publication(), published());
    EXPECT_EQ(ask(command("r2", "showPrevious"))["status"], "ok");
    EXPECT_EQ(stage_->performed, (std::vector<std::string>{"Show next", "Show previous"}));
}

// On a slow disk, with each write of the settings file held up as a slow fsync holds it: a paired
// phone's requests make the program write its last-seen time, and a pairing asked for while that
// write is under way waits for it, off the main thread, instead of being refused.
TEST_F(BluetoothRoadTest, PairingsAskedForWhileThePhonesLastSeenIsBeingWrittenAllSucceed) {
    auto writes = std::make_shared<std::atomic<int>>(0);
    auto options = testing::TemporarySettings::savedOnFlush();
    options.backgroundFlush = true;
    options.coalesceDelay = 1ms;
    options.beforeRename = [writes] {
        ++*writes;
        std::this_thread::sleep_for(300ms);
    };
    auto& slowDisk = slowDisk_.emplace(options);
    slowDisk.store().setValue(settings::presentationProvider, PresentationProvider::keynote);
    startOverBluez(&slowDisk.store());
    ASSERT_TRUE(statusBecomes(kDiscoverable));
    ASSERT_NO_THROW(pair());

    int paired = 0;
    for (int i = 0; i < 7; ++i) {
        now_ += std::chrono::minutes(1);  // seen a minute later: a last-seen time worth writing
        const int before = *writes;
        EXPECT_EQ(ask(command("r" + std::to_string(i), "showNext"))["status"], "ok");
        ASSERT_TRUE(dispatch::runMainQueue([&] { return *writes > before; })) << "the phone's last-seen time is written";
        try {
            paired += Json::parse(fake_.readLong("dev_AA_BB_CC_DD_EE_0" + std::to_string(i), kPairing)).contains("secret");
        } catch (const std::exception&) {
        }
    }
    EXPECT_EQ(paired, 7);
    EXPECT_EQ(slowDisk.savedFile()["bluetoothPairedDevices"].size(), 8u);
}

}  // namespace
}  // namespace pavonix
