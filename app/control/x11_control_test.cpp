// The Google Slides controller and the window list against a real X server with a
// window manager, and windows made by other X clients.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/control/google_slides_controller.h"
#include "app/control/presentation_window_target.h"
#include "platform/testing/wait_until.h"
#include "platform/x11/xcb_window_system.h"
#include "platform/x11/testing/xvfb_session.h"

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

// Sectioning and ordering rules are pinned against the recording window system; here, that real
// window properties reach them: the title, the class as owner, the late fullscreen state.
TEST(X11Control, RealWindowsAreListedSectionedAndSorted) {
    PAVONIX_REQUIRE_XVFB(x);
    x11::XcbWindowSystem system(x->display());
    TestWindow plain(x->display(), titled("Budget.ods", "LibreOffice"));
    TestWindow slides(x->display(), titled("Präsentation – GOOGLE SLÍDES", "Éclair"));
    TestWindow::Options fullOptions;
    fullOptions.fullscreen = true;
    TestWindow full(x->display(), fullOptions);
    TestWindow untitled(x->display(), TestWindow::Options{});
    const std::vector<TestWindow*> windows = {&plain, &slides, &full, &untitled};
    for (auto* w : windows) ASSERT_TRUE(w->waitUntilManaged());

    std::vector<PresentationWindowTarget> ours;
    testing::waitUntil([&] {
        ours.clear();
        for (auto& t : PresentationWindowTarget::availableWindows(system, false, false)) {
            for (auto* w : windows) {
                if (t.windowID == w->id()) ours.push_back(t);
            }
        }
        return ours.size() == 3;
    }, 2s, 10ms);
    ASSERT_EQ(ours.size(), 3U);  // the small untitled window is left out
    EXPECT_EQ(ours[0].windowID, slides.id());
    EXPECT_EQ(ours[0].menuTitle(), "Éclair - Präsentation – GOOGLE SLÍDES");
    EXPECT_EQ(ours[1].windowID, full.id());
    EXPECT_EQ(ours[1].menuTitle(), "PavonixTest - Full Screen Window");
    EXPECT_EQ(ours[1].displaySection(), Section::fullScreenWindow);
    EXPECT_EQ(ours[2].windowID, plain.id());
}

class GoogleSlidesOnX11 : public ::testing::Test {
protected:
    void SetUp() override {
        PAVONIX_REQUIRE_XVFB(shared);
        session = shared;
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

// The key of each command is pinned against the recording window system; here, that the focus
// really moves and the keys, modifiers included, reach only the saved window.
TEST_F(GoogleSlidesOnX11, CommandsMoveTheFocusAndDeliverExactlyTheirKeys) {
    GoogleSlidesController controller(system, [this] { return saved; });
    EXPECT_TRUE(controller.isAvailable("Deck"));
    struct Case {
        PresentationCommand command;
        std::vector<std::uint32_t> pressed;
        std::uint16_t modifiersOnLastPress;
    };
    const std::uint16_t control = 0x4, shift = 0x1;
    const Case cases[] = {
        {PresentationCommand::start(true), {ks::ControlL, ks::ShiftL, ks::F5}, control | shift},
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

}  // namespace
}  // namespace pavonix
