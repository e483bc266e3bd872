// A stand-alone HTTP bridge server with fake handlers that answer deterministic results, for the
// black-box tests and the load benchmark. Prints "PORT <n>" once it listens; ends on SIGTERM or
// SIGINT.
//
//   http_test_server [--port N] [--listen-address A] [--request-timeout-ms N] [--reply-timeout-ms N]
//                    [--max-connections N] [--slides N]
//
// Fake model: every command succeeds with "Done: <display text>". Slide 2's name and window 12's
// title are markup, slide 3's name is 200 characters long (for the browser test). Two windows, 11
// and 12, in two sections; any window can be selected.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "app/http/http_bridge_server.h"

namespace {

using namespace pavonix;
using namespace pavonix::http;

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr, "http_test_server: %s\n", problem);
    std::exit(2);
}

const std::string kMarkup = "<img src=x onerror=\"window.__xss=1\">";

struct FakeModel {
    PresentationProvider provider = PresentationProvider::keynote;
    std::int64_t selectedWindowID = 0;
    int slideCount = 3;

    HTTPBridgeHandlers handlers() {
        HTTPBridgeHandlers out;
        out.command = [](const PresentationCommand& command) {
            return CommandResult::ok(command, "Done: " + command.displayText());
        };
        out.slideList = [this] {
            SlideListResult result{ResultStatus::ok, "Loaded slides.", {}};
            for (int number = 1; number <= slideCount; ++number) {
                std::string name = number == 1 ? "Intro" : number == 2 ? kMarkup : number == 3 ? std::string(200, 'x')
                                                                                               : "Slide " + std::to_string(number);
                result.slides.push_back({number, name, number == 1 ? "Welcome everyone." : "", number == 1});
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

std::chrono::milliseconds::rep numberArgument(const char* text) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0) usage("expected a non-negative number");
    return value;
}

}  // namespace

int main(int argc, char** argv) {
    HTTPBridgeServerConfiguration configuration;
    configuration.port = 0;
    FakeModel model;
    auto& limits = configuration.limits;
    const std::map<std::string, std::function<void(const char*)>> flags{
        {"--port", [&](const char* v) { configuration.port = static_cast<std::uint16_t>(numberArgument(v)); }},
        {"--listen-address", [&](const char* v) { configuration.listenAddress = configuration.listenDisplayName = v; }},
        {"--request-timeout-ms", [&](const char* v) { limits.requestTimeout = std::chrono::milliseconds(numberArgument(v)); }},
        {"--reply-timeout-ms", [&](const char* v) { limits.replyTimeout = std::chrono::milliseconds(numberArgument(v)); }},
        {"--max-connections", [&](const char* v) { limits.maxConnections = static_cast<std::size_t>(numberArgument(v)); }},
        {"--slides", [&](const char* v) { model.slideCount = static_cast<int>(numberArgument(v)); }},
    };
    for (int i = 1; i < argc; i += 2) {
        const auto flag = flags.find(argv[i]);
        if (flag == flags.end() || i + 1 >= argc) usage("unknown flag or missing value");
        flag->second(argv[i + 1]);
    }

    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    dispatch::setMainThread();

    // Reports run on the main queue, so `server` is set by the time the first one arrives. A
    // server that cannot start ends the process (an exception from start() included).
    std::shared_ptr<HTTPBridgeServer> server;
    int exitCode = 0;
    server = HTTPBridgeServer::make(
        configuration, model.handlers(),
        [&](std::uint64_t, BridgeServerStatus status) {
            std::cerr << "status: " << text(status.state) << ": " << status.detail << std::endl;
            if (status.state == BridgeServerStatus::State::running) std::cout << "PORT " << server->boundPort() << std::endl;
            if (status.state == BridgeServerStatus::State::failed) {
                exitCode = 1;
                stopRequested = 1;
            }
        },
        std::make_shared<HTTPRequestAuthenticator>(HTTPAuthConfiguration{}), dispatch::makeSerialQueue("com.vrel.Lanternpost.http"));
    server->start();
    while (!stopRequested) {
        dispatch::runMainQueue([] { return stopRequested != 0; }, std::chrono::milliseconds(100));
    }
    server->stop();
    dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(50));
    return exitCode;
}
