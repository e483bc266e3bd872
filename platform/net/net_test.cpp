#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/net/endpoint.h"
#include "platform/net/listener.h"

namespace pavonix::net {
namespace {

using namespace std::chrono_literals;

// A blocking client socket for the other end of the wire.
struct Client {
    int fd = -1;
    explicit Client(std::uint16_t port, int family = AF_INET, int receiveBuffer = 0) {
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        timeval timeout{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (family == AF_INET) {
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_port = htons(port);
            in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
        } else {
            sockaddr_in6 in6{};
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(port);
            in6.sin6_addr = in6addr_loopback;
            connected = ::connect(fd, reinterpret_cast<sockaddr*>(&in6), sizeof in6) == 0;
        }
    }
    ~Client() {
        if (fd >= 0) ::close(fd);
    }
    void write(const std::string& text) const { ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size())); }
    // Reads until the server ends the stream; a reset shows up as errorCode.
    std::string readAll() {
        std::string all;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                all.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0) errorCode = errno;
            return all;
        }
    }
    bool connected = false;
    int errorCode = 0;
};

// Collects what a listener reports, for waiting on from the test thread.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Listener::State> states;
    std::error_code lastError;
    std::vector<ConnectionPtr> connections;

    void attach(const ListenerPtr& listener) {
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
};

ListenerPtr startListener(Recorder& recorder, const dispatch::QueuePtr& queue, std::optional<std::string> address,
                          std::uint16_t port = 0) {
    auto listener = Listener::make({std::move(address), port});
    recorder.attach(listener);
    listener->start(queue);
    return listener;
}

TEST(Endpoint, MappedPeersReadAsIPv4AndLoopbackCoversTheWholeBlock) {
    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(8090);
    ASSERT_EQ(inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr), 1);
    auto endpoint = Endpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped);
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->family, Endpoint::Family::ipv4);
    EXPECT_EQ(endpoint->host(), "127.0.0.1");
    EXPECT_EQ(endpoint->port, 8090);
    EXPECT_TRUE(endpoint->isLoopback());

    EXPECT_TRUE(Endpoint::fromNumericHost("127.200.0.9", 1)->isLoopback());
    EXPECT_TRUE(Endpoint::fromNumericHost("::1", 1)->isLoopback());
    EXPECT_FALSE(Endpoint::fromNumericHost("::2", 1)->isLoopback());
    EXPECT_FALSE(Endpoint::fromNumericHost("10.0.0.1", 1)->isLoopback());
    EXPECT_FALSE(Endpoint::fromNumericHost("localhost", 1));
}

TEST(Listener, AllInterfacesAcceptsIPv4AndIPv6LoopbackPeers) {
    auto queue = dispatch::makeSerialQueue("test.listener");
    Recorder recorder;
    auto listener = startListener(recorder, queue, std::nullopt);
    ASSERT_TRUE(recorder.waitState(Listener::State::ready));
    ASSERT_NE(listener->port(), 0);

    Client v4(listener->port(), AF_INET);
    ASSERT_TRUE(v4.connected);
    auto first = recorder.waitConnection(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->remoteEndpoint().host(), "127.0.0.1");

    Client v6(listener->port(), AF_INET6);
    if (v6.connected) {  // a machine without IPv6 falls back to an IPv4 listener
        auto second = recorder.waitConnection(1);
        ASSERT_TRUE(second);
        EXPECT_EQ(second->remoteEndpoint().host(), "::1");
    }
    listener->cancel();
    EXPECT_TRUE(recorder.waitState(Listener::State::cancelled));
}

TEST(Listener, TakenPortFailsWithAddressInUseAndCancelFreesThePortAtOnce) {
    auto queue = dispatch::makeSerialQueue("test.listener");
    Recorder first;
    auto holder = startListener(first, queue, "127.0.0.1");
    ASSERT_TRUE(first.waitState(Listener::State::ready));
    const auto port = holder->port();

    Recorder second;
    auto loser = startListener(second, queue, "127.0.0.1", port);
    ASSERT_TRUE(second.waitState(Listener::State::failed));
    EXPECT_EQ(second.lastError, std::error_code(EADDRINUSE, std::system_category()));

    // Restarting on the same port right after cancel() must work, with no wait in between.
    holder->cancel();  // no waiting for its report before the restart
    Recorder third;
    auto successor = startListener(third, queue, "127.0.0.1", port);
    ASSERT_TRUE(third.waitState(Listener::State::ready));
    Client client(port);
    EXPECT_TRUE(client.connected);
    EXPECT_TRUE(third.waitConnection());
    successor->cancel();
    EXPECT_TRUE(third.waitState(Listener::State::cancelled));
    EXPECT_TRUE(first.waitState(Listener::State::cancelled));
}

TEST(Listener, ListenAddressBindsThatAddressOnly) {
    auto queue = dispatch::makeSerialQueue("test.listener");
    Recorder recorder;
    auto listener = startListener(recorder, queue, "127.0.0.2");
    ASSERT_TRUE(recorder.waitState(Listener::State::ready));
    Client elsewhere(listener->port());  // 127.0.0.1
    EXPECT_FALSE(elsewhere.connected);
    listener->cancel();
    EXPECT_TRUE(recorder.waitState(Listener::State::cancelled));

    Recorder bad;
    auto invalid = startListener(bad, queue, "not-an-address");
    ASSERT_TRUE(bad.waitState(Listener::State::failed));
    EXPECT_EQ(bad.lastError, std::make_error_code(std::errc::invalid_argument));
}

struct ConnectionFixture : ::testing::Test {
    dispatch::QueuePtr queue = dispatch::makeSerialQueue("test.connection");
    Recorder recorder;
    ListenerPtr listener;
    void SetUp() override {
        listener = startListener(recorder, queue, "127.0.0.1");
        ASSERT_TRUE(recorder.waitState(Listener::State::ready));
    }
    void TearDown() override {
        listener->cancel();
        recorder.waitState(Listener::State::cancelled);
    }

    ConnectionPtr accepted(std::size_t index = 0) {
        auto connection = recorder.waitConnection(index);
        if (connection) connection->start(queue);
        return connection;
    }
};

TEST_F(ConnectionFixture, ReplyReachesAPeerWhoseExtraInputWasNeverRead) {
    // A slow reader, and input the server never reads: a plain close() would send a reset that
    // throws away whatever part of the reply is still in the server's send buffer.
    Client client(listener->port(), AF_INET, 4096);
    client.write("request\r\n\r\n" + std::string(60000, 'x'));
    auto connection = recorder.waitConnection();
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
        std::lock_guard lock(recorder.mutex);
        recorder.connections.clear();
    }
    EXPECT_EQ(client.readAll().size(), reply.size());
    EXPECT_EQ(client.errorCode, 0);
    ::close(client.fd);
    client.fd = -1;
    EXPECT_EQ(cancelled.get_future().wait_for(5s), std::future_status::ready);
}

TEST_F(ConnectionFixture, ReceiveReportsEndOfStreamAndSendToAGonePeerIsAnErrorNotASignal) {
    auto connection = [&] {
        Client client(listener->port());
        client.write("abc");
        return accepted();
    }();  // the client is closed here
    ASSERT_TRUE(connection);
    std::promise<std::pair<std::string, bool>> first;
    connection->receive(1, 100, [&](std::string data, bool complete, std::error_code) { first.set_value({data, complete}); });
    EXPECT_EQ(first.get_future().get().first, "abc");
    std::promise<bool> ended;
    connection->receive(1, 100, [&](std::string data, bool complete, std::error_code) { ended.set_value(complete && data.empty()); });
    EXPECT_TRUE(ended.get_future().get());

    // Writing to a closed peer first succeeds, then fails with EPIPE or ECONNRESET; either way the
    // process must not receive SIGPIPE (the test would die).
    std::promise<std::error_code> sent;
    std::function<void(int)> sendMore = [&](int left) {
        connection->send(std::string(65536, 'z'), false, [&, left](std::error_code error) {
            if (error || left == 0) {
                sent.set_value(error);
                return;
            }
            sendMore(left - 1);
        });
    };
    queue->async([&] { sendMore(64); });
    EXPECT_TRUE(sent.get_future().get());
    connection->forceCancel();
}

TEST_F(ConnectionFixture, DeadlinesFireOnceAndClearedOnesNever) {
    Client client(listener->port());
    auto connection = accepted();
    ASSERT_TRUE(connection);
    std::promise<void> fired;
    connection->setDeadline(50ms, [&] { fired.set_value(); });
    EXPECT_EQ(fired.get_future().wait_for(3s), std::future_status::ready);

    std::atomic<bool> cleared{false};
    connection->setDeadline(50ms, [&] { cleared = true; });
    connection->clearDeadline();
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(cleared);
    connection->forceCancel();
}

TEST_F(ConnectionFixture, CancelReportsCancelledOnceAndClosesTheSocket) {
    Client client(listener->port());
    auto connection = recorder.waitConnection();
    ASSERT_TRUE(connection);
    std::atomic<int> cancelledReports{0};
    connection->setStateHandler([&](Connection::State state, std::error_code) {
        if (state == Connection::State::cancelled) ++cancelledReports;
    });
    connection->start(queue);
    connection->cancel();
    connection->cancel();
    EXPECT_EQ(client.readAll(), "");
    queue->sync([] {});
    EXPECT_EQ(cancelledReports, 1);
}

}  // namespace
}  // namespace pavonix::net
