#include "platform/x11/xcb_window_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/testing/scoped_environment.h"
#include "platform/x11/frame_extents.h"
#include "platform/testing/wait_until.h"
#include "platform/x11/testing/test_window.h"

namespace pavonix::x11 {
namespace {

using testing::TestWindow;
using ::pavonix::testing::waitUntil;
using namespace std::chrono_literals;

constexpr std::uint16_t kControlAndShiftMask = 0x4 | 0x1;
constexpr KeyStroke kRight[] = {{keysym::Right}};

std::optional<WindowInfo> find(const std::vector<WindowInfo>& windows, WindowId id) {
    auto it = std::ranges::find(windows, id, &WindowInfo::id);
    return it == windows.end() ? std::nullopt : std::optional(*it);
}

TEST(XcbWindowSystemWithoutDisplay, SaysWhyAndFailsEveryCall) {
    XcbWindowSystem missing(":4093");
    EXPECT_NE(missing.unavailableReason().value_or("").find(":4093"), std::string::npos);
    EXPECT_FALSE(missing.canSendKeys());
    EXPECT_TRUE(missing.listWindows().empty());
    EXPECT_FALSE(missing.window(42).has_value());
    EXPECT_FALSE(missing.activeWindow().has_value());
    EXPECT_FALSE(missing.activate(42, 10ms).ok());
    EXPECT_FALSE(missing.sendKeys(42, kRight).ok());
    EXPECT_FALSE(requestFrameExtents(":4093", 42, 10ms));

    // A Wayland-only session has no DISPLAY at all.
    ::pavonix::testing::ScopedEnvironment environment("DISPLAY", std::nullopt);
    environment.set("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_NE(XcbWindowSystem().unavailableReason().value_or("").find("Wayland"), std::string::npos);
}

class XcbWindowSystemTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(display.empty()) << "run through ctest, which starts the X server";
        system = std::make_unique<XcbWindowSystem>(display);
    }

    // A window of another program, managed and holding the focus.
    std::unique_ptr<TestWindow> focusedWindow(const std::string& title) {
        auto window = std::make_unique<TestWindow>(display, TestWindow::Options{.netWmName = title});
        EXPECT_TRUE(window->waitUntilManaged());
        EXPECT_TRUE(system->activate(window->id(), 2s).ok());
        EXPECT_TRUE(window->waitForFocus());
        return window;
    }

    // The private X server ctest runs this suite on (testing/with_xvfb.sh).
    const std::string display = std::getenv("PAVONIX_XVFB") ? std::getenv("PAVONIX_XVFB") : "";
    std::unique_ptr<XcbWindowSystem> system;
};

TEST_F(XcbWindowSystemTest, ListsManagedWindowsWithTheirProperties) {
    EXPECT_FALSE(system->unavailableReason().has_value());
    EXPECT_TRUE(system->canSendKeys());

    TestWindow slides(display, {.netWmName = "Quarterly review - Google Slides", .instanceName = "chromium",
                                .className = "Chromium", .processID = 4242});
    TestWindow legacy(display, {.wmName = "Pr\xe9sentation"});  // WM_NAME only, in Latin-1
    TestWindow broken(display, {.netWmName = "bad \xff title"});
    std::string longTitle = "a";
    for (int i = 0; i < 2100; ++i) longTitle += "é";  // past the read limit, cut inside an "é"
    TestWindow longName(display, {.netWmName = longTitle});
    TestWindow fullscreen(display, {.fullscreen = true});
    TestWindow untitled(display, TestWindow::Options{});
    for (auto* w : {&slides, &legacy, &broken, &longName, &fullscreen, &untitled}) {
        ASSERT_TRUE(w->waitUntilManaged());
    }
    auto windows = system->listWindows();

    auto s = find(windows, slides.id());
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, (WindowInfo{slides.id(), "Quarterly review - Google Slides", 4242, "chromium",
                              "Chromium", {s->geometry.x, s->geometry.y, 400, 300}, true, false}));
    auto title = [&](const TestWindow& w) { return find(windows, w.id()).value_or(WindowInfo{}).title; };
    EXPECT_EQ(title(legacy), "Présentation");
    EXPECT_EQ(title(broken), "bad \xef\xbf\xbd title");
    EXPECT_EQ(title(longName), longTitle.substr(0, 1 + 2 * 2047));
    ASSERT_TRUE(find(windows, untitled.id()).has_value());
    EXPECT_EQ(title(untitled), "");
    // The fullscreen request is served by the window manager asynchronously.
    EXPECT_TRUE(waitUntil([&] {
        auto w = system->window(fullscreen.id());
        return w && w->fillsScreen && w->geometry.width == 1280 && w->geometry.height == 800;
    }, 5s, 10ms));

    // Gone windows and ids that are no managed window are not found.
    const WindowId gone = untitled.id();
    untitled.destroy();
    EXPECT_FALSE(system->window(gone).has_value());
    EXPECT_FALSE(find(system->listWindows(), gone).has_value());
    EXPECT_FALSE(system->window(0x1fffffff).has_value());
}

TEST_F(XcbWindowSystemTest, ActivationMovesTheFocusAndKeysArriveWithModifiers) {
    auto first = focusedWindow("first");
    auto second = focusedWindow("second");
    // Keys are refused while the target does not hold the focus.
    EXPECT_FALSE(system->sendKeys(first->id(), kRight).ok());

    ASSERT_TRUE(system->activate(first->id(), 2s).ok());
    EXPECT_TRUE(first->waitForFocus());
    EXPECT_EQ(system->activeWindow(), first->id());
    const KeyStroke strokes[] = {{keysym::F5, true, true}, {keysym::digit(7)}, {keysym::Return}};
    ASSERT_TRUE(system->sendKeys(first->id(), strokes).ok());
    ASSERT_TRUE(first->waitForKeyPresses(5));
    // Each press with the modifiers held at the time: F5 with both, the digit with none.
    using Presses = std::vector<std::pair<std::uint32_t, int>>;
    const auto presses = [](const TestWindow& window) {
        Presses out;
        for (const auto& key : window.keyEvents()) {
            if (key.press) out.emplace_back(key.keysym, key.state & kControlAndShiftMask);
        }
        return out;
    };
    EXPECT_EQ(presses(*first), (Presses{{keysym::ControlL, 0}, {keysym::ShiftL, 0x4}, {keysym::F5, kControlAndShiftMask},
                                        {keysym::digit(7), 0}, {keysym::Return, 0}}));
    second->pump();
    EXPECT_TRUE(second->keyEvents().empty());

    // Where the digits are on the shifted level (French), a digit is sent with Shift.
    const std::string layout = "setxkbmap -display " + display + " ";
    ASSERT_EQ(std::system((layout + "fr").c_str()), 0);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { std::system((layout + "us").c_str()); });
    auto azerty = focusedWindow("azerty");
    const KeyStroke seven[] = {{keysym::digit(7)}};
    ASSERT_TRUE(system->sendKeys(azerty->id(), seven).ok());
    azerty->waitForKeyPresses(2);
    EXPECT_EQ(presses(*azerty), (Presses{{keysym::ShiftL, 0}, {keysym::digit(7), 0x1}}));
}

TEST_F(XcbWindowSystemTest, AKeyStillHeldDownIsReleasedSoTheCommandsPressArrives) {
    auto target = focusedWindow("target");
    // The user's own Right is still down when the command sends Right.
    std::string hold = "DISPLAY=" + display + " xdotool keydown Right";
    ASSERT_EQ(std::system(hold.c_str()), 0);
    waitUntil([&] {
        target->pump();
        return !target->keyEvents().empty();
    });
    ASSERT_EQ(target->keyEvents().size(), 1U);
    ASSERT_TRUE(system->sendKeys(target->id(), kRight).ok());
    ASSERT_TRUE(target->waitForKeyPresses(2));
    EXPECT_EQ(target->pressedKeysyms(), (std::vector<std::uint32_t>{keysym::Right, keysym::Right}));
}

TEST_F(XcbWindowSystemTest, AClosedWindowFailsActivationAndKeys) {
    auto doomed = focusedWindow("doomed");
    WindowId id = doomed->id();
    doomed->destroy();
    EXPECT_FALSE(system->activate(id, 200ms).ok());
    EXPECT_NE(system->sendKeys(id, kRight).error.value_or("").find("no longer open"), std::string::npos);
    // The connection survives the errors.
    EXPECT_FALSE(system->unavailableReason().has_value());
}

// Asked before the window is shown, openbox answers with the frame it will draw: a title bar at
// the top. A window that is gone has no frame.
TEST_F(XcbWindowSystemTest, TheFrameOfAWindowIsKnownBeforeItIsShown) {
    // The new window takes the id of an earlier test's; until openbox is done with that one, it
    // clears the frame of whatever window holds the id.
    ASSERT_TRUE(waitUntil([&] { return system->listWindows().empty(); }, 5s, 10ms));
    TestWindow hidden(display, {.netWmName = "hidden", .mapped = false});
    const auto before = requestFrameExtents(display, hidden.id(), 5s);
    ASSERT_TRUE(before);
    EXPECT_GT(before->top, 0);
    EXPECT_GE(before->top, before->bottom);
    TestWindow shown(display, {.netWmName = "shown"});
    ASSERT_TRUE(shown.waitUntilManaged());
    EXPECT_EQ(requestFrameExtents(display, shown.id(), 5s), before);
    const WindowId gone = hidden.id();
    hidden.destroy();
    EXPECT_FALSE(requestFrameExtents(display, gone, 5s));
}

// Run by ctest on a server without a window manager.
using XcbWindowSystemWithoutWindowManager = XcbWindowSystemTest;

TEST_F(XcbWindowSystemWithoutWindowManager, ListsViewableTopLevelsAndFocusesDirectly) {
    TestWindow a(display, {.netWmName = "alpha"});
    TestWindow b(display, {.netWmName = "beta"});
    // Without a manager nothing publishes a client list; wait until both are mapped.
    ASSERT_TRUE(waitUntil([&] {
        auto list = system->listWindows();
        return find(list, a.id()) && find(list, b.id());
    }, 5s, 10ms));
    ASSERT_TRUE(system->activate(a.id(), 500ms).ok());
    EXPECT_TRUE(a.waitForFocus());
    const KeyStroke escape[] = {{keysym::Escape}};
    ASSERT_TRUE(system->sendKeys(a.id(), escape).ok());
    ASSERT_TRUE(a.waitForKeyPresses(1));
    EXPECT_EQ(a.pressedKeysyms(), std::vector<std::uint32_t>{keysym::Escape});
    // No one to ask for a frame: the answer is at once that there is none, mapped or not.
    TestWindow hidden(display, {.netWmName = "hidden", .mapped = false});
    for (const WindowId id : {a.id(), hidden.id()}) EXPECT_FALSE(requestFrameExtents(display, id, 5s));
}

}  // namespace
}  // namespace pavonix::x11
