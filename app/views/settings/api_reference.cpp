#include "app/views/settings/api_reference.h"

#include <algorithm>

namespace pavonix {

namespace {

constexpr std::string_view namedSlideNote =
    "Named slide commands search presenter notes for #<name>. Send Intro; a leading # is accepted and ignored.";

const APIReferenceTable oscTable{
    {"Command", "Address pattern", "Arguments"},
    {
        {"Start", "/start", "none"},
        {"Start from first slide", "/start", "boolean, true/false"},
        {"Stop", "/stop", "none"},
        {"Show next", "/show/next", "none"},
        {"Show previous", "/show/previous", "none"},
        {"Go to slide number", "/goto/slide/number", "integer, slide number"},
        {"Go to named slide", "/goto/slide/named", "string, tag name without #, e.g. Intro"},
    }};

const APIReferenceTable httpTable{
    {"Command", "Method", "Route", "JSON body"},
    {
        {"Start", "POST", "/start", "{}"},
        {"Start from first slide", "POST", "/start", R"({"fromBeginning": true})"},
        {"Stop", "POST", "/stop", "{}"},
        {"Show next", "POST", "/show/next", "{}"},
        {"Show previous", "POST", "/show/previous", "{}"},
        {"List slides", "GET", "/slides", "none"},
        {"List Google Slides windows", "GET", "/windows", "none"},
        {"Select Google Slides window", "POST", "/windows/select", R"({"windowID": 123})"},
        {"Go to slide number", "POST", "/goto/slide/number", R"({"number": 7})"},
        {"Go to named slide", "POST", "/goto/slide/named", R"({"name": "Intro"})"},
    }};

const std::array<std::string_view, 3> oscNotes{
    "Start also accepts yes, 1, first, beginning, or fromBeginning as the first argument.",
    namedSlideNote,
    "Google Slides supports start, stop, next, previous, and slide-number jumps through the selected window. "
    "Named slide lookup is unavailable for Google Slides.",
};

const std::array<std::string_view, 3> httpNotes{
    "Start also accepts fromFirstSlide or firstSlide in the JSON body.",
    namedSlideNote,
    "Google Slides supports start, stop, next, previous, and slide-number jumps through the selected window. "
    "Use /windows and /windows/select to drive the same window picker as the app UI. "
    "/slides and named slide lookup are unavailable for Google Slides.",
};

}  // namespace

std::string_view rawValue(APIReferenceKind kind) { return kind == APIReferenceKind::osc ? "osc" : "http"; }

const network::NetworkInterfaceAddress& loopbackInterfaceEntry() {
    static const network::NetworkInterfaceAddress entry{"lo0", "Localhost", "127.0.0.1", std::nullopt};
    return entry;
}

std::vector<network::NetworkInterfaceAddress> withLoopbackEntry(const std::vector<network::NetworkInterfaceAddress>& interfaces) {
    std::vector<network::NetworkInterfaceAddress> list{loopbackInterfaceEntry()};
    list.insert(list.end(), interfaces.begin(), interfaces.end());
    return list;
}

std::string_view APIReference::title() const {
    return kind == APIReferenceKind::osc ? "OSC API Reference" : "HTTP API Reference";
}

std::string_view APIReference::listenModeText() const {
    switch (listenAddressMode) {
        case network::NetworkListenMode::allInterfaces: return "All Network Interfaces";
        case network::NetworkListenMode::localhost: return "Localhost (127.0.0.1)";
        case network::NetworkListenMode::specificInterface: return "Specific Interface";
    }
    return "All Network Interfaces";
}

std::vector<std::string> APIReference::hosts() const {
    switch (listenAddressMode) {
        case network::NetworkListenMode::localhost: return {"127.0.0.1"};
        case network::NetworkListenMode::specificInterface:
            if (selectedListenAddress.empty()) return {};
            return {selectedListenAddress};
        case network::NetworkListenMode::allInterfaces: break;
    }
    std::vector<std::string> hosts;
    for (const auto& interface : interfaces) {
        if (std::find(hosts.begin(), hosts.end(), interface.address) == hosts.end()) hosts.push_back(interface.address);
    }
    if (hosts.empty()) hosts.push_back("127.0.0.1");
    return hosts;
}

const APIReferenceTable& APIReference::table() const { return kind == APIReferenceKind::osc ? oscTable : httpTable; }

const std::array<std::string_view, 3>& APIReference::notes() const {
    return kind == APIReferenceKind::osc ? oscNotes : httpNotes;
}

}  // namespace pavonix
