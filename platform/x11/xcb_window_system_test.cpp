#include "platform/x11/xcb_window_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "platform/testing/scoped_environment.h"
#include "platform/testing/wait_until.h"
#include "platform/x11/testing/xvfb_session.h"

namespace pavonix::x11 {
namespace {

using testing::TestWindow;
using ::pavonix::testing::waitUntil;
using namespace std::chrono_literals;

constexpr std::uint16_t kControlMask = 0x4;
constexpr std::uint16_t kShiftMask = 0x1;

const WindowInfo* find(const std::vector<WindowInfo>& windows, WindowId id) {
    auto it = std::find_if(windows.begin(), windows.end(),
                           [id](const WindowInfo& w) { return w.id == id; });
    return it == windows.end() ? nullptr : &*it;
}

TestWindow::Options titled(std::string title) {
    TestWindow::Options o;
    o.netWmName = std::move(title);
    return o;
}

TEST(XcbWindowSystemWithoutDisplay, SaysWhyAndFailsEveryCall) {
    XcbWindowSystem missing(":4093");
    auto reason = missing.unavailableReason();
    ASSERT_TRUE(reason.has_value());
    EXPECT_NE(reason->find(":4093"), std::string::npos);
    EXPECT_FALSE(missing.canSendKeys());
    EXPECT_TRUE(missing.listWindows().empty());
    EXPECT_FALSE(missing.window(42).has_value());
    EXPECT_FALSE(missing.activeWindow().has_value());
    EXPECT_FALSE(missing.activate(42, 10ms).ok());
    KeyStroke key{keysym::Right};
    EXPECT_FALSE(missing.sendKeys(42, {&key, 1}).ok());

    // A Wayland-only session has no DISPLAY at all.
    ::pavonix::testing::ScopedEnvironment environment("DISPLAY", std::nullopt);
    environment.set("WAYLAND_DISPLAY", "wayland-0");
    auto waylandReason = XcbWindowSystem().unavailableReason();
    ASSERT_TRUE(waylandReason.has_value());
    EXPECT_NE(waylandReason->find("Wayland"), std::string::npos);
}

TEST(XcbWindowSystem, ListsManagedWindowsWithTheirProperties) {
    PAVONIX_REQUIRE_XVFB(x);
    XcbWindowSystem system(x->display());
    ASSERT_FALSE(system.unavailableReason().has_value());
    EXPECT_TRUE(system.canSendKeys());

    auto slidesOptions = titled("Quarterly review - Google Slides");
    slidesOptions.processID = 4242;
    slidesOptions.instanceName = "chromium";
    slidesOptions.className = "Chromium";
    TestWindow slides(x->display(), slidesOptions);

    TestWindow::Options latin1;
    latin1.wmName = "Pr\xe9sentation";  // WM_NAME only, in Latin-1
    TestWindow legacy(x->display(), latin1);

    TestWindow broken(x->display(), titled("bad \xff title"));

    std::string longTitle = "a";
    for (int i = 0; i < 2100; ++i) longTitle += "é";  // past the read limit, cut inside an "é"
    TestWindow longName(x->display(), titled(longTitle));

    TestWindow::Options full;
    full.fullscreen = true;
    TestWindow fullscreen(x->display(), full);

    TestWindow untitled(x->display(), TestWindow::Options{});

    for (auto* w : {&slides, &legacy, &broken, &longName, &fullscreen, &untitled}) {
        ASSERT_TRUE(w->waitUntilManaged());
    }
    auto windows = system.listWindows();

    const WindowInfo* s = find(windows, slides.id());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->title, "Quarterly review - Google Slides");
    EXPECT_EQ(s->processID, 4242);
    EXPECT_EQ(s->instanceName, "chromium");
    EXPECT_EQ(s->className, "Chromium");
    EXPECT_TRUE(s->onScreen);
    EXPECT_FALSE(s->fillsScreen);
    EXPECT_EQ(s->geometry.width, 400);
    EXPECT_EQ(s->geometry.height, 300);

    ASSERT_NE(find(windows, legacy.id()), nullptr);
    EXPECT_EQ(find(windows, legacy.id())->title, "Présentation");
    ASSERT_NE(find(windows, broken.id()), nullptr);
    EXPECT_EQ(find(windows, broken.id())->title, "bad \xef\xbf\xbd title");
    ASSERT_NE(find(windows, longName.id()), nullptr);
    EXPECT_EQ(find(windows, longName.id())->title, longTitle.substr(0, 1 + 2 * 2047));

    // The fullscreen request is served by the window manager asynchronously.
    EXPECT_TRUE(waitUntil([&] {
        auto w = system.window(fullscreen.id());
        return w && w->fillsScreen && w->geometry.width == 1280 && w->geometry.height == 800;
    }, 5s, 10ms));
    ASSERT_NE(find(windows, untitled.id()), nullptr);
    EXPECT_EQ(find(windows, untitled.id())->title, "");
    EXPECT_FALSE(find(windows, untitled.id())->fillsScreen);

    // Gone windows and ids that are no managed window are not found.
    WindowId gone = untitled.id();
    untitled.destroy();
    EXPECT_FALSE(system.window(gone).has_value());
    EXPECT_EQ(find(system.listWindows(), gone), nullptr);
    EXPECT_FALSE(system.window(0x1fffffff).has_value());
}

TEST(XcbWindowSystem, ActivationMovesTheFocusAndKeysArriveWithModifiers) {
    PAVONIX_REQUIRE_XVFB(x);
    XcbWindowSystem system(x->display());
    TestWindow first(x->display(), titled("first"));
    ASSERT_TRUE(first.waitUntilManaged());
    TestWindow second(x->display(), titled("second"));
    ASSERT_TRUE(second.waitUntilManaged());
    ASSERT_TRUE(system.activate(second.id(), 2s).ok());
    ASSERT_TRUE(second.waitForFocus());

    // Keys are refused while the target does not hold the focus.
    KeyStroke right{keysym::Right};
    EXPECT_FALSE(system.sendKeys(first.id(), {&right, 1}).ok());

    ASSERT_TRUE(system.activate(first.id(), 2s).ok());
    EXPECT_TRUE(first.waitForFocus());
    EXPECT_EQ(system.activeWindow(), first.id());

    const KeyStroke strokes[] = {{keysym::F5, true, true}, {keysym::digit(7)}, {keysym::Return}};
    ASSERT_TRUE(system.sendKeys(first.id(), strokes).ok());
    ASSERT_TRUE(first.waitForKeyPresses(5));
    auto keys = first.keyEvents();
    ASSERT_EQ(keys.size(), 10U);
    EXPECT_EQ(first.pressedKeysyms(),
              (std::vector<std::uint32_t>{keysym::ControlL, keysym::ShiftL, keysym::F5,
                                          keysym::digit(7), keysym::Return}));
    // F5 arrives with both modifiers held; the digit with none.
    EXPECT_EQ(keys[2].state & (kControlMask | kShiftMask), kControlMask | kShiftMask);
    EXPECT_TRUE(keys[2].press);
    EXPECT_EQ(keys[6].keysym, keysym::digit(7));
    EXPECT_EQ(keys[6].state & (kControlMask | kShiftMask), 0);
    second.pump();
    EXPECT_TRUE(second.keyEvents().empty());
}

TEST(XcbWindowSystem, AKeyStillHeldDownIsReleasedSoTheCommandsPressArrives) {
    PAVONIX_REQUIRE_XVFB(x);
    XcbWindowSystem system(x->display());
    TestWindow target(x->display(), titled("target"));
    ASSERT_TRUE(target.waitUntilManaged());
    ASSERT_TRUE(system.activate(target.id(), 2s).ok());
    ASSERT_TRUE(target.waitForFocus());

    // The user's own Right is still down when the command sends Right.
    std::string hold = "DISPLAY=" + x->display() + " xdotool keydown Right";
    ASSERT_EQ(std::system(hold.c_str()), 0);
    waitUntil([&] {
        target.pump();
        return !target.keyEvents().empty();
    });
    ASSERT_EQ(target.keyEvents().size(), 1U);
    KeyStroke right{keysym::Right};
    ASSERT_TRUE(system.sendKeys(target.id(), {&right, 1}).ok());
    ASSERT_TRUE(target.waitForKeyPresses(2));
    EXPECT_EQ(target.pressedKeysyms(), (std::vector<std::uint32_t>{keysym::Right, keysym::Right}));
}

TEST(XcbWindowSystem, AClosedWindowFailsActivationAndKeys) {
    PAVONIX_REQUIRE_XVFB(x);
    XcbWindowSystem system(x->display());
    TestWindow doomed(x->display(), titled("doomed"));
    ASSERT_TRUE(doomed.waitUntilManaged());
    ASSERT_TRUE(system.activate(doomed.id(), 2s).ok());
    WindowId id = doomed.id();
    doomed.destroy();
    EXPECT_FALSE(system.activate(id, 200ms).ok());
    KeyStroke right{keysym::Right};
    auto sent = system.sendKeys(id, {&right, 1});
    ASSERT_FALSE(sent.ok());
    EXPECT_NE(sent.error->find("no longer open"), std::string::npos);
    // The connection survives the errors.
    EXPECT_FALSE(system.unavailableReason().has_value());
}

TEST(XcbWindowSystemWithoutWindowManager, ListsViewableTopLevelsAndFocusesDirectly) {
    std::string error;
    auto bare = testing::XvfbSession::start(error, false);
    if (!bare) {
        if (testing::inCI()) FAIL() << error;
        GTEST_SKIP() << error;
    }
    XcbWindowSystem system(bare->display());
    TestWindow a(bare->display(), titled("alpha"));
    TestWindow b(bare->display(), titled("beta"));
    // Without a manager nothing publishes a client list; wait until both are mapped.
    ASSERT_TRUE(waitUntil([&] {
        auto list = system.listWindows();
        return find(list, a.id()) && find(list, b.id());
    }, 5s, 10ms));
    ASSERT_TRUE(system.activate(a.id(), 500ms).ok());
    EXPECT_TRUE(a.waitForFocus());
    KeyStroke escape{keysym::Escape};
    ASSERT_TRUE(system.sendKeys(a.id(), {&escape, 1}).ok());
    ASSERT_TRUE(a.waitForKeyPresses(1));
    EXPECT_EQ(a.pressedKeysyms(), std::vector<std::uint32_t>{keysym::Escape});
}

}  // namespace
}  // namespace pavonix::x11
