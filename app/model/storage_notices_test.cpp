// What the user is told when the settings file or the pairing secrets go wrong, that it is told
// for as long as it stands, and that a pairing or a choice that could not be saved is not passed
// off as made. Settings writes fail through the fixture's fault hook; the sentences about files
// read at start and written later are the program's black-box test.
#include "app/model/storage_notices.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

#include "app/model/testing/model_fixture.h"
#include "app/remote/http_pairing_store.h"
#include "platform/files/own_file.h"

namespace pavonix {
namespace {

using testing::ModelTest;
using Kind = StorageNoticeBoard::Kind;
using enum PresentationProvider;

const std::string readOnly = "Settings could not be saved: creating the new settings file: Read-only file system.";

// Whoever turns the switch off (the settings window, another copy), the notice stops claiming it.
TEST_F(ModelTest, TheSetAsideNoticeFollowsTheSigningSwitch) {
    testing::TemporarySettings damaged;
    std::ofstream(damaged.file()) << R"({"httpAuthenticationEnabled": false,)";
    damaged.reopen();
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.settings = &damaged.store(); });
    const auto claims = [&] {
        return model.storageNotices.standing.get().settingsRead.value_or("").ends_with("is on until you turn it off.");
    };
    EXPECT_TRUE(claims());
    damaged.store().setValue(settings::httpAuthenticationEnabled, false);
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !claims(); }, std::chrono::seconds(5)));
    model_.reset();
}

// A keychain may take its time-out to answer, or longer: it is asked at each poll off the main
// thread, one question at a time, and its answer is shown and taken back as it changes.
TEST_F(ModelTest, KeychainTroubleIsToldFromThePollAndGoesWhenTheKeychainAnswersAgain) {
    struct Keychain {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false, askedOffThePool = false;
        int inside = 0, mostInside = 0;
        std::optional<std::string> problem;
    };
    auto keychain = std::make_shared<Keychain>();
    pollInterval_ = std::chrono::milliseconds(2);
    auto& model = start([&](LanternpostModelDependencies& deps) {
        deps.keychainProblem = [keychain] {
            std::unique_lock lock(keychain->mutex);
            // A stalled Secret Service holds the thread for its time-out, poll after poll: not the
            // main thread, nor one of the few workers the bridges' queues share.
            keychain->askedOffThePool |= !dispatch::globalQueue()->isCurrent();
            keychain->mostInside = std::max(keychain->mostInside, ++keychain->inside);
            keychain->opened.wait(lock, [&] { return keychain->open; });
            --keychain->inside;
            return keychain->problem;
        };
    });
    const auto secrets = [&] { return model.storageNotices.standing.get().secrets; };
    const int scans = scans_;
    EXPECT_TRUE(dispatch::runMainQueue([&] { return scans_ >= scans + 5; }, std::chrono::seconds(5))) << "polls go on";
    EXPECT_FALSE(secrets());
    const auto answer = [&](std::optional<std::string> problem) {
        {
            std::lock_guard lock(keychain->mutex);
            keychain->open = true;
            keychain->problem = std::move(problem);
        }
        keychain->opened.notify_all();
    };
    answer("the Secret Service does not answer");
    ASSERT_TRUE(dispatch::runMainQueue([&] { return secrets().has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(*secrets(), "Pairing secrets could not be read: the Secret Service does not answer.");
    answer(std::nullopt);
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !secrets(); }, std::chrono::seconds(5)));
    model_.reset();
    std::lock_guard lock(keychain->mutex);
    EXPECT_FALSE(keychain->askedOffThePool);
    EXPECT_EQ(keychain->mostInside, 1) << "one question at a time, however slow the answers";
}

// A Secret Service still starting holds its pairs' secrets: the HTTP server serves meanwhile and
// refuses them, and the same server takes them in as soon as the keychain reads. The main thread
// never asks it. (A pairing meanwhile is refused in the store's words: the pairing store's test.)
TEST_F(ModelTest, PairsOfAKeychainThatCannotBeReadYetAreServedAsSoonAsItReads) {
    struct Starting final : keychain::Store {
        keychain::MemoryStore items;
        std::atomic<bool> answers = false, readOnTheMainThread = false;
        std::string name() const override { return "Secret Service"; }
        keychain::Status read(const keychain::ItemKey& key, Bytes& out) override {
            readOnTheMainThread = readOnTheMainThread || dispatch::isMainThread();
            return answers ? items.read(key, out) : keychain::notAvailable;
        }
        keychain::Status add(const keychain::ItemKey&, const Bytes&) override { return keychain::notAvailable; }
        keychain::Status update(const keychain::ItemKey&, const Bytes&) override { return keychain::notAvailable; }
        keychain::Status remove(const keychain::ItemKey&) override { return keychain::notAvailable; }
        std::optional<std::string> problem() const override {
            return answers ? std::nullopt : std::optional<std::string>(failure(0));
        }
        std::string failure(keychain::Status) const override { return "the Secret Service does not answer"; }
    };
    auto secrets = std::make_shared<Starting>();
    const Bytes secret(32, 7);
    secrets->items.add({std::string(httpAuthKeychainService), "lpp_phone"}, secret);
    testing::useKeychain(secrets);
    store_.setValue(settings::httpAuthenticationEnabled, true);
    store_.setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{{"lpp_phone", "Phone", now_}});
    pollInterval_ = std::chrono::milliseconds(2);
    auto& model = start();
    const auto authenticator = httpParts_->authenticator;
    const auto server = model.currentServerID("HTTP");
    const auto notice = [&] { return model.storageNotices.standing.get().secrets; };
    ASSERT_TRUE(dispatch::runMainQueue([&] { return notice().has_value(); }, std::chrono::seconds(5)));
    EXPECT_EQ(*notice(), "Pairing secrets could not be read: the Secret Service does not answer.");
    EXPECT_TRUE(authenticator->configuration().credentials.empty());
    secrets->answers = true;
    const std::vector<HTTPAuthCredential> served{{"lpp_phone", secret}};
    EXPECT_TRUE(dispatch::runMainQueue([&] { return authenticator->configuration().credentials == served; },
                                       std::chrono::seconds(5)));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !notice(); }, std::chrono::seconds(5)));
    EXPECT_EQ(model.currentServerID("HTTP"), server) << "taken in without a restart, which would forget the nonces seen";
    model_.reset();
    EXPECT_FALSE(secrets->readOnTheMainThread);
}

TEST_F(ModelTest, APairingWhoseRecordCannotBeSavedIsNotCreatedAndKeepsNoSecret) {
    auto secrets = std::make_shared<keychain::MemoryStore>();
    testing::useKeychain(secrets);
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
    store_.setValue(settings::selectedRemoteLanternpostTargetID, std::string("lpt_before"));
    auto& model = start();
    *writeFault_ = EROFS;
    EXPECT_THROW(addHTTPPairing("Phone"), SettingsNotSavedError);
    const HTTPPairingSetup pairing{{"lpp_AAAAAAAAAAAAAAAA", "Desk", now_}, std::string(43, 'A')};
    EXPECT_THROW(model.addRemoteTarget(*remote::setupURL(pairing, "127.0.0.1", 9, "Hall"), "Hall"), SettingsNotSavedError);
    // A disk that fails is no one's hold on the file: the attempt counts against the period.
    const auto bluetooth = pairingOutcome(bluetoothParts_->handlers);
    EXPECT_EQ(std::pair(bluetooth.payload.has_value(), bluetooth.counts), std::pair(false, true));

    EXPECT_TRUE(dispatch::runMainQueue([&] { return secrets->size() == 0; }))
        << "every secret made for a record that was not saved is gone";
    for (const char* list : {"httpPairedDevices", "remoteLanternpostTargets", "bluetoothPairedDevices"}) {
        EXPECT_EQ(settings_.defaults().dictionary()[list].size(), 0u) << list;
    }
    EXPECT_EQ(store_.value(settings::selectedRemoteLanternpostTargetID), "lpt_before");
}

// A peer may send choices as fast as it likes; each runs on the main thread, which waits for no
// disk: the store's background write takes them.
TEST_F(ModelTest, APeersChoiceIsLeftToTheBackgroundWriteAndHoldsForNowWhileTheStoreIsFailing) {
    auto& model = start();
    const auto select = httpParts_->handlers.presentationProviderSelection;
    const auto writes = [&] { return writeAttempts_->exchange(0); };
    *writeFault_ = EROFS;
    EXPECT_EQ(select(googleSlides).status, ResultStatus::ok) << "no failure known yet";
    EXPECT_EQ(writes(), 0);
    EXPECT_FALSE(settings_.defaults().flush());  // the store's background write
    EXPECT_EQ(select(googleSlides),
              (PresentationProviderSelectionResult{ResultStatus::failed, "Selected Google Slides for now. " + readOnly, googleSlides}));
    EXPECT_EQ(model.currentPresentationProvider(), googleSlides);
    EXPECT_EQ(httpParts_->handlers.windowSelection(0).message, "Selected Google Slides window for now. " + readOnly);
    EXPECT_EQ(writes(), 1) << "only the store's own";
    *writeFault_ = 0;
    ASSERT_TRUE(settings_.defaults().flush());  // the store's own retry
    writes();
    for (auto provider : {keynote, powerPoint, keynote}) EXPECT_EQ(select(provider).status, ResultStatus::ok);
    EXPECT_EQ(writes(), 0);
    model_.reset();

    // A file that could not be read at start is not written over: no write has failed yet, but the
    // first choice is not saved either.
    testing::TemporarySettings unreadable;
    std::filesystem::create_directory(unreadable.file());
    unreadable.reopen();
    start([&](LanternpostModelDependencies& deps) { deps.settings = &unreadable.store(); });
    EXPECT_EQ(httpParts_->handlers.presentationProviderSelection(powerPoint).message,
              "Selected PowerPoint for now. Settings could not be saved: reading the settings file: Not a regular file.");
    model_.reset();
}

// With the program's timing: written in the background, and told as the write fails or succeeds.
TEST_F(ModelTest, ABackgroundWriteFailureIsToldAtOnceAndGoesWithTheNextSuccess) {
    auto options = faultableSettings(writeFault_, writeAttempts_);
    options.backgroundFlush = true;
    options.coalesceDelay = std::chrono::milliseconds(1);
    testing::TemporarySettings background(options);
    auto& model = start([&](LanternpostModelDependencies& deps) { deps.settings = &background.store(); });
    const auto told = [&] { return model.storageNotices.standing.get().settingsWrite.has_value(); };
    *writeFault_ = ENOSPC;
    background.store().setValue(settings::pavonixName, std::string("Stage"));
    EXPECT_TRUE(dispatch::runMainQueue(told));
    *writeFault_ = 0;
    background.store().setValue(settings::pavonixName, std::string("Hall"));
    EXPECT_TRUE(dispatch::runMainQueue([&] { return !told(); }));
    model_.reset();
}

// Another copy of the program on the same file, writing just before this one: a record it removed
// does not come back with this copy's next change of the list, and a choice this copy makes while
// it has not seen the other's is written, not taken for made. (That a record it added stays is the
// program's black-box test.)
TEST_F(ModelTest, AnotherCopysChangesToTheSameListsAndChoicesSurviveThisCopysOwn) {
    store_.setValue(settings::presentationProvider, keynote);
    store_.setValue(settings::httpPairedDevices, std::vector<HTTPPairedDevice>{{"lpp_both", "Both", now_}});
    start();
    ASSERT_TRUE(settings_.defaults().flush());
    {
        defaults::UserDefaults otherDefaults(settings_.file(), testing::TemporarySettings::savedOnFlush());
        SettingsStore other(otherDefaults);
        other.changeList(settings::httpPairedDevices, [](StoredRecordList<HTTPPairedDevice>& list) {
            list.eraseIf([](const HTTPPairedDevice& device) { return device.id == "lpp_both"; });
        });
        other.setValue(settings::presentationProvider, powerPoint);
    }
    const std::string http = addHTTPPairing("Phone").device.id;
    EXPECT_EQ(httpParts_->handlers.presentationProviderSelection(keynote).status, ResultStatus::ok);
    ASSERT_TRUE(settings_.defaults().flush());  // the store's background write
    EXPECT_EQ(nlohmann::json::parse(testing::readFile(settings_.file()))["presentationProvider"], "keynote")
        << "written, though this copy knew no other";
    const auto stored = store_.value(settings::httpPairedDevices);
    EXPECT_EQ(stored.size() == 1 ? stored[0].id : "", http);
    EXPECT_EQ(settings_.savedFile()["httpPairedDevices"].size(), 1u);
}

// While another program holds the settings file's lock, the main thread does not wait for it: a
// choice is left to the background write (which cannot lose it); a pairing waits off the main
// thread and, past the lock timeout, is refused without a secret, not counted against a Bluetooth
// period, and the notice names the lock.
TEST_F(ModelTest, ASettingsFileHeldByAnotherProgramNeitherHoldsUpTheMainThreadNorPassesForSaved) {
    auto secrets = std::make_shared<keychain::MemoryStore>();
    testing::useKeychain(secrets);
    store_.setValue(settings::bluetoothEnabled, true);
    store_.setValue(settings::bluetoothDiscoverable, true);
    auto& model = start();
    ASSERT_TRUE(settings_.defaults().flush());
    const auto lock = defaults::UserDefaults::lockPath(settings_.file());
    std::optional<files::OwnLock> otherWriter(std::in_place, lock.string(), std::chrono::milliseconds(0));
    ASSERT_EQ(otherWriter->error(), 0);
    EXPECT_EQ(httpParts_->handlers.presentationProviderSelection(powerPoint).status, ResultStatus::ok);
    const auto bluetooth = pairingOutcome(bluetoothParts_->handlers);
    EXPECT_EQ(std::pair(bluetooth.payload.has_value(), bluetooth.counts), std::pair(false, false));
    try {
        addHTTPPairing("Phone");
        ADD_FAILURE() << "a pairing passed for saved";
    } catch (const SettingsNotSavedError& error) {
        EXPECT_EQ(std::string(error.what()), "Settings could not be saved: another program holds the settings file's lock.");
    }
    EXPECT_TRUE(dispatch::runMainQueue([&] { return secrets->size() == 0; }));
    EXPECT_EQ(model.storageNotices.standing.get().settingsWrite,
              "Settings could not be saved to " + settings_.file().string() +
                  ": another program holds the settings file's lock, " + lock.string() +
                  ". Pavonix saves them once that program lets go of it.");
    otherWriter.reset();
    const auto saved = settings_.savedFile();
    EXPECT_EQ(saved["presentationProvider"], "powerPoint");
    EXPECT_EQ(saved.value("httpPairedDevices", nlohmann::json::array()).size(), 0u);
    EXPECT_EQ(saved.value("bluetoothPairedDevices", nlohmann::json::array()).size(), 0u);
}

// Written by an older or newer version, or damaged by hand: such a record is left out of the live
// list, and every later write of that list keeps it where it was.
TEST_F(ModelTest, StoredPairingsThatDoNotDecodeStayOnDiskThroughEveryWriteOfTheirList) {
    const nlohmann::json http = R"({"createdAt":"yesterday","id":"lpp_old","name":"Old"})";
    const nlohmann::json bluetooth = R"({"createdAt":"yesterday","id":"lpb_old","name":"Old"})";
    settings_.defaults().set("httpPairedDevices", nlohmann::json::array({http.dump()}));
    settings_.defaults().set("bluetoothPairedDevices", nlohmann::json::array({bluetooth.dump()}));
    auto& model = start();

    model.removeHTTPPairing(addHTTPPairing("Phone").device.id);
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
