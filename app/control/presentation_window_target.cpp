#include "app/control/presentation_window_target.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include <unistd.h>

#include "app/control/localized_text.h"
#include "app/core/text.h"

namespace pavonix {

namespace {

constexpr std::string_view kEditorAddress = "docs.google.com/presentation";

std::string describe(const x11::WindowInfo& window) {
    std::string text;
    if (window.processID > 0) text += "Process " + std::to_string(window.processID) + " · ";
    text += std::to_string(window.geometry.width) + "×" + std::to_string(window.geometry.height);
    char id[32];
    std::snprintf(id, sizeof id, " · Window 0x%x", window.id);
    text += id;
    return text;
}

}  // namespace

PresentationWindowDisplaySection displaySectionForTitle(std::string_view title) {
    std::string folded = foldedForMatching(title);
    auto contains = [&](std::string_view part) { return folded.find(part) != std::string::npos; };
    if (contains(kEditorAddress) || (contains("google") && contains("slides"))) {
        return PresentationWindowDisplaySection::googleSlides;
    }
    if (contains("full screen window")) return PresentationWindowDisplaySection::fullScreenWindow;
    return PresentationWindowDisplaySection::other;
}

std::string PresentationWindowTarget::menuTitle() const {
    return ownerName + " - " + (title.empty() ? std::string("(untitled window)") : title);
}

PresentationWindowDisplaySection PresentationWindowTarget::displaySection() const {
    return displaySectionForTitle(title);
}

PresentationWindowSummary PresentationWindowTarget::summary() const {
    PresentationWindowSummary s;
    s.windowID = windowID;
    s.ownerProcessID = ownerProcessID;
    s.ownerName = ownerName;
    s.bundleIdentifier = bundleIdentifier;
    s.title = title;
    s.menuTitle = menuTitle();
    s.detailText = detailText;
    s.displaySection = displaySection();
    s.kind = std::string(rawValue(s.displaySection));
    return s;
}

std::optional<PresentationWindowTarget> PresentationWindowTarget::from(const x11::WindowInfo& window) {
    PresentationWindowTarget target;
    target.title = trimmedWhitespaceAndNewlines(window.title).empty() ? std::string() : window.title;
    if (target.title.empty()) {
        if (!window.fillsScreen) return std::nullopt;
        target.title = std::string(fullScreenWindowTitle);
    }
    target.windowID = static_cast<std::int64_t>(window.id);
    target.ownerProcessID = window.processID;
    target.ownerName = !window.className.empty()      ? window.className
                       : !window.instanceName.empty() ? window.instanceName
                                                      : std::string(unknownOwnerName);
    target.bundleIdentifier = window.instanceName;
    target.detailText = describe(window);
    return target;
}

void PresentationWindowTarget::sort(std::vector<PresentationWindowTarget>& targets) {
    // Sections fold the title through ICU; work them out once per window, not per comparison.
    std::vector<std::pair<PresentationWindowDisplaySection, PresentationWindowTarget>> keyed;
    keyed.reserve(targets.size());
    for (auto& t : targets) keyed.emplace_back(t.displaySection(), std::move(t));
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) return a.first < b.first;
        if (int c = localizedStandardCompare(a.second.ownerName, b.second.ownerName)) return c < 0;
        if (int c = localizedStandardCompare(a.second.title, b.second.title)) return c < 0;
        return a.second.windowID < b.second.windowID;
    });
    targets.clear();
    for (auto& [section, t] : keyed) targets.push_back(std::move(t));
}

std::vector<PresentationWindowTarget> PresentationWindowTarget::availableWindows(
    x11::WindowSystem& windows, bool onScreenOnly, bool skipSorting) {
    std::vector<PresentationWindowTarget> targets;
    std::unordered_set<x11::WindowId> seen;
    // Pavonix's own windows are never a target: typing into them would drive Pavonix itself.
    const std::int64_t ownProcessID = getpid();
    for (const auto& window : windows.listWindows()) {
        if (onScreenOnly && !window.onScreen) continue;
        if (window.processID == ownProcessID) continue;
        if (!seen.insert(window.id).second) continue;
        if (auto target = from(window)) targets.push_back(std::move(*target));
    }
    if (!skipSorting) sort(targets);
    return targets;
}

}  // namespace pavonix
