#include "app/http/http_bridge_server.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <functional>
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
    // Run by the handler, while its request is being handled.
    std::shared_ptr<std::function<void()>> whileHandling = std::make_shared<std::function<void()>>();

    void SetUp() override { dispatch::setMainThread(); }

    std::shared_ptr<HTTPBridgeServer> makeServer(std::uint16_t port, bool authentication = false, HTTPServerLimits limits = {}) {
        HTTPBridgeServerConfiguration configuration{port, "127.0.0.1", "localhost (127.0.0.1)", limits, "pavonix-test"};
        HTTPBridgeHandlers handlers;
        handlers.presentationProvider = [flag = handlerOnMainThread, hook = whileHandling] {
            *flag = dispatch::isMainThread();
            if (*hook) (*hook)();
            return PresentationProvider::keynote;
        };
        auto authenticator = std::make_shared<HTTPRequestAuthenticator>(HTTPAuthConfiguration{authentication, {}});
        return HTTPBridgeServer::make(
            configuration, handlers, [reports = reports](std::uint64_t id, BridgeServerStatus status) { reports->push_back({id, status}); },
            authenticator, dispatch::makeSerialQueue("test.http"));
    }

    std::shared_ptr<HTTPBridgeServer> runningServer(bool authentication = false, HTTPServerLimits limits = {}) {
        auto server = makeServer(0, authentication, limits);
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

    // A request being handled keeps its place: at the cap a newcomer is turned away, not it.
    HTTPServerLimits limits;
    limits.maxConnections = 1;
    auto full = runningServer(false, limits);
    std::string newcomer = "unset";
    *whileHandling = [&] { newcomer = loopbackExchange(full->boundPort(), "GET\r\n\r\n"); };
    done = false;
    std::thread handled([&] {
        reply = loopbackExchange(full->boundPort(), "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        done = true;
    });
    dispatch::runMainQueue([&] { return done.load(); }, 5s);
    handled.join();
    EXPECT_EQ(newcomer, "");
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK")) << reply;
    full->stop();
}

// Authentication on: an unsigned request from a loopback peer passes (on to the command router,
// which knows no such route) only when its Host and Origin name a loopback host; the machine's
// own name, which other hosts can use too, needs a signature. A request that says it is signed is
// judged by its signature alone, by whatever name it comes; unsigned ones and the control page keep
// to the Host rule.
TEST_F(ServerFixture, LoopbackPeersPassUnsignedOnlyWhenTheyNameThisMachine) {
    auto server = runningServer(true);
    const std::string post = "POST /nowhere HTTP/1.1\r\n";
    const std::string signedBy = "X-Pavonix-Pair-ID: lpp_unknown\r\n";
    const std::pair<std::string, const char*> cases[] = {
        {post, "HTTP/1.1 404 Not Found"},
        {post + "Host: localhost:1\r\nOrigin: http://LOCALHOST:1\r\n", "HTTP/1.1 404 Not Found"},
        {post + "Host: pavonix-test\r\n", "HTTP/1.1 401 Unauthorized"},
        {post + "Origin: http://evil.example\r\n", "HTTP/1.1 401 Unauthorized"},
        {post + "Host: vm.lan\r\n", "HTTP/1.1 403 Forbidden"},
        {post + "Host: vm.lan\r\nOrigin: http://evil.example\r\n" + signedBy, "HTTP/1.1 401 Unauthorized"},
        {"GET /index.html HTTP/1.1\r\nHost: vm.lan\r\n" + signedBy, "HTTP/1.1 403 Forbidden"},
    };
    for (const auto& [head, status] : cases) {
        const auto reply = loopbackExchange(server->boundPort(), head + "\r\n");
        EXPECT_TRUE(reply.starts_with(status)) << head << reply;
    }
    server->stop();
}

// Refusals that need only the head come before any body byte is waited for; a body that stops
// coming is answered as an incomplete request after its idle time, before the request's; one that
// trickles in is cut at the request's time, counted from its start.
TEST_F(ServerFixture, RefusedOnTheHeadAloneAndBodiesMustKeepComing) {
    HTTPServerLimits limits;
    limits.bodyIdleTimeout = 300ms;
    limits.requestTimeout = 1s;
    auto server = runningServer(true, limits);
    const std::string post = "POST /show/next HTTP/1.1\r\nContent-Length: 100\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"Host: 127.0.0.1\r\nOrigin: http://evil.example\r\n", "HTTP/1.1 403 Forbidden"},
        {"Host: evil.example\r\n", "Cross-site request refused."},
        // This machine's name, but no loopback host: a signature is needed, and none is there.
        {"Host: pavonix-test.local\r\n", "HTTP/1.1 401 Unauthorized"},
        {"Host: 127.0.0.1\r\n\r\n" + std::string(50, 'x'), "Incomplete HTTP request."},
    };
    for (const auto& [headers, expected] : cases) {
        const auto reply = loopbackExchange(server->boundPort(), post + headers + "\r\n");
        EXPECT_NE(reply.find(expected), std::string::npos) << headers << reply;
    }

    // A byte every 50 ms, for five times the request's time at most. Raw: the server may reset the
    // connection while a byte is on its way.
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto address = testing::loopbackAddress(AF_INET, server->boundPort());
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())), 0);
    const timeval quiet{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &quiet, sizeof quiet);
    const std::string head = "POST /show/next HTTP/1.1\r\nContent-Length: 1000\r\nHost: 127.0.0.1\r\n\r\n";
    ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    std::string reply;
    for (int i = 0; i < 100 && reply.empty(); ++i) {
        ::send(fd, "x", 1, MSG_NOSIGNAL);
        pollfd readable{fd, POLLIN, 0};
        char buffer[4096];
        if (::poll(&readable, 1, 50) == 1) {
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    EXPECT_NE(reply.find("Incomplete HTTP request."), std::string::npos) << reply;
    server->stop();
}

// Peers that declare a body and stall hold no place a new client needs, when the server is full as
// when their group (all of loopback here) holds its share, and their bodies together stay within
// the budget: past it the largest goes.
TEST_F(ServerFixture, StalledBodiesGiveWayAtTheCapAndPastTheirBudget) {
    for (const auto& [cap, perGroup] : {std::pair<std::size_t, std::size_t>{2, 32}, {256, 2}}) {
        SCOPED_TRACE(cap);
        HTTPServerLimits limits;
        limits.maxConnections = cap;
        limits.maxConnectionsPerGroup = perGroup;
        limits.maxUnfinishedBodyBytes = 100;
        auto server = runningServer(false, limits);
        const auto port = server->boundPort();
        const std::string head = "POST /show/next HTTP/1.1\r\nContent-Length: 1000\r\n\r\n";
        const auto settlesAt = [&](std::size_t connections, std::size_t bodyBytes) {
            return dispatch::runMainQueue(
                [&] { return server->openConnectionCount() == connections && server->unfinishedBodyBytes() == bodyBytes; }, 5s);
        };
        testing::LoopbackPeer larger(port);
        larger.send(head + std::string(80, 'a'));
        ASSERT_TRUE(settlesAt(1, 80));
        testing::LoopbackPeer smaller(port);
        smaller.send(head + std::string(60, 'b'));
        ASSERT_TRUE(settlesAt(1, 60));
        EXPECT_EQ(larger.receive(), "");

        testing::LoopbackPeer stalled(port);
        stalled.send(head);
        ASSERT_TRUE(settlesAt(2, 60));
        std::string reply;
        std::atomic<bool> done{false};
        std::thread client([&] {
            reply = loopbackExchange(port, "GET /health HTTP/1.1\r\n\r\n");
            done = true;
        });
        dispatch::runMainQueue([&] { return done.load(); }, 5s);
        client.join();
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK")) << reply;
        EXPECT_EQ(smaller.receive(), "");  // the oldest unfinished one made room
        EXPECT_TRUE(settlesAt(1, 0));
        server->stop();
    }
}

// A group can hold several hosts (all of loopback here, a LAN's IPv6 /64 elsewhere): at its share
// the address holding the most of its places gives way, not an older neighbour.
TEST_F(ServerFixture, AtAGroupsShareItsBusiestAddressGivesWay) {
    HTTPServerLimits limits;
    limits.maxConnectionsPerGroup = 3;
    auto server = runningServer(false, limits);
    const auto port = server->boundPort();
    testing::LoopbackPeer phone(port);
    phone.send("GET /health HTTP/1.1\r\n");
    ASSERT_TRUE(dispatch::runMainQueue([&] { return server->openConnectionCount() == 1; }, 5s));
    std::vector<std::unique_ptr<testing::LoopbackPeer>> flood;
    for (int i = 0; i < 4; ++i) {
        flood.push_back(std::make_unique<testing::LoopbackPeer>(port, "127.0.0.2"));
        ASSERT_TRUE(flood.back()->connected());
        flood.back()->send("GET /health HTTP/1.1\r\n");
    }
    EXPECT_TRUE(flood[1]->endsStream());  // the second newcomer past the share closed it
    std::string reply;
    std::atomic<bool> done{false};
    std::thread client([&] {  // the reply needs the main queue, which runs here
        phone.send("\r\n");
        reply = phone.receive();
        done = true;
    });
    dispatch::runMainQueue([&] { return done.load(); }, 5s);
    client.join();
    EXPECT_TRUE(reply.starts_with("HTTP/1.1 200 OK")) << reply;
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
