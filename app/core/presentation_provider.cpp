#include "app/core/presentation_provider.h"

namespace pavonix {

using namespace json_field;

std::string_view rawValue(PresentationProvider provider) {
    switch (provider) {
    case PresentationProvider::keynote: return "keynote";
    case PresentationProvider::powerPoint: return "powerPoint";
    case PresentationProvider::googleSlides: return "googleSlides";
    }
    return {};
}

std::string_view displayName(PresentationProvider provider) {
    switch (provider) {
    case PresentationProvider::keynote: return "Keynote";
    case PresentationProvider::powerPoint: return "PowerPoint";
    case PresentationProvider::googleSlides: return "Google Slides";
    }
    return {};
}

std::string_view choiceTitle(PresentationProvider provider) {
    switch (provider) {
    case PresentationProvider::keynote: return "Keynote (macOS only)";
    case PresentationProvider::powerPoint: return "PowerPoint (macOS only)";
    case PresentationProvider::googleSlides: break;
    }
    return displayName(provider);
}

std::string_view fallbackTargetName(PresentationProvider provider) {
    switch (provider) {
    case PresentationProvider::powerPoint: return "Microsoft PowerPoint";
    case PresentationProvider::googleSlides: return "Google Slides window";
    case PresentationProvider::keynote: break;
    }
    return "Keynote";
}

std::optional<PresentationProvider> presentationProviderFromRawValue(std::string_view raw) {
    return enumFromRawValue(raw, allPresentationProviders);
}

void to_json(Json& json, PresentationProvider provider) { json = std::string(rawValue(provider)); }
void from_json(const Json& json, PresentationProvider& provider) {
    provider = decodeEnum(json, allPresentationProviders, "PresentationProvider");
}

void to_json(Json& json, const PresentationProviderSelectionResult& result) {
    json = Json::object();
    json["status"] = result.status;
    json["message"] = result.message;
    if (result.presentationProvider) {
        json["presentationProvider"] = *result.presentationProvider;
        json["presentationProviderName"] = std::string(displayName(*result.presentationProvider));
    }
}

void from_json(const Json& json, PresentationProviderSelectionResult& result) {
    requireObject(json, "PresentationProviderSelectionResult");
    result.status = require(json, "status").get<ResultStatus>();
    result.message = requireString(json, "message");
    result.presentationProvider.reset();
    if (auto raw = optionalString(json, "presentationProvider")) {
        result.presentationProvider = presentationProviderFromRawValue(*raw);
        if (!result.presentationProvider) {
            throw JSONDecodingError("Unknown value for PresentationProvider.");
        }
    }
    optionalString(json, "presentationProviderName");  // type-checked; derived from the provider
}

}  // namespace pavonix
