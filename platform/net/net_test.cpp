#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include "platform/net/endpoint.h"
#include "platform/net/listener.h"
#include "platform/net/testing/loopback.h"

namespace pavonix::net {
namespace {

using namespace std::chrono_literals;
using testing::LoopbackPeer;

// A listener started on `queue` and what it reports, for waiting on from the test thread.
struct Listening {
    Listening(const dispatch::QueuePtr& queue, std::optional<std::string> address, std::uint16_t port = 0)
        : listener(Listener::make({std::move(address), port})) {
        listener->setStateHandler([this](Listener::State state, std::error_code error) {
            std::lock_guard lock(mutex);
            states.push_back(state);
            if (error) lastError = error;
            changed.notify_all();
        });
        listener->setNewConnectionHandler([this](ConnectionPtr connection) {
            std::lock_guard lock(mutex);
            connections.push_back(std::move(connection));
            changed.notify_all();
        });
        listener->start(queue);
    }
    bool waitState(Listener::State state) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return std::find(states.begin(), states.end(), state) != states.end(); });
    }
    ConnectionPtr waitConnection(std::size_t index = 0) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, 5s, [&] { return connections.size() > index; })) return nullptr;
        return connections[index];
    }

    ListenerPtr listener;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Listener::State> states;
    std::error_code lastError;
    std::vector<ConnectionPtr> connections;
};

struct NetTest : ::testing::Test {
    dispatch::QueuePtr queue = dispatch::makeSerialQueue("test.net");
};

TEST(Endpoint, MappedPeersReadAsIPv4AndLoopbackCoversTheWholeBlock) {
    sockaddr_in6 mapped{AF_INET6, htons(8090), 0, {}, 0};
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
    EXPECT_EQ(Endpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped),
              Endpoint::fromNumericHost("127.0.0.1", 8090));

    EXPECT_TRUE(Endpoint::fromNumericHost("127.200.0.9", 1)->isLoopback());
    EXPECT_TRUE(Endpoint::fromNumericHost("::1", 1)->isLoopback());
    EXPECT_FALSE(Endpoint::fromNumericHost("::2", 1)->isLoopback());
    EXPECT_FALSE(Endpoint::fromNumericHost("localhost", 1));
}

TEST(Endpoint, PeersGroupByIPv4AddressIPv6Slash64AndLoopback) {
    const std::pair<const char*, const char*> rows[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:1:2:aaaa::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:ffff:ffff:ffff", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"127.0.0.1", "loopback"},
        {"127.9.9.9", "loopback"},
        {"::1", "loopback"},
        {"::ffff:127.0.0.2", "loopback"},
        {"not-an-address", "not-an-address"},
    };
    for (const auto& [host, group] : rows) EXPECT_EQ(addressGroup(host), group) << host;
}

TEST_F(NetTest, AllInterfacesAcceptsIPv4AndIPv6LoopbackPeers) {
    Listening all(queue, std::nullopt);
    ASSERT_TRUE(all.waitState(Listener::State::ready));
    const auto port = all.listener->port();

    LoopbackPeer v4(port, AF_INET);
    ASSERT_TRUE(v4.connected());
    auto first = all.waitConnection(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->remoteEndpoint().host(), "127.0.0.1");

    LoopbackPeer v6(port, AF_INET6);
    if (v6.connected()) {  // a machine without IPv6 falls back to an IPv4 listener
        auto second = all.waitConnection(1);
        ASSERT_TRUE(second);
        EXPECT_EQ(second->remoteEndpoint().host(), "::1");
    }
    all.listener->cancel();
    EXPECT_TRUE(all.waitState(Listener::State::cancelled));
}

TEST_F(NetTest, BindFailuresCarryTheirErrnoAndCancelFreesThePortAtOnce) {
    Listening holder(queue, "127.0.0.1");
    ASSERT_TRUE(holder.waitState(Listener::State::ready));
    const auto port = holder.listener->port();
    Listening taken(queue, "127.0.0.1", port);
    ASSERT_TRUE(taken.waitState(Listener::State::failed));
    EXPECT_EQ(taken.lastError, std::error_code(EADDRINUSE, std::system_category()));
    Listening invalid(queue, "not-an-address");
    ASSERT_TRUE(invalid.waitState(Listener::State::failed));
    EXPECT_EQ(invalid.lastError, std::make_error_code(std::errc::invalid_argument));

    // A listen address binds that address only.
    Listening elsewhere(queue, "127.0.0.2");
    ASSERT_TRUE(elsewhere.waitState(Listener::State::ready));
    EXPECT_FALSE(LoopbackPeer(elsewhere.listener->port()).connected());  // 127.0.0.1
    elsewhere.listener->cancel();

    // Restarting on the same port right after cancel() must work, with no wait in between.
    holder.listener->cancel();
    Listening successor(queue, "127.0.0.1", port);
    ASSERT_TRUE(successor.waitState(Listener::State::ready));
    LoopbackPeer client(port);
    EXPECT_TRUE(successor.waitConnection());
    successor.listener->cancel();
    EXPECT_TRUE(successor.waitState(Listener::State::cancelled));
    EXPECT_TRUE(holder.waitState(Listener::State::cancelled));
}

struct ConnectionFixture : NetTest {
    Listening listening{queue, "127.0.0.1"};
    const ListenerPtr& listener = listening.listener;
    void SetUp() override { ASSERT_TRUE(listening.waitState(Listener::State::ready)); }
    void TearDown() override {
        listener->cancel();
        listening.waitState(Listener::State::cancelled);
    }

    ConnectionPtr accepted(std::size_t index = 0) {
        auto connection = listening.waitConnection(index);
        if (connection) connection->start(queue);
        return connection;
    }
};

TEST_F(ConnectionFixture, ReplyReachesAPeerWhoseExtraInputWasNeverRead) {
    // A slow reader, and input the server never reads: a plain close() would send a reset that
    // throws away whatever part of the reply is still in the server's send buffer.
    LoopbackPeer client(listener->port(), AF_INET, 4096);
    client.send("request\r\n\r\n" + std::string(60000, 'x'));
    auto connection = listening.waitConnection();
    ASSERT_TRUE(connection);
    std::promise<void> cancelled;
    connection->setStateHandler([&](Connection::State state, std::error_code) {
        if (state == Connection::State::cancelled) cancelled.set_value();
    });
    connection->start(queue);
    std::promise<std::string> head;
    connection->receive(1, 8, [&](std::string data, bool, std::error_code) { head.set_value(data); });
    EXPECT_EQ(head.get_future().get(), "request\r");

    // The owner lets go at once, as a server does; the connection lives on until it is done.
    const std::string reply(4 << 20, 'r');
    std::weak_ptr<Connection> weak = connection;
    connection->send(reply, true, [weak](std::error_code error) {
        EXPECT_FALSE(error);
        if (auto strong = weak.lock()) strong->cancel();
    });
    connection.reset();
    {
        std::lock_guard lock(listening.mutex);
        listening.connections.clear();
    }
    EXPECT_EQ(client.receive().size(), reply.size());
    EXPECT_EQ(client.error, 0);
    client.close();
    EXPECT_EQ(cancelled.get_future().wait_for(5s), std::future_status::ready);
}

TEST_F(ConnectionFixture, ReceiveReportsEndOfStreamAndSendToAGonePeerIsAnErrorNotASignal) {
    auto connection = [&] {
        LoopbackPeer client(listener->port());
        client.send("abc");
        return accepted();
    }();  // the client is closed here
    ASSERT_TRUE(connection);
    std::promise<std::string> first;
    connection->receive(1, 100, [&](std::string data, bool, std::error_code) { first.set_value(data); });
    EXPECT_EQ(first.get_future().get(), "abc");
    std::promise<bool> ended;
    connection->receive(1, 100, [&](std::string data, bool complete, std::error_code) { ended.set_value(complete && data.empty()); });
    EXPECT_TRUE(ended.get_future().get());

    // Writing to a closed peer first succeeds, then fails with EPIPE or ECONNRESET; either way the
    // process must not receive SIGPIPE (the test would die).
    std::promise<std::error_code> sent;
    std::function<void(int)> sendMore = [&](int left) {
        connection->send(std::string(65536, 'z'), false, [&, left](std::error_code error) {
            if (error || left == 0) return sent.set_value(error);
            sendMore(left - 1);
        });
    };
    queue->async([&] { sendMore(64); });
    EXPECT_TRUE(sent.get_future().get());
    connection->forceCancel();
}

TEST_F(ConnectionFixture, DeadlinesFireOnceClearedOnesNeverAndCancelReportsOnce) {
    LoopbackPeer client(listener->port()), other(listener->port());
    auto connection = listening.waitConnection(0);
    ASSERT_TRUE(connection);
    std::atomic<int> cancelledReports{0};
    connection->setStateHandler([&](Connection::State state, std::error_code) {
        if (state == Connection::State::cancelled) ++cancelledReports;
    });
    connection->start(queue);
    auto witness = accepted(1);
    ASSERT_TRUE(witness);
    std::promise<void> fired;
    connection->setDeadline(50ms, [&] { fired.set_value(); });
    EXPECT_EQ(fired.get_future().wait_for(3s), std::future_status::ready);

    // Deadlines expire in their order onto this one queue: once a later one has fired, a cleared
    // earlier one would have run before it.
    std::atomic<bool> cleared{false};
    std::promise<void> later;
    connection->setDeadline(50ms, [&] { cleared = true; });
    connection->clearDeadline();
    witness->setDeadline(150ms, [&] { later.set_value(); });
    EXPECT_EQ(later.get_future().wait_for(3s), std::future_status::ready);
    queue->sync([] {});
    EXPECT_FALSE(cleared);
    witness->forceCancel();

    connection->cancel();
    connection->cancel();
    EXPECT_EQ(client.receive(), "");
    queue->sync([] {});
    EXPECT_EQ(cancelledReports, 1);
}

}  // namespace
}  // namespace pavonix::net
