#include "app/control/google_slides_controller.h"

#include <gtest/gtest.h>

#include "app/control/keynote_controller.h"
#include "app/control/power_point_controller.h"
#include "platform/x11/recording_window_system.h"

namespace pavonix {
namespace {

namespace ks = x11::keysym;
using x11::KeyStroke;
using Strokes = std::vector<KeyStroke>;

class GoogleSlidesControllerTest : public ::testing::Test {
protected:
    GoogleSlidesControllerTest() {
        x11::WindowInfo deck;
        deck.id = 0x600001;
        deck.title = "Deck - Google Slides";
        system->addWindow(deck);
        x11::WindowInfo other;
        other.id = 0x800001;
        other.title = "Terminal";
        system->addWindow(other);
        system->setActiveWindow(other.id);
    }

    Strokes typedInto(x11::WindowId id) const {
        Strokes out;
        for (const auto& t : system->typed()) {
            if (t.window == id) out.push_back(t.stroke);
        }
        return out;
    }

    std::shared_ptr<x11::RecordingWindowSystem> system = std::make_shared<x11::RecordingWindowSystem>();
    std::int64_t saved = 0x600001;
    GoogleSlidesController controller{system, [this] { return saved; }};
};

TEST_F(GoogleSlidesControllerTest, EachCommandFocusesTheSavedWindowAndTypesItsKeys) {
    struct Case {
        PresentationCommand command;
        Strokes keys;
    };
    const Case cases[] = {
        {PresentationCommand::start(), {{ks::F5, true, false}}},
        {PresentationCommand::start(true), {{ks::F5, true, true}}},
        {PresentationCommand::showNext(), {{ks::Right}}},
        {PresentationCommand::showPrevious(), {{ks::Left}}},
        {PresentationCommand::stop(), {{ks::Escape}}},
        {PresentationCommand::goToSlideNumber(107),
         {{ks::digit(1)}, {ks::digit(0)}, {ks::digit(7)}, {ks::Return}}},
    };
    for (const auto& c : cases) {
        system->clearRecords();
        system->setActiveWindow(0x800001);
        auto result = controller.perform(c.command, "Chromium - Deck");
        EXPECT_TRUE(result.isOK()) << result.message;
        EXPECT_EQ(result.command, c.command.displayText());
        EXPECT_EQ(result.message, c.command.displayText() + " sent to \"Chromium - Deck\".");
        EXPECT_EQ(system->activations(), std::vector<x11::WindowId>{0x600001});
        EXPECT_EQ(typedInto(0x600001), c.keys) << c.command.displayText();
        EXPECT_EQ(system->typed().size(), c.keys.size());
    }
}

TEST_F(GoogleSlidesControllerTest, UnsupportedRequestsFailWithoutTouchingAnyWindow) {
    auto named = controller.perform(PresentationCommand::goToSlideNamed("Intro"), "w");
    EXPECT_FALSE(named.isOK());
    EXPECT_EQ(named.message, "Named slide lookup is unavailable for Google Slides.");

    auto zero = controller.perform(PresentationCommand::goToSlideNumber(0), "w");
    EXPECT_FALSE(zero.isOK());
    EXPECT_FALSE(controller.perform(PresentationCommand::goToSlideNumber(-3), "w").isOK());

    auto slides = controller.listSlides("w");
    EXPECT_EQ(slides.status, ResultStatus::failed);
    EXPECT_EQ(slides.message, "Slide lists are unavailable for Google Slides.");
    EXPECT_TRUE(slides.slides.empty());

    EXPECT_TRUE(system->activations().empty());
    EXPECT_TRUE(system->typed().empty());
}

TEST_F(GoogleSlidesControllerTest, AMissingOrClosedWindowIsNamedInTheFailure) {
    EXPECT_TRUE(controller.isAvailable("x"));

    saved = 0;
    EXPECT_FALSE(controller.isAvailable("x"));
    EXPECT_EQ(controller.perform(PresentationCommand::showNext(), "x").message,
              "Choose a Google Slides window first.");

    saved = 0x600001;
    system->removeWindow(0x600001);
    EXPECT_FALSE(controller.isAvailable("Chromium - Deck"));
    auto gone = controller.perform(PresentationCommand::showNext(), "Chromium - Deck");
    EXPECT_FALSE(gone.isOK());
    EXPECT_EQ(gone.message,
              "The Google Slides window \"Chromium - Deck\" is no longer open. Refresh the window "
              "list and choose it again.");

    // Numbers no X window can have (a stale setting, a foreign id) count as closed windows.
    for (std::int64_t bogus : {std::int64_t{-5}, std::int64_t{0x100000000}}) {
        saved = bogus;
        EXPECT_FALSE(controller.isAvailable("x"));
        EXPECT_NE(controller.perform(PresentationCommand::stop(), "x").message.find("no longer open"),
                  std::string::npos);
    }
    EXPECT_TRUE(system->typed().empty());
}

TEST_F(GoogleSlidesControllerTest, NoDisplayNoKeysOrNoFocusFailsWithTheReason) {
    system->setUnavailable("No X display is available (DISPLAY is not set).");
    EXPECT_FALSE(controller.isAvailable("x"));
    EXPECT_EQ(controller.perform(PresentationCommand::start(), "x").message,
              "Google Slides windows cannot be controlled: No X display is available (DISPLAY is "
              "not set).");

    system->setUnavailable(std::nullopt);
    system->setCanSendKeys(false);
    EXPECT_FALSE(controller.isAvailable("x"));
    EXPECT_NE(controller.perform(PresentationCommand::start(), "x").message.find("XTEST"),
              std::string::npos);

    system->setCanSendKeys(true);
    system->refuseFocus(0x600001);
    auto refused = controller.perform(PresentationCommand::showNext(), "Deck");
    EXPECT_FALSE(refused.isOK());
    EXPECT_EQ(refused.message.rfind("Could not focus \"Deck\": ", 0), 0U) << refused.message;
    EXPECT_TRUE(system->typed().empty());
}

TEST(MacOnlyControllers, AreUnavailableAndSaySo) {
    KeynoteController keynote;
    PowerPointController powerPoint;
    const std::pair<PresentationController*, const char*> controllers[] = {
        {&keynote, "Keynote can only be controlled on macOS."},
        {&powerPoint, "PowerPoint can only be controlled on macOS."}};
    for (const auto& [controller, message] : controllers) {
        EXPECT_FALSE(controller->isAvailable("x"));
        EXPECT_EQ(controller->perform(PresentationCommand::showNext(), "x"),
                  CommandResult::failed(PresentationCommand::showNext(), message));
        auto slides = controller->listSlides("x");
        EXPECT_EQ(slides.status, ResultStatus::failed);
        EXPECT_EQ(slides.message, message);
    }
}

}  // namespace
}  // namespace pavonix
