// What the user is told when the settings file or the pairing secrets go wrong: the sentences,
// when the result line shows them, and that a pairing or a choice that could not be saved is not
// passed off as made. Settings writes fail through the fixture's fault hook; a settings file set
// aside at start is the program's black-box test.
#include "app/model/storage_notices.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "app/model/testing/model_fixture.h"
#include "app/remote/http_pairing_store.h"

namespace pavonix {
namespace {

using testing::ModelTest;
using testing::useKeychain;
using Kind = StorageNoticeBoard::Kind;

TEST(StorageNoticeBoardTest, EachNewProblemIsNewsOnceAndGoesWithItsCauseInOneSentence) {
    StorageNoticeBoard board;
    board.set(Kind::settingsWrite, settingsWriteNotice("W."));
    board.set(Kind::secrets, secretsNotice(" \n"));
    board.commandRecorded();
    board.set(Kind::secrets, secretsNotice(""));
    EXPECT_EQ(board.latest.get(), std::nullopt) << "the same problem again is not news";
    board.set(Kind::settingsRead, settingsReadNotice({std::nullopt, "Permission denied"}));
    board.set(Kind::secrets, std::nullopt);
    EXPECT_EQ(board.latest.get(), board.standing.get().settingsRead) << "another problem going leaves this one";
    EXPECT_EQ(board.standing.get().lines(),
              (std::vector<std::string>{"Settings could not be read: Permission denied. Nothing was changed on disk.",
                                        "Settings could not be saved: W."}));
    board.set(Kind::settingsRead, std::nullopt);
    EXPECT_EQ(board.latest.get(), std::nullopt);
    EXPECT_EQ(unreadableRecordsNotice(2), "2 stored pairings could not be read; they are kept as they are.");
}

TEST_F(ModelTest, APairingWhoseRecordCannotBeSavedIsNotCreatedAndKeepsNoSecret) {
    auto secrets = std::make_shared<keychain::MemoryStore>();
    useKeychain(secrets);
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
    store_.setValue(settings::selectedRemoteLanternpostTargetID, std::string("lpt_before"));
    auto& model = start();
    const auto serversBefore = servers_.size();
    *writeFault_ = EACCES;
    const std::string denied = "Settings could not be saved: creating a temporary settings file: Permission denied.";
    try {
        model.addHTTPPairing("Phone");
        ADD_FAILURE() << "reported as created";
    } catch (const SettingsNotSavedError& error) {
        EXPECT_EQ(error.what(), denied);
    }
    const HTTPPairingSetup pairing{{"lpp_AAAAAAAAAAAAAAAA", "Desk", now_}, std::string(43, 'A')};
    EXPECT_THROW(model.addRemoteTarget(*remote::setupURL(pairing, "127.0.0.1", 9, "Hall"), "Hall"), SettingsNotSavedError);
    EXPECT_EQ(bluetoothParts_->handlers.pairingPayload(), std::nullopt);

    EXPECT_EQ(secrets->size(), 0u) << "every secret made for a record that was not saved is gone";
    EXPECT_EQ(settings_.defaults().dictionary()["httpPairedDevices"].size(), 0u);
    EXPECT_EQ(settings_.defaults().dictionary()["remoteLanternpostTargets"].size(), 0u);
    EXPECT_EQ(settings_.defaults().dictionary()["bluetoothPairedDevices"].size(), 0u);
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "lpt_before");
    EXPECT_EQ(servers_.size(), serversBefore) << "nothing to restart for";
    EXPECT_EQ(model.storageNotices.latest.get(), denied);

    *writeFault_ = 0;
    model.addHTTPPairing("Phone");
    EXPECT_EQ(model.storageNotices.standing.get().lines(), std::vector<std::string>{});
    EXPECT_EQ(settings_.savedFile()["httpPairedDevices"].size(), 1u);
}

TEST_F(ModelTest, APeersChoiceThatCannotBeSavedHoldsForNowAndSaysSo) {
    auto& model = start();
    const auto select = httpParts_->handlers.presentationProviderSelection;
    *writeFault_ = EROFS;
    EXPECT_EQ(select(PresentationProvider::googleSlides),
              (PresentationProviderSelectionResult{ResultStatus::failed,
                                                   "Selected Google Slides for now. Settings could not be saved: "
                                                   "creating a temporary settings file: Read-only file system.",
                                                   PresentationProvider::googleSlides}));
    EXPECT_EQ(model.currentPresentationProvider(), PresentationProvider::googleSlides);
    // While the store fails, a peer's choices do not make the main thread try again.
    const int attempts = *writeAttempts_;
    EXPECT_EQ(select(PresentationProvider::powerPoint).status, ResultStatus::failed);
    EXPECT_EQ(httpParts_->handlers.windowSelection(0).message,
              "Selected Google Slides window for now. Settings could not be saved: creating a temporary settings file: "
              "Read-only file system.");
    EXPECT_EQ(*writeAttempts_, attempts);

    *writeFault_ = 0;
    ASSERT_TRUE(settings_.defaults().flush());  // the store's own retry
    EXPECT_EQ(select(PresentationProvider::keynote).message, "Selected Keynote.");
    EXPECT_EQ(model.storageNotices.standing.get().settingsWrite, std::nullopt);
}

// With the program's timing: written in the background, and told as the write fails or succeeds.
TEST_F(ModelTest, ABackgroundWriteFailureIsToldAtOnceAndGoesWithTheNextSuccess) {
    auto options = faultableSettings(writeFault_, writeAttempts_);
    options.backgroundFlush = true;
    options.coalesceDelay = std::chrono::milliseconds(1);
    testing::TemporarySettings background(options);
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.settings = &background.store(); });
    const auto told = [&] { return model.storageNotices.standing.get().settingsWrite; };
    *writeFault_ = ENOSPC;
    background.store().setValue(settings::pavonixName, std::string("Stage"));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return told().has_value(); }));
    EXPECT_EQ(model.storageNotices.latest.get(), "Settings could not be saved: creating a temporary settings file: No "
                                                 "space left on device.");
    *writeFault_ = 0;
    background.store().setValue(settings::pavonixName, std::string("Hall"));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !told(); }));
    model_.reset();
}

TEST_F(ModelTest, KeychainTroubleIsToldOnceAndGoesWhenTheKeychainRecovers) {
    std::optional<std::string> problem = "The keychain file is readable by other users.";
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.keychainProblem = [&] { return problem; }; });
    const std::string told = "Pairing secrets could not be read: The keychain file is readable by other users.";
    EXPECT_EQ(model.storageNotices.latest.get(), told);
    model.execute(PresentationCommand::stop(), CommandSource::osc);
    model.restartHTTPServer();
    EXPECT_EQ(model.storageNotices.latest.get(), std::nullopt) << "told once";
    problem.reset();
    model.restartHTTPServer();
    EXPECT_EQ(model.storageNotices.standing.get().secrets, std::nullopt);
}

// Written by an older or newer version, or damaged by hand: such a record is left out of the live
// list, and every later write of that list keeps it where it was.
TEST_F(ModelTest, StoredPairingsThatDoNotDecodeStayOnDiskThroughEveryWriteOfTheirList) {
    const nlohmann::json http = R"({"createdAt":"yesterday","id":"lpp_old","name":"Old"})";
    const nlohmann::json bluetooth = R"({"createdAt":"yesterday","id":"lpb_old","name":"Old"})";
    settings_.defaults().set("httpPairedDevices", nlohmann::json::array({http.dump()}));
    settings_.defaults().set("bluetoothPairedDevices", nlohmann::json::array({bluetooth.dump()}));
    auto& model = start();

    const auto setup = model.addHTTPPairing("Phone");
    EXPECT_EQ(store_.value(settings::httpPairedDevices), std::vector<HTTPPairedDevice>{setup.device});
    model.removeHTTPPairing(setup.device.id);
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
