// Test support: a presentation model with deterministic answers behind the HTTP handlers, for the
// route tests and the HTTP test server (browser, black-box and load runs). Not linked into the
// program.
//
// Every command succeeds with "Done: <display text>". Slide 1's notes are not valid UTF-8 (as
// another program may hand them over), slide 2's name and window 12's title are markup, slide 3's
// name is 200 characters long. Two windows, 11 and 12, in two sections; any window can be selected.
#pragma once

#include <cstdint>
#include <string>

#include "app/http/http_routes.h"

namespace pavonix::testing {

const std::string kMarkup = "<img src=x onerror=\"window.__xss=1\">";

struct FakePresentationModel {
    PresentationProvider provider = PresentationProvider::keynote;
    std::int64_t selectedWindowID = 0;
    int slideCount = 3;

    http::HTTPBridgeHandlers handlers() {
        http::HTTPBridgeHandlers out;
        out.command = [](const PresentationCommand& command) {
            return CommandResult::ok(command, "Done: " + command.displayText());
        };
        out.slideList = [this] {
            SlideListResult result{ResultStatus::ok, "Loaded slides.", {}};
            for (int number = 1; number <= slideCount; ++number) {
                std::string name = number == 1 ? "Intro" : number == 2 ? kMarkup : number == 3 ? std::string(200, 'x')
                                                                                               : "Slide " + std::to_string(number);
                result.slides.push_back({number, name, number == 1 ? "Caf\xE9" : "", number == 1});
            }
            return result;
        };
        out.windowList = [this] {
            PresentationWindowListResult result{ResultStatus::ok, "Found 2 windows.", selectedWindowID, {}};
            for (std::int64_t id : {11, 12}) {
                auto& window = result.windows.emplace_back();
                window.windowID = id;
                window.ownerName = "Browser";
                window.title = id == 11 ? "Deck" : kMarkup;
                window.menuTitle = id == 11 ? "Deck - Browser" : "";
                window.detailText = "Window " + std::to_string(id);
                window.displaySection = id == 11 ? PresentationWindowDisplaySection::googleSlides
                                                 : PresentationWindowDisplaySection::other;
            }
            return result;
        };
        out.windowSelection = [this](std::int64_t id) {
            selectedWindowID = id;
            return PresentationWindowSelectionResult{ResultStatus::ok, "Selected window " + std::to_string(id) + ".", id};
        };
        out.presentationProvider = [this] { return provider; };
        out.presentationProviderSelection = [this](PresentationProvider chosen) {
            provider = chosen;
            return PresentationProviderSelectionResult{ResultStatus::ok,
                                                       "Selected " + std::string(displayName(chosen)) + ".", chosen};
        };
        return out;
    }
};

}  // namespace pavonix::testing
