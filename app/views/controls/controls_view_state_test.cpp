#include "app/views/controls/controls_view_state.h"

#include <algorithm>
#include <thread>

#include "app/views/controls/main_view_state.h"
#include "app/views/controls/menu_bar_content_state.h"
#include "app/views/settings/listen_view_state.h"
#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using testing::remote;
using testing::settle;
using testing::slidesOK;
using testing::window;

class ControlsViewStateTest : public testing::ViewsTest {
protected:
    ControlsViewStateTest() {
        model_.localSlides[PresentationProvider::keynote] = slidesOK({{1, "Title", "", false}, {3, "Intro", "", true}});
    }
    // The state, appeared, over these remote targets with the first one selected.
    ControlsViewState& make(std::vector<RemoteLanternpostTarget> targets = {}, bool active = true) {
        setTargets(targets);
        state_ = std::make_unique<ControlsViewState>(model_, store(), active, center_);
        state_->appear();
        settle();
        return *state_;
    }
    void addTargets(std::vector<RemoteLanternpostTarget> targets) {
        store().setValue(settings::remoteLanternpostTargets, targets);
        settle();
    }
    // Gives the health check or slide fetch at that index (the last one unless told) its answer.
    void answerHealth(RemoteHealthReply reply, std::optional<std::size_t> index = std::nullopt) {
        model_.healthChecks.at(index.value_or(model_.healthChecks.size() - 1)).second(std::move(reply));
        settle();
    }
    void answerSlides(SlideListResult result, std::optional<std::size_t> index = std::nullopt) {
        model_.slideFetches.at(index.value_or(model_.slideFetches.size() - 1)).second(std::move(result));
        settle();
    }
    void selectTarget(const std::string& id) {
        state_->selectRemoteTarget(id);
        settle();
    }
    void selectProvider(PresentationProvider provider) {
        state_->selectProvider(provider);
        settle();
    }

    std::unique_ptr<ControlsViewState> state_;
};

TEST_F(ControlsViewStateTest, LabelsPortsAndAddressesFollowTheRules) {
    auto blank = remote("lpt_a", "  \n", "studio.local", 9000);
    EXPECT_EQ(remoteTargetLabel(blank), "studio.local:9000");
    blank.transport = RemoteLanternpostTransport::bluetooth;
    EXPECT_EQ(remoteTargetLabel(blank), "Bluetooth");
    EXPECT_EQ(remoteTargetLabel(remote("lpt_b", " Hall ")), "Hall");

    auto& state = make({remote("lpt_a", " ", "studio.local", 9000)});

    // The address editor takes one plus sign; the settings window's port fields take digits only.
    const std::optional<std::int64_t> none;
    const std::map<std::string, std::pair<std::optional<std::int64_t>, std::optional<std::int64_t>>> ports = {
        {" 8090 ", {8090, 8090}}, {"+80", {80, none}}, {"", {none, none}}, {"0", {none, none}},
        {"-1", {none, none}}, {"65536", {none, none}}, {"80a", {none, none}}, {"8 0", {none, none}},
        {"99999999999999999999", {none, none}}, {"65535", {65535, 65535}}, {"+-80", {none, none}},
        {"--80", {none, none}}, {"+", {none, none}}, {"8.0", {none, none}}};
    for (const auto& [text, expected] : ports) {
        state.setRemotePortInput(text);
        EXPECT_EQ(state.parsedRemotePort(), expected.first) << '"' << text << '"';
        EXPECT_EQ(portFromFieldText(text), expected.second) << '"' << text << '"';
    }

    auto target = *state.selectedRemoteTarget();
    state.setRemotePortInput("9000");
    state.setRemoteHostInput("  studio.local ");
    EXPECT_FALSE(state.canSaveRemoteAddress(target)) << "only surrounding spaces differ";
    state.setRemoteHostInput("Studio.local");
    EXPECT_TRUE(state.canSaveRemoteAddress(target)) << "host comparison is case-sensitive";
    state.setRemoteHostInput(" ");
    EXPECT_FALSE(state.isRemoteAddressInputValid());
}

TEST_F(ControlsViewStateTest, StatusFollowsTheTargetAndItsHealth) {
    auto& state = make();
    EXPECT_EQ(state.targetStatusColor(), ControlColor::green);
    setRunning(false);
    EXPECT_EQ(state.targetStatusText(), "Keynote is not running");
    EXPECT_EQ(state.targetStatusColor(), ControlColor::red);

    struct Case {
        RemoteLanternpostTarget target;
        RemoteHealthReply reply;
        ControlColor color;
        const char* text;
    };
    const Case cases[] = {
        {remote("lpt_a", "Hall"), RemoteLanternpostHealth{"ok", "powerPoint", std::nullopt}, ControlColor::green,
         "Hall is reachable (Pavonix)"},
        {remote("lpt_b", "Lab", "10.0.0.3"), RemoteLanternpostHealth{"degraded", std::nullopt, std::nullopt},
         ControlColor::secondary, "Lab is selected"},
        {remote("lpt_c", "Booth", "10.0.0.4"), std::string("Connection refused."), ControlColor::orange,
         "Booth: Connection refused."},
    };
    addTargets({cases[0].target, cases[1].target, cases[2].target});
    for (const Case& c : cases) {
        selectTarget(c.target.id);
        EXPECT_EQ(state.targetStatusText(), "Checking " + c.target.name);
        answerHealth(c.reply);
        EXPECT_EQ(state.targetStatusColor(), c.color) << c.text;
        EXPECT_EQ(state.targetStatusText(), c.text);
    }
    // The next refresh retries a failed check; a stored answer stands.
    state.setActive(false);
    state.setActive(true);
    ASSERT_EQ(model_.healthChecks.size(), 4u);
    answerHealth(RemoteLanternpostHealth{"ok", std::nullopt, "Keynote"}, 3);
    state.setActive(false);
    state.setActive(true);
    EXPECT_EQ(model_.healthChecks.size(), 4u);
}

// A failed check or slide list tells what stood then: a command that gets through the target, or
// the keychain reading again, has both asked afresh; anything else leaves the captions.
TEST_F(ControlsViewStateTest, AFailedCheckIsRepeatedWhenACommandGetsThroughOrTheKeychainReadsAgain) {
    model_.notices.set(StorageNotices{{}, {}, "Pairing secrets could not be read: the keyring is locked (unlock it)."});
    auto& state = make({remote("lpt_a", "Hall")});
    const std::string unreadable = "Hall: The saved pairing secret could not be read: the keyring is locked (unlock it).";
    const auto fail = [&] {
        answerHealth(unreadable.substr(6));
        answerSlides({ResultStatus::failed, unreadable, {}});
    };
    fail();
    const auto last = [&](CommandSource source, ResultStatus status) {
        model_.last.set(CommandLogEntry{source, {status, "Show next", ""}, {}});
        settle();
    };
    last(CommandSource::remoteHTTP, ResultStatus::failed);
    last(CommandSource::userInterface, ResultStatus::ok);
    EXPECT_EQ(std::make_pair(state.targetStatusText(), state.slideListMessage()), std::make_pair(unreadable, unreadable));
    last(CommandSource::remoteHTTP, ResultStatus::ok);
    ASSERT_EQ(std::make_pair(model_.healthChecks.size(), model_.slideFetches.size()), std::make_pair(2ul, 2ul));
    EXPECT_EQ(std::make_pair(state.targetStatusText(), state.slideListMessage()),
              std::make_pair(std::string("Checking Hall"), std::string(ControlsViewState::loadingSlidesMessage)));
    fail();
    model_.notices.set(StorageNotices{});
    settle();
    ASSERT_EQ(model_.healthChecks.size(), 3u);
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "Keynote"});
    answerSlides(slidesOK({{1, "Title", "", false}}));
    EXPECT_EQ(state.targetStatusText(), "Hall is reachable (Keynote)");
    const auto asked = std::make_pair(model_.healthChecks.size(), model_.slideFetches.size());
    last(CommandSource::remoteHTTP, ResultStatus::ok);
    EXPECT_EQ(std::make_pair(model_.healthChecks.size(), model_.slideFetches.size()), asked)
        << "standing answers are not asked for again";
}

TEST_F(ControlsViewStateTest, ProviderChangesRunHandlersOnlyForRealChanges) {
    auto& state = make();
    model_.log.clear();
    const auto generation = state.slideListGeneration();
    selectProvider(PresentationProvider::keynote);
    EXPECT_TRUE(model_.log.empty());
    EXPECT_EQ(state.slideListGeneration(), generation);

    // The main view's handler: Google Slides lists the windows first, others only refresh.
    MainViewState mainView(model_, store());
    selectProvider(PresentationProvider::googleSlides);
    EXPECT_NE(std::ranges::count(model_.log, "relistWindows"), 0);
    EXPECT_EQ(state.slideListMessage(), ControlsViewState::unavailableSlideListMessage);
    model_.log.clear();
    selectProvider(PresentationProvider::powerPoint);
    EXPECT_EQ(model_.log.front(), "refreshStatus");
    EXPECT_EQ(std::ranges::count(model_.log, "relistWindows"), 0);
}

TEST_F(ControlsViewStateTest, LateHealthAnswersAreDropped) {
    auto& state = make({remote("lpt_a", "Hall"), remote("lpt_b", "Lab", "10.0.0.3")});
    selectTarget("lpt_b");
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "Keynote"}, 0);
    EXPECT_FALSE(state.remoteHealth()) << "the answer for Hall arrived after switching to Lab";
    EXPECT_TRUE(state.isCheckingRemoteHealth());

    selectProvider(PresentationProvider::powerPoint);
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "Keynote"}, 1);
    EXPECT_EQ(state.targetStatusText(), "Microsoft PowerPoint is running");
    EXPECT_FALSE(state.remoteHealth());

    // A saved address: the answer of the check against the old address is never shown.
    selectTarget("lpt_a");
    state.setRemoteHostInput("10.0.0.9");
    state.saveRemoteAddress();
    settle();
    ASSERT_EQ(model_.healthChecks.at(3).first, "10.0.0.9:8090");
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "Old"}, 2);
    EXPECT_FALSE(state.remoteHealth());
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "New"}, 3);
    EXPECT_EQ(state.targetStatusText(), "Hall is reachable (New)");
    state.saveRemoteAddress();  // equal address: nothing saved, nothing cleared
    settle();
    EXPECT_EQ(model_.healthChecks.size(), 4u);
}

// An id that names no saved target, left behind or just removed, acts as a local target.
TEST_F(ControlsViewStateTest, SelectedIDWithoutATargetActsAsLocal) {
    store().setValue(settings::presentationProvider, PresentationProvider::googleSlides);
    store().setValue(settings::selectedRemoteLanternpostTargetID, std::string("lpt_gone"));
    auto& state = make();
    EXPECT_TRUE(state.showsWindowSection());
    state.send(PresentationCommand::start());
    EXPECT_EQ(model_.executed.size(), 1u);
    EXPECT_TRUE(model_.remoteSent.empty());

    store().setValue(settings::presentationProvider, PresentationProvider::keynote);
    addTargets({remote("lpt_a", "Hall")});
    selectTarget("lpt_a");
    answerSlides(slidesOK({{1, "One", "", false}}));
    EXPECT_EQ(state.navigationSectionTitle(), "Navigation (1)");
    addTargets({});  // removed in the remote devices sheet
    EXPECT_EQ(state.selectedRemoteTargetID() + state.remoteHostInput(), "");
    EXPECT_EQ(state.slideListTargetKey(), "local:keynote");
    EXPECT_EQ(state.slides().size(), 2u) << "the local list was loaded";
}

TEST_F(ControlsViewStateTest, LateAndSupersededSlideListsAreDropped) {
    auto& state = make({remote("lpt_a", "Hall")});
    EXPECT_EQ(state.slidePickerPlaceholder(), "Loading slides...");

    // Switch to the local provider while the remote list is on its way.
    selectProvider(PresentationProvider::keynote);
    answerSlides(slidesOK({{9, "Remote", "", false}}), 0);
    EXPECT_EQ(state.slides().front().name, "Title") << "the remote list never shows";

    // Two refreshes in a row: only the second result is applied.
    selectTarget("lpt_a");
    answerHealth(RemoteLanternpostHealth{"ok", "keynote", "Keynote"});
    const std::size_t first = model_.slideFetches.size();
    center_.post(refreshSlideNamesNotification);
    center_.post(refreshSlideNamesNotification);
    ASSERT_EQ(model_.slideFetches.size(), first + 2);
    answerSlides(slidesOK({{1, "Stale", "", false}}), first);
    EXPECT_TRUE(state.isLoadingSlides()) << "a dropped result leaves the newer load alone";
    EXPECT_TRUE(state.slides().empty());
    answerSlides({ResultStatus::failed, "Hall: Keynote is not running.", {}});
    EXPECT_EQ(state.slideListMessage(), "Hall: Keynote is not running.");
    EXPECT_EQ(state.slidePickerPlaceholder(), "No slides loaded");

    center_.post(refreshSlideNamesNotification);
    answerSlides(slidesOK({}));
    EXPECT_EQ(state.slideListMessage(), "No slides found.");
    EXPECT_EQ(state.navigationSectionTitle(), "Navigation");
}

TEST_F(ControlsViewStateTest, RemoteGoogleSlidesHidesTheListButKeepsTheNumberRow) {
    auto& state = make({remote("lpt_a", "Hall")});
    answerHealth(RemoteLanternpostHealth{"ok", "googleSlides", "Google Slides"}, 0);
    EXPECT_FALSE(state.canLoadSlides());
    EXPECT_FALSE(state.isLoadingSlides());
    EXPECT_EQ(state.slideListMessage(), ControlsViewState::unavailableSlideListMessage);
    const auto fetches = model_.slideFetches.size();
    center_.post(refreshSlideNamesNotification);
    EXPECT_EQ(model_.slideFetches.size(), fetches) << "no refresh for a Google Slides instance";

    state.setSlideNumberText("4");
    state.submitSlideNumber();
    EXPECT_EQ(model_.remoteSent.at(0).first, PresentationCommand::goToSlideNumber(4));
}

TEST_F(ControlsViewStateTest, SlidePickerSendsOnlyRealChanges) {
    auto& state = make();
    EXPECT_EQ(state.slidePickerEntries().at(1).text, "3. #Intro");
    EXPECT_TRUE(state.isSlidePickerEnabled());

    state.setSelectedSlideNumber(3);
    state.setSelectedSlideNumber(3);
    state.setSelectedSlideNumber(std::nullopt);
    EXPECT_EQ(model_.executed, std::vector<PresentationCommand>{PresentationCommand::goToSlideNumber(3)});
    EXPECT_EQ(model_.last.get()->source, CommandSource::userInterface);

    state.setSelectedSlideNumber(1);
    state.resetSlideList();
    EXPECT_EQ(model_.executed.size(), 2u) << "a reset clears the selection without sending";

    setRunning(false);
    EXPECT_TRUE(state.slides().empty()) << "the application stopping resets the list";
    EXPECT_FALSE(state.isSlidePickerEnabled());
}

TEST_F(ControlsViewStateTest, GoToFieldsSendOnlyUsableInput) {
    auto& state = make();
    int endEditing = 0;
    state.setEndEditing([&] { ++endEditing; });
    for (const char* text : {"0", "-2", "", "  ", "-"}) {
        state.setSlideNumberText(text);
        EXPECT_FALSE(state.canSubmitSlideNumber()) << '"' << text << '"';
        state.submitSlideNumber();
    }
    state.setSlideName(" \t##  ");
    EXPECT_FALSE(state.canSubmitSlideName());
    state.submitSlideName();  // an emptied field never sends the text typed before (checked below)

    for (auto field : {ControlTextField::slideNumber, ControlTextField::slideName}) {
        state.setFocusedTextField(field);
        state.setSlideNumberText("12");
        state.setSlideName(" #Intro ");
        field == ControlTextField::slideNumber ? state.submitSlideNumber() : state.submitSlideName();
        EXPECT_FALSE(state.focusedTextField());
    }
    EXPECT_EQ(model_.executed, (std::vector<PresentationCommand>{PresentationCommand::goToSlideNumber(12),
                                                                 PresentationCommand::goToSlideNamed("Intro")}));
    EXPECT_EQ(state.slideNumberText() + state.slideName(), "12 #Intro ") << "the fields keep what was sent";
    EXPECT_EQ(endEditing, 2);

    setRunning(false);
    state.submitSlideNumber();
    state.send(PresentationCommand::showNext());
    EXPECT_EQ(model_.executed.size(), 2u) << "nothing is sent while the application is not running";
}

TEST_F(ControlsViewStateTest, WindowPickerEntries) {
    store().setValue(settings::presentationProvider, PresentationProvider::googleSlides);
    auto& state = make();
    EXPECT_EQ(state.windowPickerEntries().at(0).tag, 0);

    store().setValue(settings::googleSlidesWindowID, std::int64_t{123});
    EXPECT_EQ(state.windowPickerEntries()[0].text, "Google Slides window (not found)");
    store().setValue(settings::googleSlidesWindowOwnerName, std::string("Browser"));
    store().setValue(settings::googleSlidesWindowTitle, std::string("Deck"));
    model_.openWindows = {window(1, "Browser", "A - Google Slides"), window(2, "Browser", "B - Google Slides"),
                          window(3, "Viewer", "Full Screen Window"), window(4, "Browser", "Deck")};
    state.refreshWindows();
    const auto entries = state.windowPickerEntries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].text, "Browser: Deck (not found)") << "matched by window id, not by title";
    EXPECT_EQ(entries[0].tag, 123);
    std::vector<bool> separators;
    for (const auto& entry : entries) separators.push_back(entry.separatorBefore);
    EXPECT_EQ(separators, std::vector<bool>({false, false, false, true, true}));

    state.pickWindow(2);
    EXPECT_EQ(state.googleSlidesWindowID(), 2);
    EXPECT_EQ(state.windowPickerEntries().size(), 4u) << "the listed window needs no extra entry";
}

TEST_F(ControlsViewStateTest, ShortcutsFollowFocusActivityAndTarget) {
    auto& state = make();
    const ControlShortcut all[] = {ControlShortcut::start, ControlShortcut::startFromBeginning, ControlShortcut::stop,
                                   ControlShortcut::previous, ControlShortcut::next, ControlShortcut::nextSpace};
    const auto enabled = [&] {
        std::vector<bool> out;
        for (auto shortcut : all) out.push_back(state.isShortcutEnabled(shortcut));
        return out;
    };
    const std::vector<bool> every(6, true), none(6, false);
    EXPECT_EQ(enabled(), every);

    // A focused text field keeps the arrows and Space; the starts and Escape still act.
    for (auto field : {ControlTextField::slideNumber, ControlTextField::slideName, ControlTextField::remoteHost,
                       ControlTextField::remotePort}) {
        state.setFocusedTextField(field);
        EXPECT_FALSE(state.triggerShortcut(ControlShortcut::next));
        EXPECT_FALSE(state.triggerShortcut(ControlShortcut::nextSpace));
        EXPECT_FALSE(state.triggerShortcut(ControlShortcut::previous));
    }
    EXPECT_TRUE(state.triggerShortcut(ControlShortcut::startFromBeginning));
    EXPECT_EQ(model_.executed, std::vector<PresentationCommand>{PresentationCommand::start(true)});

    state.setFocusedTextField(std::nullopt);
    setRunning(false);
    EXPECT_EQ(enabled(), none);
    addTargets({remote("lpt_a", "Hall")});
    selectTarget("lpt_a");
    EXPECT_EQ(enabled(), every) << "reachable or not";
    EXPECT_TRUE(state.triggerShortcut(ControlShortcut::previous));
    EXPECT_EQ(model_.remoteSent.back().first, PresentationCommand::showPrevious());
    state.setActive(false);
    EXPECT_EQ(enabled(), none);
    EXPECT_FALSE(state.isEmphasised(true));
}

TEST_F(ControlsViewStateTest, TabLeavesOnlyTheNavigationFields) {
    MonitoredKeyPress tab;
    tab.isTab = true;
    EXPECT_TRUE(shouldDefocusOnKey(ControlTextField::slideNumber, tab));
    EXPECT_FALSE(shouldDefocusOnKey(std::nullopt, tab));
    EXPECT_FALSE(shouldDefocusOnKey(ControlTextField::remoteHost, tab)) << "address fields keep ordinary Tab";
    EXPECT_FALSE(shouldDefocusOnKey(ControlTextField::slideName, MonitoredKeyPress{}));
    for (bool MonitoredKeyPress::*flag : {&MonitoredKeyPress::shift, &MonitoredKeyPress::capsLock,
                                          &MonitoredKeyPress::control, &MonitoredKeyPress::alt,
                                          &MonitoredKeyPress::meta, &MonitoredKeyPress::keypad}) {
        MonitoredKeyPress modified = tab;
        modified.*flag = true;
        EXPECT_EQ(shouldDefocusOnKey(ControlTextField::slideName, modified), flag == &MonitoredKeyPress::shift);
    }
}

TEST_F(ControlsViewStateTest, InactiveViewSkipsTheRefreshUntilActiveAgain) {
    auto& state = make({}, false);
    EXPECT_TRUE(model_.log.empty());
    state.resetSlideListIfStale();
    EXPECT_EQ(state.slideListGeneration(), 0u) << "an untouched list is left alone";
    state.setActive(true);
    settle();
    EXPECT_EQ(state.slides().size(), 2u);
    const auto generation = state.slideListGeneration();
    state.resetSlideListIfStale();
    EXPECT_EQ(state.slideListGeneration(), generation) << "the list belongs to the current target";
}

TEST_F(ControlsViewStateTest, AnswersAfterTheViewIsGoneAreIgnored) {
    make({remote("lpt_a", "Hall")});
    auto health = model_.healthChecks.at(0).second;
    auto slides = model_.slideFetches.at(0).second;
    state_.reset();
    health(RemoteLanternpostHealth{"ok", std::nullopt, std::nullopt});
    slides(slidesOK({}));
    center_.post(refreshSlideNamesNotification);
    store().setValue(settings::presentationProvider, PresentationProvider::powerPoint);
    settle();
}

TEST_F(ControlsViewStateTest, TrayRestartsOnlyTheSwitchedServer) {
    std::vector<std::string> calls;
    MenuBarContentState tray(store(), {[&] { calls.push_back("rescan"); }, [&] { calls.push_back("osc"); },
                                       [&] { calls.push_back("http"); }, [&] { calls.push_back("refresh"); }});
    store().setValue(settings::httpEnabled, false);
    store().setValue(settings::oscEnabled, false);
    settle();
    EXPECT_EQ(calls, std::vector<std::string>({"rescan", "http", "refresh", "rescan", "osc", "refresh"}));
}

TEST(NotificationCenterTest, PostsFromAnyThreadReachObserversOnTheMainThread) {
    NotificationCenter center;
    std::vector<bool> onMain;
    auto token = center.addObserver(refreshSlideNamesNotification, [&] { onMain.push_back(dispatch::isMainThread()); });
    auto other = center.addObserver("Other", [&] { FAIL() << "wrong name"; });
    center.post(refreshSlideNamesNotification);  // on the main thread: at once
    EXPECT_EQ(onMain.size(), 1u);
    std::thread([&] { center.post(refreshSlideNamesNotification); }).join();
    EXPECT_EQ(onMain.size(), 1u);
    ASSERT_TRUE(dispatch::runMainQueue([&] { return onMain.size() == 2; }));
    EXPECT_EQ(onMain, std::vector<bool>({true, true}));
    token.cancel();
    center.post(refreshSlideNamesNotification);
    EXPECT_EQ(onMain.size(), 2u);
}

}  // namespace
}  // namespace pavonix
