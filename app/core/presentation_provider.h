// The presentation applications the program drives, and the answer to selecting one.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/core/json_coding.h"
#include "app/core/presentation_command.h"

namespace pavonix {

enum class PresentationProvider { keynote, powerPoint, googleSlides };
inline constexpr PresentationProvider allPresentationProviders[] = {
    PresentationProvider::keynote, PresentationProvider::powerPoint,
    PresentationProvider::googleSlides};

// "keynote", "powerPoint", "googleSlides": the stored and wire form.
std::string_view rawValue(PresentationProvider provider);
// "Keynote", "PowerPoint", "Google Slides".
std::string_view displayName(PresentationProvider provider);
// A provider's entry in a menu or a list to choose from, which owns up to the two that cannot run
// here: "Keynote (macOS only)", "PowerPoint (macOS only)", "Google Slides".
std::string_view choiceTitle(PresentationProvider provider);
// The application a controller is told to drive when no window or name is saved: "Keynote",
// "Microsoft PowerPoint", "Google Slides window".
std::string_view fallbackTargetName(PresentationProvider provider);
// Exact, case-sensitive match of a raw value.
std::optional<PresentationProvider> presentationProviderFromRawValue(std::string_view raw);

struct PresentationProviderSelectionResult {
    ResultStatus status = ResultStatus::failed;
    std::string message;
    // Written as "presentationProvider" (raw value) and "presentationProviderName" (display
    // name), both left out when absent.
    std::optional<PresentationProvider> presentationProvider;

    friend bool operator==(const PresentationProviderSelectionResult&,
                           const PresentationProviderSelectionResult&) = default;
};

void to_json(Json& json, PresentationProvider provider);
void from_json(const Json& json, PresentationProvider& provider);
void to_json(Json& json, const PresentationProviderSelectionResult& result);
void from_json(const Json& json, PresentationProviderSelectionResult& result);

}  // namespace pavonix
