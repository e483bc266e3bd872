#include "app/control/presentation_window_target.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include "app/control/localized_text.h"
#include "platform/x11/testing/recording_window_system.h"

namespace pavonix {
namespace {

using Section = PresentationWindowDisplaySection;

x11::WindowInfo window(x11::WindowId id, std::string title, std::string className = "Chromium") {
    x11::WindowInfo w;
    w.id = id;
    w.title = std::move(title);
    w.className = std::move(className);
    w.instanceName = "instance";
    w.geometry = {10, 10, 800, 600};
    w.onScreen = true;
    return w;
}

TEST(LocalizedText, FoldsCaseAndDiacritics) {
    EXPECT_EQ(foldedForMatching("ÉCLAIR Ärger"), "eclair arger");
    EXPECT_EQ(foldedForMatching("Straße"), "strasse");
    EXPECT_TRUE(containsFolded("Präsentation – GOOGLE SLÍDES", "google slides"));
    EXPECT_FALSE(containsFolded("Google Docs", "slides"));
    EXPECT_TRUE(containsFolded("bad \xff bytes", "bytes"));
}

TEST(LocalizedText, OrdersNamesAsPeopleReadThem) {
    EXPECT_LT(localizedStandardCompare("Eagle", "Éclair"), 0);
    EXPECT_LT(localizedStandardCompare("Éclair", "zebra"), 0);  // bytes would put É last
    EXPECT_LT(localizedStandardCompare("Deck 2", "Deck 10"), 0);
    EXPECT_NE(localizedStandardCompare("deck", "Deck"), 0);  // still a fixed order
}

TEST(PresentationWindowTarget, SectionsFollowTheTitle) {
    struct Case {
        const char* title;
        Section section;
    };
    const Case cases[] = {
        {"SLÍDES für GOOGLE", Section::googleSlides},
        {"https://docs.google.com/presentation/d/1abc/edit", Section::googleSlides},
        {"Google Slides Full Screen Window", Section::googleSlides},
        {"docs.google.com/document/d/1abc", Section::other},
        {"My slides", Section::other},
        {"Player - full SCREEN window", Section::fullScreenWindow},
    };
    for (const auto& c : cases) EXPECT_EQ(displaySectionForTitle(c.title), c.section) << c.title;
}

TEST(PresentationWindowTarget, UntitledWindowsAreKeptOnlyWhenTheyFillTheScreen) {
    EXPECT_FALSE(PresentationWindowTarget::from(window(1, "")).has_value());
    EXPECT_FALSE(PresentationWindowTarget::from(window(1, "  \n")).has_value());

    auto full = window(2, "");
    full.fillsScreen = true;
    auto target = PresentationWindowTarget::from(full);
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(target->title, "Full Screen Window");
    EXPECT_EQ(target->menuTitle(), "Chromium - Full Screen Window");
    EXPECT_EQ(target->displaySection(), Section::fullScreenWindow);

    // The owner falls back to the instance name, then to a fixed text.
    auto noClass = window(3, "t", "");
    EXPECT_EQ(PresentationWindowTarget::from(noClass)->ownerName, "instance");
    noClass.instanceName.clear();
    EXPECT_EQ(PresentationWindowTarget::from(noClass)->ownerName, "Unknown application");

    // A target built by hand without a title still has a menu title.
    PresentationWindowTarget bare;
    bare.ownerName = "Chromium";
    EXPECT_EQ(bare.menuTitle(), "Chromium - (untitled window)");
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
