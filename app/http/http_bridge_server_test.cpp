#include "app/http/http_bridge_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/http/testing/loopback_exchange.h"
#include "platform/testing/wait_until.h"

namespace pavonix::http {
namespace {

using namespace std::chrono_literals;

struct Report {
    std::uint64_t serverID;
    BridgeServerStatus status;
};

using testing::loopbackExchange;

struct ServerFixture : ::testing::Test {
    // Shared with the handlers: reports of one test's servers may still be queued when it ends.
    std::shared_ptr<std::vector<Report>> reports = std::make_shared<std::vector<Report>>();
    std::shared_ptr<std::atomic<bool>> handlerOnMainThread = std::make_shared<std::atomic<bool>>(false);

    void SetUp() override { dispatch::setMainThread(); }

    std::shared_ptr<HTTPBridgeServer> makeServer(std::uint16_t port, bool authentication = false) {
        HTTPBridgeServerConfiguration configuration{port, "127.0.0.1", "localhost (127.0.0.1)", {}};
        HTTPBridgeHandlers handlers;
        handlers.presentationProvider = [flag = handlerOnMainThread] {
            *flag = dispatch::isMainThread();
            return PresentationProvider::keynote;
        };
        auto authenticator = std::make_shared<HTTPRequestAuthenticator>(HTTPAuthConfiguration{authentication, {}});
        return HTTPBridgeServer::make(
            configuration, handlers, [reports = reports](std::uint64_t id, BridgeServerStatus status) { reports->push_back({id, status}); },
            authenticator, dispatch::makeSerialQueue("test.http"));
    }

    std::shared_ptr<HTTPBridgeServer> runningServer(bool authentication = false) {
        auto server = makeServer(0, authentication);
        server->start();
        EXPECT_TRUE(waitFor(server, BridgeServerStatus::State::running));
        return server;
    }

    bool waitFor(const std::shared_ptr<HTTPBridgeServer>& server, BridgeServerStatus::State state) {
        return dispatch::runMainQueue([&] {
            return std::ranges::any_of(*reports, [&](const Report& r) { return r.serverID == server->id() && r.status.state == state; });
        });
    }
    std::vector<std::string> detailsOf(const std::shared_ptr<HTTPBridgeServer>& server) {
        std::vector<std::string> out;
        for (const auto& report : *reports) {
            if (report.serverID == server->id()) out.push_back(report.status.detail);
        }
        return out;
    }
};

TEST_F(ServerFixture, ReportsItsLifeAndAnImmediateRestartGetsThePort) {
    auto first = makeServer(0);
    first->start();
    first->start();  // a second start does nothing
    ASSERT_TRUE(waitFor(first, BridgeServerStatus::State::running));
    const auto port = first->boundPort();
    EXPECT_EQ(detailsOf(first), (std::vector<std::string>{"Starting on localhost (127.0.0.1), port 0", "Preparing listener",
                                                           "Listening on localhost (127.0.0.1), port " + std::to_string(port)}));

    first->stop();
    auto second = makeServer(port);
    EXPECT_NE(second->id(), first->id());
    second->start();
    ASSERT_TRUE(waitFor(second, BridgeServerStatus::State::running));
    EXPECT_EQ(detailsOf(first).back(), "Stopped");  // reported before the second server began

    // The port is now taken by the second server.
    auto third = makeServer(port);
    third->start();
    ASSERT_TRUE(waitFor(third, BridgeServerStatus::State::failed));
    EXPECT_EQ(detailsOf(third).back(), "HTTP port " + std::to_string(port) + " is currently in use.");
    third->stop();
    second->stop();
    EXPECT_TRUE(waitFor(third, BridgeServerStatus::State::stopped));
}

TEST_F(ServerFixture, HandlersRunOnTheMainThreadWhileTheServerQueueAnswersWhatNeedsNone) {
    auto server = runningServer();
    std::string reply;
    std::atomic<bool> done{false};
    std::thread client([&] {
        reply = loopbackExchange(server->boundPort(), "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        done = true;
    });
    // The main thread is busy here; a request the server refuses by itself is answered meanwhile.
    EXPECT_EQ(loopbackExchange(server->boundPort(), "GET\r\n\r\n").substr(0, 24), "HTTP/1.1 400 Bad Request");
    EXPECT_FALSE(done);
    dispatch::runMainQueue([&] { return done.load(); }, 5s);
    client.join();
    EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_TRUE(*handlerOnMainThread);
    server->stop();
}

// Authentication on: an unsigned request from a loopback peer passes (on to the command router,
// which knows no such route) only when its Host and Origin name this machine, as a web page of
// another site cannot make them.
TEST_F(ServerFixture, LoopbackPeersPassUnsignedOnlyWhenTheyNameThisMachine) {
    auto server = runningServer(true);
    const std::pair<const char*, const char*> cases[] = {
        {"", "HTTP/1.1 404 Not Found"},
        {"Host: localhost:1\r\nOrigin: http://LOCALHOST:1\r\n", "HTTP/1.1 404 Not Found"},
        {"Host: rebound.example\r\n", "HTTP/1.1 401 Unauthorized"},
        {"Origin: http://evil.example\r\n", "HTTP/1.1 401 Unauthorized"},
    };
    for (const auto& [headers, status] : cases) {
        const auto reply = loopbackExchange(server->boundPort(), std::string("POST /nowhere HTTP/1.1\r\n") + headers + "\r\n");
        EXPECT_TRUE(reply.starts_with(status)) << headers;
    }
    server->stop();
}

TEST_F(ServerFixture, ConnectionsOfADroppedServerAreClosedWithoutAReply) {
    auto server = runningServer();
    std::string reply = "unset";
    std::atomic<bool> serverGone{false};
    std::atomic<bool> done{false};
    // The request is finished only once the server object is gone, whatever the machine's pace.
    std::thread client([&, port = server->boundPort()] {
        // Raw, since the second send may meet a reset connection.
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto address = testing::loopbackAddress(AF_INET, port);
        ::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size()));
        ::send(fd, "GET /hea", 8, MSG_NOSIGNAL);
        testing::waitUntil([&] { return serverGone.load(); });
        ::send(fd, "lth HTTP/1.1\r\n\r\n", 16, MSG_NOSIGNAL);
        const timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        char buffer[256];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        reply = n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
        ::close(fd);
        done = true;
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return server->openConnectionCount() == 1; }, 5s));
    std::weak_ptr<HTTPBridgeServer> weak = server;
    server->stop();
    server.reset();
    // Status reports still queued for the main thread hold the server until they have run.
    EXPECT_TRUE(dispatch::runMainQueue([&] { return weak.expired(); }, 5s));
    serverGone = true;
    dispatch::runMainQueue([&] { return done.load(); }, 5s);
    client.join();
    EXPECT_EQ(reply, "");
}

}  // namespace
}  // namespace pavonix::http
