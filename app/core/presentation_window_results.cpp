#include "app/core/presentation_window_results.h"

namespace pavonix {

using namespace json_field;

std::string_view rawValue(PresentationWindowDisplaySection section) {
    switch (section) {
    case PresentationWindowDisplaySection::googleSlides: return "googleSlides";
    case PresentationWindowDisplaySection::fullScreenWindow: return "fullScreenWindow";
    case PresentationWindowDisplaySection::other: return "other";
    }
    return {};
}

RemotePresentationWindowSummary remoteSummary(const PresentationWindowSummary& w) {
    return {w.windowID, w.ownerProcessID, w.ownerName, w.bundleIdentifier,
            w.title,    w.menuTitle,      w.detailText};
}

RemotePresentationWindowListResult remoteListResult(const PresentationWindowListResult& r) {
    RemotePresentationWindowListResult out{r.status, r.message, r.selectedWindowID, {}};
    out.windows.reserve(r.windows.size());
    for (const auto& window : r.windows) {
        out.windows.push_back(remoteSummary(window));
    }
    return out;
}

RemotePresentationWindowSelectionResult remoteSelectionResult(
    const PresentationWindowSelectionResult& r) {
    return {r.status, r.message, r.selectedWindowID};
}

void to_json(Json& json, PresentationWindowDisplaySection section) {
    json = std::string(rawValue(section));
}
void from_json(const Json& json, PresentationWindowDisplaySection& section) {
    section = decodeEnum(json, allPresentationWindowDisplaySections,
                         "PresentationWindowDisplaySection");
}

namespace {

template <class Summary>
void writeCommonWindowFields(Json& json, const Summary& w) {
    json = Json::object();
    json["windowID"] = w.windowID;
    json["ownerProcessID"] = w.ownerProcessID;
    json["ownerName"] = w.ownerName;
    json["bundleIdentifier"] = w.bundleIdentifier;
    json["title"] = w.title;
    json["menuTitle"] = w.menuTitle;
    json["detailText"] = w.detailText;
}

template <class Summary>
void readCommonWindowFields(const Json& json, Summary& w, const char* typeName) {
    requireObject(json, typeName);
    w.windowID = requireInteger(json, "windowID");
    w.ownerProcessID = requireInteger(json, "ownerProcessID");
    w.ownerName = requireString(json, "ownerName");
    w.bundleIdentifier = requireString(json, "bundleIdentifier");
    w.title = requireString(json, "title");
    w.menuTitle = requireString(json, "menuTitle");
    w.detailText = requireString(json, "detailText");
}

template <class Result>
void writeSelection(Json& json, const Result& r) {
    json = Json::object();
    json["status"] = r.status;
    json["message"] = r.message;
    json["selectedWindowID"] = r.selectedWindowID;
}

template <class Result>
void readSelection(const Json& json, Result& r, const char* typeName) {
    requireObject(json, typeName);
    r.status = require(json, "status").get<ResultStatus>();
    r.message = requireString(json, "message");
    r.selectedWindowID = requireInteger(json, "selectedWindowID");
}

}  // namespace

void to_json(Json& json, const PresentationWindowSummary& window) {
    writeCommonWindowFields(json, window);
    json["kind"] = window.kind;
    json["displaySection"] = window.displaySection;
}

void from_json(const Json& json, PresentationWindowSummary& window) {
    readCommonWindowFields(json, window, "PresentationWindowSummary");
    window.kind = requireString(json, "kind");
    window.displaySection = require(json, "displaySection").get<PresentationWindowDisplaySection>();
}

void to_json(Json& json, const PresentationWindowListResult& result) {
    writeSelection(json, result);
    json["windows"] = result.windows;
}

void from_json(const Json& json, PresentationWindowListResult& result) {
    readSelection(json, result, "PresentationWindowListResult");
    result.windows = requireArray<PresentationWindowSummary>(json, "windows");
}

void to_json(Json& json, const PresentationWindowSelectionResult& result) {
    writeSelection(json, result);
}

void from_json(const Json& json, PresentationWindowSelectionResult& result) {
    readSelection(json, result, "PresentationWindowSelectionResult");
}

void to_json(Json& json, const RemotePresentationWindowSummary& window) {
    writeCommonWindowFields(json, window);
}

void from_json(const Json& json, RemotePresentationWindowSummary& window) {
    readCommonWindowFields(json, window, "RemotePresentationWindowSummary");
}

void to_json(Json& json, const RemotePresentationWindowListResult& result) {
    writeSelection(json, result);
    json["windows"] = result.windows;
}

void from_json(const Json& json, RemotePresentationWindowListResult& result) {
    readSelection(json, result, "RemotePresentationWindowListResult");
    result.windows = requireArray<RemotePresentationWindowSummary>(json, "windows");
}

void to_json(Json& json, const RemotePresentationWindowSelectionResult& result) {
    writeSelection(json, result);
}

void from_json(const Json& json, RemotePresentationWindowSelectionResult& result) {
    readSelection(json, result, "RemotePresentationWindowSelectionResult");
}

}  // namespace pavonix
