#include "app/control/presentation_window_target.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "platform/x11/testing/recording_window_system.h"

namespace pavonix {
namespace {

using Section = PresentationWindowDisplaySection;

x11::WindowInfo window(x11::WindowId id, std::string title, std::string className = "Chromium") {
    return {.id = id, .title = std::move(title), .instanceName = "instance", .className = std::move(className),
            .geometry = {10, 10, 800, 600}, .onScreen = true};
}

// Folding and ordering in the user's locale (localized_text.h) are pinned through the sections
// and the sorted window list.
TEST(PresentationWindowTarget, SectionsFollowTheTitle) {
    const std::pair<const char*, Section> cases[] = {
        {"SLÍDES für GOOGLE", Section::googleSlides},
        {"https://docs.google.com/presentation/d/1abc/edit", Section::googleSlides},
        {"Google Slides Full Screen Window", Section::googleSlides},
        {"docs.google.com/document/d/1abc", Section::other},
        {"My slides", Section::other},
        {"Player - full SCREEN window", Section::fullScreenWindow},
        {"bad \xff Google Slides", Section::googleSlides},  // invalid UTF-8 still folds
    };
    for (const auto& [title, section] : cases) EXPECT_EQ(displaySectionForTitle(title), section) << title;
}

TEST(PresentationWindowTarget, UntitledWindowsAreKeptOnlyWhenTheyFillTheScreenAndOwnersFallBack) {
    EXPECT_FALSE(PresentationWindowTarget::from(window(1, "  \n")).has_value());
    auto full = window(2, "", "");  // no class: the instance name, then a fixed text, is the owner
    full.fillsScreen = true;
    EXPECT_EQ(PresentationWindowTarget::from(full)->menuTitle(), "instance - Full Screen Window");
    full.instanceName.clear();
    EXPECT_EQ(PresentationWindowTarget::from(full)->ownerName, "Unknown application");
    PresentationWindowTarget byHand;  // built without a title, it still has a menu title
    byHand.ownerName = "Chromium";
    EXPECT_EQ(byHand.menuTitle(), "Chromium - (untitled window)");
}

TEST(PresentationWindowTarget, AvailableWindowsAreSectionedSortedAndFiltered) {
    x11::RecordingWindowSystem system;
    auto offScreen = window(9, "Minimised - Google Slides");
    offScreen.onScreen = false;
    auto own = window(10, "Pavonix - Google Slides", "Pavonix");  // this very process: never a target
    own.processID = getpid();
    auto full = window(8, "");
    full.fillsScreen = true;
    system.setWindows({
        window(1, "notes", "zebra"),
        window(2, "Deck 10 - Google Slides", "Éclair"),
        window(3, "Deck 2 - Google Slides", "Éclair"),
        window(4, "Deck - Google Slides", "Eagle"),
        window(5, "notes", "Éclair"),
        window(6, "", "Eagle"),  // untitled, not full screen: dropped
        window(7, "notes", "Éclair"),
        full,
        offScreen,
        window(1, "notes", "zebra"),  // listed twice: kept once
        own,
    });

    auto ids = [](const std::vector<PresentationWindowTarget>& targets) {
        std::vector<std::int64_t> out;
        for (const auto& t : targets) out.push_back(t.windowID);
        return out;
    };
    EXPECT_EQ(ids(PresentationWindowTarget::availableWindows(system, false, false)),
              (std::vector<std::int64_t>{9, 4, 3, 2, 8, 5, 7, 1}));
    EXPECT_EQ(ids(PresentationWindowTarget::availableWindows(system, true, false)),
              (std::vector<std::int64_t>{4, 3, 2, 8, 5, 7, 1}));
    EXPECT_EQ(ids(PresentationWindowTarget::availableWindows(system, false, true)),
              (std::vector<std::int64_t>{1, 2, 3, 4, 5, 7, 8, 9}));

    system.setUnavailable("No X display is available (DISPLAY is not set).");
    EXPECT_TRUE(PresentationWindowTarget::availableWindows(system, false, false).empty());
}

}  // namespace
}  // namespace pavonix
