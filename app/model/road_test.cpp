// One request down every layer, without X: a real HTTP server on a free loopback port, the real
// model, and the Google Slides controller over a recording window system. A broken wire anywhere
// between the socket and the key stroke fails it.
#include <gtest/gtest.h>

#include <future>

#include "app/http/testing/loopback_exchange.h"
#include "app/model/testing/model_fixture.h"

namespace pavonix {
namespace {

using RoadTest = testing::ModelTest;

constexpr x11::WindowId kDeck = 0x600001;

TEST_F(RoadTest, PostShowNextGivesOneRightKeyToTheSavedWindow) {
    openSavedDeck(kDeck);
    store_.setValue(settings::listenAddressMode, network::NetworkListenMode::localhost);
    std::shared_ptr<http::HTTPBridgeServer> server;
    auto& model = start([&server](LanternpostModelDependencies& deps) {
        deps.makeHTTPServer = [&server](HTTPServerParts parts) {
            parts.configuration.port = 0;  // the stored port stays valid; the kernel picks a free one
            auto made = makeRealHTTPServer(std::move(parts));
            server = std::static_pointer_cast<HTTPServerAdapter>(made)->server();
            return made;
        };
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return model.httpStatus.get().state == BridgeServerStatus::State::running; }))
        << model.httpStatus.get().detail;

    auto reply = std::async(std::launch::async, [port = server->boundPort()] {
        return testing::loopbackExchange(port, "POST /show/next HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n");
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return reply.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_NE(reply.get().find(" 200 OK\r\n"), std::string::npos);
    using Typed = x11::RecordingWindowSystem::Typed;
    EXPECT_EQ(windowSystem_->typed(), (std::vector<Typed>{{kDeck, {x11::keysym::Right}}}));
    ASSERT_TRUE(model.lastCommand.get());
    EXPECT_EQ(model.lastCommand.get()->source, CommandSource::http);
    EXPECT_EQ(model.lastCommand.get()->result.command, "Show next");
}

}  // namespace
}  // namespace pavonix
