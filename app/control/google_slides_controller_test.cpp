// The controller over the recording window system. That focus and keys really reach a window is
// the window system's own X11 test; the program's X11 run drives a saved window end to end. The
// Keynote and PowerPoint answers are pinned through the model and the program's HTTP test.
#include "app/control/google_slides_controller.h"

#include <gtest/gtest.h>

#include "platform/x11/testing/recording_window_system.h"

namespace pavonix {
namespace {

namespace ks = x11::keysym;
using Typed = x11::RecordingWindowSystem::Typed;

constexpr x11::WindowId kDeck = 0x600001, kTerminal = 0x800001;

x11::WindowInfo window(x11::WindowId id, std::string title) {
    x11::WindowInfo w;
    w.id = id;
    w.title = std::move(title);
    return w;
}

class GoogleSlidesControllerTest : public ::testing::Test {
protected:
    GoogleSlidesControllerTest() {
        system->setWindows({window(kDeck, "Deck - Google Slides"), window(kTerminal, "Terminal")});
        system->setActiveWindow(kTerminal);
    }

    // Fails, says why, and has typed nothing anywhere.
    std::string failure(const PresentationCommand& command) {
        auto result = controller.perform(command, "Deck");
        EXPECT_FALSE(result.isOK());
        EXPECT_TRUE(system->typed().empty());
        return result.message;
    }

    std::shared_ptr<x11::RecordingWindowSystem> system = std::make_shared<x11::RecordingWindowSystem>();
    std::int64_t saved = kDeck;
    GoogleSlidesController controller{system, [this] { return saved; }};
};

TEST_F(GoogleSlidesControllerTest, EachCommandFocusesTheSavedWindowAndTypesItsKeys) {
    const std::pair<PresentationCommand, std::vector<x11::KeyStroke>> cases[] = {
        {PresentationCommand::start(), {{ks::F5, true, false}}},
        {PresentationCommand::start(true), {{ks::F5, true, true}}},
        {PresentationCommand::showNext(), {{ks::Right}}},
        {PresentationCommand::showPrevious(), {{ks::Left}}},
        {PresentationCommand::stop(), {{ks::Escape}}},
        {PresentationCommand::goToSlideNumber(107), {{ks::digit(1)}, {ks::digit(0)}, {ks::digit(7)}, {ks::Return}}},
    };
    for (const auto& [command, keys] : cases) {
        SCOPED_TRACE(command.displayText());
        system->clearRecords();
        system->setActiveWindow(kTerminal);
        EXPECT_EQ(controller.perform(command, "Chromium - Deck"),
                  CommandResult::ok(command, command.displayText() + " sent to \"Chromium - Deck\"."));
        EXPECT_EQ(system->activations(), std::vector<x11::WindowId>{kDeck});
        std::vector<Typed> expected;
        for (const auto& key : keys) expected.push_back({kDeck, key});
        EXPECT_EQ(system->typed(), expected);
    }
}

TEST_F(GoogleSlidesControllerTest, RequestsWithoutKeysOrWindowFailAndTouchNoWindow) {
    EXPECT_EQ(failure(PresentationCommand::goToSlideNamed("Intro")), "Named slide lookup is unavailable for Google Slides.");
    failure(PresentationCommand::goToSlideNumber(0));
    failure(PresentationCommand::goToSlideNumber(-3));
    EXPECT_EQ(controller.listSlides("Deck"),
              (SlideListResult{ResultStatus::failed, "Slide lists are unavailable for Google Slides.", {}}));
    EXPECT_TRUE(controller.isAvailable("Deck"));

    saved = 0;
    EXPECT_FALSE(controller.isAvailable("Deck"));
    EXPECT_EQ(failure(PresentationCommand::showNext()), "Choose a Google Slides window first.");

    // Numbers no X window can have (a stale setting, a foreign id) count as closed windows, even
    // where their low bits name an open one; so does the saved window once it has closed.
    for (std::int64_t closed : {std::int64_t{-5}, (std::int64_t{1} << 32) + kDeck, std::int64_t{kDeck}}) {
        saved = closed;
        if (closed == kDeck) system->removeWindow(kDeck);
        EXPECT_FALSE(controller.isAvailable("Deck"));
        EXPECT_EQ(failure(PresentationCommand::stop()),
                  "The Google Slides window \"Deck\" is no longer open. Refresh the window list and choose it again.");
    }
    EXPECT_TRUE(system->activations().empty());
}

TEST_F(GoogleSlidesControllerTest, NoDisplayNoKeysOrNoFocusFailsWithTheReason) {
    system->setUnavailable("No X display is available (DISPLAY is not set).");
    EXPECT_FALSE(controller.isAvailable("Deck"));
    EXPECT_EQ(failure(PresentationCommand::start()),
              "Google Slides windows cannot be controlled: No X display is available (DISPLAY is not set).");

    system->setUnavailable(std::nullopt);
    system->setCanSendKeys(false);
    EXPECT_FALSE(controller.isAvailable("Deck"));
    EXPECT_NE(failure(PresentationCommand::start()).find("XTEST"), std::string::npos);

    system->setCanSendKeys(true);
    system->refuseFocus(kDeck);
    EXPECT_EQ(failure(PresentationCommand::showNext()).rfind("Could not focus \"Deck\": ", 0), 0U);
}

}  // namespace
}  // namespace pavonix
