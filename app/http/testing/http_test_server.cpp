// A stand-alone HTTP bridge server with fake handlers that answer deterministic results, for the
// black-box tests and the load benchmark. Prints "PORT <n>" once it listens; ends on SIGTERM or
// SIGINT.
//
//   http_test_server [--port N] [--listen-address A] [--auth PAIR_ID:SECRET_BASE64URL]...
//                    [--request-timeout-ms N] [--reply-timeout-ms N] [--max-connections N] [--slides N]
//
// --auth turns authentication on with that pairing (may be repeated).
#include <csignal>
#include <stdexcept>
#include <functional>
#include <iostream>
#include <map>
#include <string>

#include "app/http/http_bridge_server.h"
#include "app/http/testing/fake_presentation_model.h"
#include "platform/crypto/base64.h"

namespace {

using namespace pavonix;
using namespace pavonix::http;

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
    HTTPBridgeServerConfiguration configuration;
    configuration.port = 0;
    testing::FakePresentationModel model;
    HTTPAuthConfiguration auth;
    auto& limits = configuration.limits;
    // Numbers are read with std::stoul: a flag value that is no number ends the process.
    const std::map<std::string, std::function<void(const std::string&)>> flags{
        {"--port", [&](const std::string& v) { configuration.port = static_cast<std::uint16_t>(std::stoul(v)); }},
        {"--listen-address", [&](const std::string& v) { configuration.listenAddress = configuration.listenDisplayName = v; }},
        {"--request-timeout-ms", [&](const std::string& v) { limits.requestTimeout = std::chrono::milliseconds(std::stoul(v)); }},
        {"--reply-timeout-ms", [&](const std::string& v) { limits.replyTimeout = std::chrono::milliseconds(std::stoul(v)); }},
        {"--max-connections", [&](const std::string& v) { limits.maxConnections = std::stoul(v); }},
        {"--slides", [&](const std::string& v) { model.slideCount = static_cast<int>(std::stoul(v)); }},
        {"--auth",
         [&](const std::string& v) {
             const auto colon = v.find(':');
             auto secret = crypto::base64urlDecode(v.substr(colon == std::string::npos ? v.size() : colon + 1));
             if (colon == std::string::npos || !secret) throw std::invalid_argument("--auth wants PAIR_ID:SECRET");
             auth.isEnabled = true;
             auth.credentials.push_back({v.substr(0, colon), *secret});
         }},
    };
    for (int i = 1; i < argc; i += 2) {
        const auto flag = flags.find(argv[i]);
        if (flag == flags.end() || i + 1 >= argc) {
            std::cerr << "http_test_server: unknown flag or missing value: " << argv[i] << std::endl;
            return 2;
        }
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
        std::make_shared<HTTPRequestAuthenticator>(auth), dispatch::makeSerialQueue("com.vrel.Lanternpost.http"));
    server->start();
    while (!stopRequested) {
        dispatch::runMainQueue([] { return stopRequested != 0; }, std::chrono::milliseconds(100));
    }
    server->stop();
    dispatch::runMainQueue([] { return false; }, std::chrono::milliseconds(50));
    return exitCode;
}
