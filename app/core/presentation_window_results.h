// Presentation windows as the window routes send them: the HTTP server's full summaries and the
// Bluetooth server's remote summaries, with the list and selection answers of each.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/json_coding.h"
#include "app/core/presentation_command.h"

namespace pavonix {

// The answer of every window request while another provider than Google Slides is chosen.
inline constexpr std::string_view googleSlidesOnlyMessage = "Window selection is only available for Google Slides.";
// The answer of every bridge request once the model is gone.
inline constexpr std::string_view pavonixUnavailableMessage = "Pavonix is not available.";

// Also the sort order of window lists.
enum class PresentationWindowDisplaySection { googleSlides, fullScreenWindow, other };
inline constexpr PresentationWindowDisplaySection allPresentationWindowDisplaySections[] = {
    PresentationWindowDisplaySection::googleSlides,
    PresentationWindowDisplaySection::fullScreenWindow, PresentationWindowDisplaySection::other};
std::string_view rawValue(PresentationWindowDisplaySection section);

struct PresentationWindowSummary {
    std::int64_t windowID = 0;
    std::int64_t ownerProcessID = 0;
    std::string ownerName;
    std::string bundleIdentifier;
    std::string title;
    std::string menuTitle;
    std::string detailText;
    std::string kind;  // how the window was found; free text filled by the window enumeration
    PresentationWindowDisplaySection displaySection = PresentationWindowDisplaySection::other;

    friend bool operator==(const PresentationWindowSummary&,
                           const PresentationWindowSummary&) = default;
};

struct PresentationWindowListResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::int64_t selectedWindowID = 0;
    std::vector<PresentationWindowSummary> windows;

    friend bool operator==(const PresentationWindowListResult&,
                           const PresentationWindowListResult&) = default;
};

struct PresentationWindowSelectionResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::int64_t selectedWindowID = 0;

    friend bool operator==(const PresentationWindowSelectionResult&,
                           const PresentationWindowSelectionResult&) = default;
};

struct RemotePresentationWindowSummary {
    std::int64_t windowID = 0;
    std::int64_t ownerProcessID = 0;
    std::string ownerName;
    std::string bundleIdentifier;
    std::string title;
    std::string menuTitle;
    std::string detailText;

    friend bool operator==(const RemotePresentationWindowSummary&,
                           const RemotePresentationWindowSummary&) = default;
};

struct RemotePresentationWindowListResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::int64_t selectedWindowID = 0;
    std::vector<RemotePresentationWindowSummary> windows;

    friend bool operator==(const RemotePresentationWindowListResult&,
                           const RemotePresentationWindowListResult&) = default;
};

struct RemotePresentationWindowSelectionResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    std::int64_t selectedWindowID = 0;

    friend bool operator==(const RemotePresentationWindowSelectionResult&,
                           const RemotePresentationWindowSelectionResult&) = default;
};

// The Bluetooth form of a window: the same fields without `kind` and `displaySection`.
RemotePresentationWindowSummary remoteSummary(const PresentationWindowSummary& window);
RemotePresentationWindowListResult remoteListResult(const PresentationWindowListResult& result);
RemotePresentationWindowSelectionResult remoteSelectionResult(
    const PresentationWindowSelectionResult& result);

void to_json(Json& json, PresentationWindowDisplaySection section);
void from_json(const Json& json, PresentationWindowDisplaySection& section);
void to_json(Json& json, const PresentationWindowSummary& window);
void from_json(const Json& json, PresentationWindowSummary& window);
void to_json(Json& json, const PresentationWindowListResult& result);
void from_json(const Json& json, PresentationWindowListResult& result);
void to_json(Json& json, const PresentationWindowSelectionResult& result);
void from_json(const Json& json, PresentationWindowSelectionResult& result);
void to_json(Json& json, const RemotePresentationWindowSummary& window);
void from_json(const Json& json, RemotePresentationWindowSummary& window);
void to_json(Json& json, const RemotePresentationWindowListResult& result);
void from_json(const Json& json, RemotePresentationWindowListResult& result);
void to_json(Json& json, const RemotePresentationWindowSelectionResult& result);
void from_json(const Json& json, RemotePresentationWindowSelectionResult& result);

}  // namespace pavonix
