// The Google Slides controller, the window list and the authorizer against a real X server with a
// window manager, and windows made by other X clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/control/google_slides_controller.h"
#include "app/control/lanternpost_permission_authorizer.h"
#include "app/control/presentation_window_target.h"
#include "platform/dispatch/dispatch.h"
#include "platform/x11/xcb_window_system.h"
#include "platform/x11/xvfb_session.h"

namespace pavonix {
namespace {

using x11::testing::TestWindow;
using Section = PresentationWindowDisplaySection;
namespace ks = x11::keysym;
using namespace std::chrono_literals;

TestWindow::Options titled(std::string title, std::string owner = "Chromium") {
    TestWindow::Options o;
    o.netWmName = std::move(title);
    o.className = std::move(owner);
    return o;
}

TEST(X11Control, RealWindowsAreListedSectionedAndSorted) {
    PAVONIX_REQUIRE_XVFB(x);
    x11::XcbWindowSystem system(x->display());
    TestWindow plain(x->display(), titled("Budget.ods", "LibreOffice"));
    TestWindow editor(x->display(), titled("https://docs.google.com/presentation/d/1x/edit", "firefox"));
    TestWindow accented(x->display(), titled("Präsentation – GOOGLE SLÍDES", "Éclair"));
    TestWindow slides(x->display(), titled("Quarterly Review - Google Slides", "Chromium"));
    TestWindow::Options fullOptions;
    fullOptions.fullscreen = true;
    TestWindow full(x->display(), fullOptions);
    TestWindow untitled(x->display(), TestWindow::Options{});
    for (auto* w : {&plain, &editor, &accented, &slides, &full, &untitled}) {
        ASSERT_TRUE(w->waitUntilManaged());
    }

    std::vector<PresentationWindowTarget> ours;
    for (int attempt = 0; attempt < 200; ++attempt) {  // the fullscreen state arrives late
        ours.clear();
        for (auto& t : PresentationWindowTarget::availableWindows(system, false, false)) {
            for (auto* w : {&plain, &editor, &accented, &slides, &full, &untitled}) {
                if (t.windowID == w->id()) ours.push_back(t);
            }
        }
        if (ours.size() == 5) break;
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(ours.size(), 5U);  // the small untitled window is left out
    std::vector<std::int64_t> ids;
    std::vector<Section> sections;
    for (const auto& t : ours) {
        ids.push_back(t.windowID);
        sections.push_back(t.displaySection());
    }
    // Google Slides windows by owner (Chromium, Éclair, firefox), then full screen, then the rest.
    EXPECT_EQ(ids, (std::vector<std::int64_t>{slides.id(), accented.id(), editor.id(), full.id(),
                                              plain.id()}));
    EXPECT_EQ(sections, (std::vector<Section>{Section::googleSlides, Section::googleSlides,
                                              Section::googleSlides, Section::fullScreenWindow,
                                              Section::other}));
    EXPECT_EQ(ours[1].menuTitle(), "Éclair - Präsentation – GOOGLE SLÍDES");
    EXPECT_EQ(ours[3].title, "Full Screen Window");
    EXPECT_EQ(ours[3].ownerName, "PavonixTest");
}

class GoogleSlidesOnX11 : public ::testing::Test {
protected:
    void SetUp() override {
        session = x11::testing::sharedXvfb();
        if (!session) {
            if (x11::testing::inCI()) FAIL() << x11::testing::sharedXvfbError();
            GTEST_SKIP() << x11::testing::sharedXvfbError();
        }
        system = std::make_shared<x11::XcbWindowSystem>(session->display());
        deck = std::make_unique<TestWindow>(session->display(), titled("Deck - Google Slides"));
        other = std::make_unique<TestWindow>(session->display(), titled("Terminal", "XTerm"));
        ASSERT_TRUE(deck->waitUntilManaged());
        ASSERT_TRUE(other->waitUntilManaged());
        saved = deck->id();
    }

    x11::testing::XvfbSession* session = nullptr;
    std::shared_ptr<x11::XcbWindowSystem> system;
    std::unique_ptr<TestWindow> deck;
    std::unique_ptr<TestWindow> other;
    std::int64_t saved = 0;
};

TEST_F(GoogleSlidesOnX11, EachCommandMovesTheFocusAndDeliversExactlyItsKeys) {
    GoogleSlidesController controller(system, [this] { return saved; });
    EXPECT_TRUE(controller.isAvailable("Deck"));
    struct Case {
        PresentationCommand command;
        std::vector<std::uint32_t> pressed;
        std::uint16_t modifiersOnLastPress;
    };
    const std::uint16_t control = 0x4, shift = 0x1;
    const Case cases[] = {
        {PresentationCommand::start(), {ks::ControlL, ks::F5}, control},
        {PresentationCommand::start(true), {ks::ControlL, ks::ShiftL, ks::F5}, control | shift},
        {PresentationCommand::showNext(), {ks::Right}, 0},
        {PresentationCommand::showPrevious(), {ks::Left}, 0},
        {PresentationCommand::stop(), {ks::Escape}, 0},
        {PresentationCommand::goToSlideNumber(42), {ks::digit(4), ks::digit(2), ks::Return}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command.displayText());
        ASSERT_TRUE(system->activate(other->id(), 2s).ok());
        deck->clearKeys();
        other->clearKeys();

        auto result = controller.perform(c.command, "Deck");
        ASSERT_TRUE(result.isOK()) << result.message;
        EXPECT_TRUE(deck->waitForFocus());
        ASSERT_TRUE(deck->waitForKeyPresses(c.pressed.size()));
        std::this_thread::sleep_for(20ms);  // anything extra would have arrived by now
        deck->pump();
        EXPECT_EQ(deck->pressedKeysyms(), c.pressed);
        EXPECT_EQ(deck->keyEvents().size(), 2 * c.pressed.size());
        auto keys = deck->keyEvents();
        auto lastPress = std::find_if(keys.rbegin(), keys.rend(), [](auto& k) { return k.press; });
        EXPECT_EQ(lastPress->state & (control | shift), c.modifiersOnLastPress);
        EXPECT_FALSE(keys.back().press);  // everything pressed was released
        other->pump();
        EXPECT_TRUE(other->keyEvents().empty());
    }
}

TEST_F(GoogleSlidesOnX11, AWindowClosedAfterListingGivesAFailedResult) {
    auto listed = PresentationWindowTarget::availableWindows(*system, false, false);
    ASSERT_TRUE(std::any_of(listed.begin(), listed.end(),
                            [&](const auto& t) { return t.windowID == deck->id(); }));
    GoogleSlidesController controller(system, [this] { return saved; });
    deck->destroy();
    auto result = controller.perform(PresentationCommand::showNext(), "Chromium - Deck");
    EXPECT_FALSE(result.isOK());
    EXPECT_NE(result.message.find("\"Chromium - Deck\" is no longer open"), std::string::npos);
    EXPECT_FALSE(controller.isAvailable("Chromium - Deck"));
    other->pump();
    EXPECT_TRUE(other->keyEvents().empty());
}

TEST_F(GoogleSlidesOnX11, AuthorizerGrantsAccessibilityWhenTheDisplayTakesSyntheticKeys) {
    dispatch::setMainThread();
    auto ask = [](std::shared_ptr<x11::WindowSystem> windows) {
        LanternpostPermissionAuthorizer authorizer(
            std::make_shared<SystemPermissionProbes>(windows, nullptr, nullptr));
        std::optional<WelcomePermissionGrantState> state;
        authorizer.currentState(WelcomePermission::accessibility, [&](auto s) { state = s; });
        dispatch::runMainQueue([&] { return state.has_value(); }, 5s);
        return state;
    };
    EXPECT_EQ(ask(system), WelcomePermissionGrantState::granted);
    EXPECT_EQ(ask(std::make_shared<x11::XcbWindowSystem>(":4093")),
              WelcomePermissionGrantState::notDetermined);
}

TEST(X11ControlWithoutDisplay, TheProviderIsUnavailableAndSaysWhy) {
    auto missing = std::make_shared<x11::XcbWindowSystem>(":4093");
    GoogleSlidesController controller(missing, [] { return std::int64_t{0x600001}; });
    EXPECT_FALSE(controller.isAvailable("Deck"));
    auto result = controller.perform(PresentationCommand::showNext(), "Deck");
    EXPECT_FALSE(result.isOK());
    EXPECT_EQ(result.message,
              "Google Slides windows cannot be controlled: Cannot connect to the X display \":4093\".");
    EXPECT_TRUE(PresentationWindowTarget::availableWindows(*missing, false, false).empty());
}

}  // namespace
}  // namespace pavonix
