// What the user is told when the settings file or the pairing secrets go wrong, and that a pairing
// or a choice that could not be saved is not passed off as made. Settings writes fail through the
// fixture's fault hook; the sentences about files read at start are the program's black-box test.
#include "app/model/storage_notices.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "app/model/testing/model_fixture.h"
#include "app/remote/http_pairing_store.h"

namespace pavonix {
namespace {

using testing::ModelTest;
using Kind = StorageNoticeBoard::Kind;
using enum PresentationProvider;

const std::string readOnly = "Settings could not be saved: creating a temporary settings file: Read-only file system.";

// The keychain is asked again at every restart of the HTTP server, the settings file at every poll.
TEST(StorageNoticeBoardTest, AProblemIsNewsOnceAndTakesOnlyItsOwnNoticeFromTheResultLineWhenItGoes) {
    StorageNoticeBoard board;
    board.set(Kind::secrets, secretsNotice(" \n"));
    EXPECT_EQ(board.latest.get(), "Pairing secrets could not be read: unknown error.");
    board.commandRecorded();
    board.set(Kind::secrets, secretsNotice(""));
    EXPECT_EQ(board.latest.get(), std::nullopt) << "the same problem again is not news";
    board.set(Kind::settingsWrite, settingsWriteNotice("disk full"));
    board.set(Kind::secrets, std::nullopt);
    EXPECT_EQ(board.latest.get(), "Settings could not be saved: disk full.");
    board.set(Kind::settingsWrite, std::nullopt);
    EXPECT_EQ(board.latest.get(), std::nullopt);
}

TEST_F(ModelTest, APairingWhoseRecordCannotBeSavedIsNotCreatedAndKeepsNoSecret) {
    auto secrets = std::make_shared<keychain::MemoryStore>();
    testing::useKeychain(secrets);
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
    store_.setValue(settings::selectedRemoteLanternpostTargetID, std::string("lpt_before"));
    auto& model = start();
    *writeFault_ = EROFS;
    EXPECT_THROW(model.addHTTPPairing("Phone"), SettingsNotSavedError);
    const HTTPPairingSetup pairing{{"lpp_AAAAAAAAAAAAAAAA", "Desk", now_}, std::string(43, 'A')};
    EXPECT_THROW(model.addRemoteTarget(*remote::setupURL(pairing, "127.0.0.1", 9, "Hall"), "Hall"), SettingsNotSavedError);
    EXPECT_EQ(bluetoothParts_->handlers.pairingPayload(), std::nullopt);

    EXPECT_EQ(secrets->size(), 0u) << "every secret made for a record that was not saved is gone";
    for (const char* list : {"httpPairedDevices", "remoteLanternpostTargets", "bluetoothPairedDevices"}) {
        EXPECT_EQ(settings_.defaults().dictionary()[list].size(), 0u) << list;
    }
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "lpt_before");
}

// A peer may send choices as fast as it likes; each runs on the main thread.
TEST_F(ModelTest, APeersChoiceIsWrittenBeforeItsAnswerAtMostOnceASecondAndHoldsForNowWhenItCannotBe) {
    auto& model = start();
    const auto select = httpParts_->handlers.presentationProviderSelection;
    const auto writes = [&] { return writeAttempts_->exchange(0); };
    *writeFault_ = EROFS;
    EXPECT_EQ(select(googleSlides),
              (PresentationProviderSelectionResult{ResultStatus::failed, "Selected Google Slides for now. " + readOnly, googleSlides}));
    EXPECT_EQ(model.currentPresentationProvider(), googleSlides);
    now_ += std::chrono::seconds(1);
    EXPECT_EQ(httpParts_->handlers.windowSelection(0).message, "Selected Google Slides window for now. " + readOnly);
    EXPECT_EQ(select(powerPoint).status, ResultStatus::failed);
    EXPECT_EQ(writes(), 1) << "a failing store is left to its own retries";

    *writeFault_ = 0;
    ASSERT_TRUE(settings_.defaults().flush());  // the store's own retry
    writes();
    for (auto provider : {keynote, powerPoint, keynote}) EXPECT_EQ(select(provider).status, ResultStatus::ok);
    EXPECT_EQ(writes(), 1);
    now_ += std::chrono::seconds(1);
    select(powerPoint);
    EXPECT_EQ(writes(), 1);
}

// With the program's timing: written in the background, and told as the write fails or succeeds.
TEST_F(ModelTest, ABackgroundWriteFailureIsToldAtOnceAndGoesWithTheNextSuccess) {
    auto options = faultableSettings(writeFault_, writeAttempts_);
    options.backgroundFlush = true;
    options.coalesceDelay = std::chrono::milliseconds(1);
    testing::TemporarySettings background(options);
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.settings = &background.store(); });
    const auto told = [&] { return model.storageNotices.latest.get().has_value(); };
    *writeFault_ = ENOSPC;
    background.store().setValue(settings::pavonixName, std::string("Stage"));
    EXPECT_TRUE(dispatch::runMainQueue(told));
    *writeFault_ = 0;
    background.store().setValue(settings::pavonixName, std::string("Hall"));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !told(); }));
    model_.reset();
}

// Written by an older or newer version, or damaged by hand: such a record is left out of the live
// list, and every later write of that list keeps it where it was.
TEST_F(ModelTest, StoredPairingsThatDoNotDecodeStayOnDiskThroughEveryWriteOfTheirList) {
    const nlohmann::json http = R"({"createdAt":"yesterday","id":"lpp_old","name":"Old"})";
    const nlohmann::json bluetooth = R"({"createdAt":"yesterday","id":"lpb_old","name":"Old"})";
    settings_.defaults().set("httpPairedDevices", nlohmann::json::array({http.dump()}));
    settings_.defaults().set("bluetoothPairedDevices", nlohmann::json::array({bluetooth.dump()}));
    auto& model = start();

    model.removeHTTPPairing(model.addHTTPPairing("Phone").device.id);
    model.removeHTTPPairing("lpp_old");  // by id: only records that decode can match
    const BluetoothPairedDevice remote{"lpb_new", "Remote", now_, std::nullopt};
    model.saveBluetoothPairedDevice(remote);
    model.updateBluetoothDeviceLastSeen(remote.id, now_);
    model.removeBluetoothPairedDevice(remote.id);

    const auto saved = settings_.savedFile();
    EXPECT_EQ(saved["httpPairedDevices"], nlohmann::json::array({http.dump()}));
    EXPECT_EQ(saved["bluetoothPairedDevices"], nlohmann::json::array({bluetooth.dump()}));
}

}  // namespace
}  // namespace pavonix
