#include "sockets/queue_tcp_socket.h"

#include <netinet/tcp.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>

#include "platform/net/testing/loopback.h"
#include "platform/testing/temporary_folder.h"
#include "platform/testing/wait_until.h"
#include "sockets/testing/socket_recorders.h"

namespace pavonix::sockets {
namespace {

using std::chrono::seconds;
using Peer = pavonix::testing::LoopbackPeer;
using pavonix::testing::bindLoopback;
using pavonix::testing::boundPort;
using testing::bytes;
using testing::TcpRecorder;

std::ptrdiff_t openDescriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

class QueueTcpSocketTest : public ::testing::Test {
protected:
    std::uint16_t listen(std::string_view interface = "localhost") {
        SocketError error;
        EXPECT_TRUE(listener->acceptOnInterface(interface, 0, &error)) << error.description;
        return listener->localPort();
    }
    // A connected pair: the accepted socket and its blocking peer.
    std::pair<QueueTcpSocketPtr, std::unique_ptr<Peer>> connectedPair() {
        if (port == 0) port = listen();
        const auto before = recorder->count("accept");
        auto peer = std::make_unique<Peer>(port);
        EXPECT_TRUE(recorder->waitFor("accept", before + 1));
        return {recorder->accepted().back(), std::move(peer)};
    }
    std::optional<SocketError> disconnectError(std::size_t nth = 1) {
        const auto report = recorder->waitFor("disconnect", nth);
        EXPECT_TRUE(report);
        return report.error;
    }

    std::shared_ptr<TcpRecorder> recorder = std::make_shared<TcpRecorder>();
    QueueTcpSocketPtr listener = QueueTcpSocket::create(recorder, recorder->queue);
    std::uint16_t port = 0;
};

bool hasCode(const std::optional<SocketError>& error, QueueTcpSocketErrorCode code) {
    return error && error->domain == kQueueTcpSocketErrorDomain && error->code == static_cast<int>(code);
}

TEST_F(QueueTcpSocketTest, ListensOnBothFamiliesOfOnePortAndRefusesWhatCannotListen) {
    ASSERT_TRUE(listener->acceptOnPort(0));
    std::uint16_t port4 = 0, port6 = 0;
    listener->performBlock([&] {
        port4 = listener->localPort4();
        port6 = listener->localPort6();
    });
    ASSERT_NE(port4, 0);
    EXPECT_EQ(port4, port6);

    Peer v4(port4, AF_INET), v6(port4, AF_INET6);
    ASSERT_TRUE(recorder->waitFor("accept", 2));
    std::set<std::string> hosts;
    for (const auto& socket : recorder->accepted()) hosts.insert(socket->connectedHost().value_or("?"));
    EXPECT_EQ(hosts, (std::set<std::string>{"127.0.0.1", "::1"}));

    // Interface, port, description and failure reason; the listener itself is asked again first.
    const std::tuple<std::string_view, std::uint16_t, std::string, std::string> refusals[] = {
        {"", 0, "Attempting to accept while connected or accepting connections. Disconnect first.", ""},
        {"127.0.0.1", port4, ::strerror(EADDRINUSE), "Error in bind() function"},
        {"no-such-interface", 0, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.", ""},
    };
    for (const auto& [interface, onPort, description, reason] : refusals) {
        const auto socket = interface.empty() ? listener : QueueTcpSocket::create(recorder, recorder->queue);
        SocketError error;
        EXPECT_FALSE(socket->acceptOnInterface(interface, onPort, &error));
        EXPECT_EQ(std::tie(error.description, error.failureReason), std::tie(description, reason)) << interface;
    }

    // Accepted sockets outlive their listener.
    listener->disconnect();
    EXPECT_FALSE(disconnectError());
    for (const auto& socket : recorder->accepted()) EXPECT_TRUE(socket->isConnected());

    // Without a delegate queue nobody could own a connection: it is closed, not leaked.
    ASSERT_TRUE(listener->acceptOnPort(0));
    listener->setDelegateQueue(nullptr, true);
    EXPECT_TRUE(Peer(listener->localPort()).endsStream());
}

TEST_F(QueueTcpSocketTest, AcceptsAndReadsAThousandConnectionsAndClosesEveryDescriptor) {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 4096) {
        limit.rlim_cur = std::min<rlim_t>(4096, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    constexpr std::size_t kConnections = 1000;
    ASSERT_GE(limit.rlim_cur, 2 * kConnections + 100);

    recorder->onAccept = [](const QueueTcpSocketPtr& socket) { socket->readData(-1, 0); };
    const auto port = listen("127.0.0.1");
    const auto baseline = openDescriptors();
    {
        std::vector<std::unique_ptr<Peer>> peers;
        for (std::size_t i = 0; i < kConnections; ++i) {
            peers.push_back(std::make_unique<Peer>(port));
            ASSERT_TRUE(peers.back()->connected());
            peers.back()->send("x");
        }
        ASSERT_TRUE(pavonix::testing::waitUntil([&] { return recorder->count("read") == kConnections; }, seconds(30)));
    }
    // The peers' ends close the accepted sockets.
    ASSERT_TRUE(recorder->waitFor("disconnect", kConnections, seconds(30)));
    recorder->dropAccepted();
    EXPECT_TRUE(pavonix::testing::waitUntil([&] { return openDescriptors() <= baseline; }, seconds(10)))
        << openDescriptors() << " open, " << baseline << " before";
}

TEST_F(QueueTcpSocketTest, AcceptingWaitsForADelegateQueueThatFallsBehind) {
    const auto port = listen("127.0.0.1");
    // Connections still in the listening socket's queue: its TCP_INFO counts them as unacknowledged.
    const auto waitingInBacklog = [&] {
        tcp_info info{};
        socklen_t size = sizeof info;
        listener->performBlock([&] { ::getsockopt(listener->socket4FD(), IPPROTO_TCP, TCP_INFO, &info, &size); });
        return std::size_t{info.tcpi_unacked};
    };
    std::promise<void> release;
    recorder->queue->async([held = release.get_future().share()] { held.wait(); });
    constexpr std::size_t kPeers = 100;
    std::vector<std::unique_ptr<Peer>> peers;
    for (std::size_t i = 0; i < kPeers; ++i) {
        peers.push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers.back()->connected());
    }
    // Without the bound one turn of the listener would take 64, and the next turn the rest.
    const auto accepted = [&] { return kPeers - waitingInBacklog(); };
    ASSERT_TRUE(pavonix::testing::waitUntil([&] { return accepted() == QueueTcpSocket::kMaxAcceptsAwaitingHandOver; }))
        << accepted();
    listener->performBlock([] {});
    EXPECT_EQ(accepted(), QueueTcpSocket::kMaxAcceptsAwaitingHandOver);
    release.set_value();
    ASSERT_TRUE(recorder->waitFor("accept", kPeers));

    // A close while the listener waits for the delegate queue still closes the listening descriptor.
    std::promise<void> releaseAgain;
    recorder->queue->async([held = releaseAgain.get_future().share()] { held.wait(); });
    for (std::size_t i = 0; i <= QueueTcpSocket::kMaxAcceptsAwaitingHandOver; ++i) {
        peers.push_back(std::make_unique<Peer>(port));
        ASSERT_TRUE(peers.back()->connected());
    }
    // Held back with the rest taken (on a loaded machine it has been seen to stop one short).
    ASSERT_TRUE(pavonix::testing::waitUntil([&] {
        const auto left = waitingInBacklog();
        return left >= 1 && left <= 2;
    })) << waitingInBacklog();
    listener->disconnect();
    releaseAgain.set_value();
    // Closing it resets the newest connection, still in its backlog. (A new peer would not tell:
    // with the descriptor open it waits in the full backlog for its SYN retries, minutes long.)
    EXPECT_EQ(peers.back()->receive(1), "");
    EXPECT_EQ(peers.back()->error, ECONNRESET);
}

TEST_F(QueueTcpSocketTest, ReadsToATerminatorOrALengthAcrossSplitWrites) {
    auto [socket, peer] = connectedPair();
    socket->readDataToData(kCRLFData, -1, 1);
    peer->send("ab\r");
    EXPECT_EQ(recorder->waitFor("partialRead").length, 3u);
    peer->send("\ncd");
    EXPECT_EQ(recorder->waitFor("read").text, "ab\r\n");
    // The bytes after the terminator wait for the next read.
    socket->readData(-1, 2);
    EXPECT_EQ(recorder->waitFor("read", 2).text, "cd");

    socket->readDataToLength(8, -1, 3);
    peer->send("123");
    EXPECT_EQ(recorder->waitFor("partialRead", 2).length, 3u);
    peer->send("45678");
    EXPECT_EQ(recorder->waitFor("read", 3).text, "12345678");

    // Into the caller's buffer after what it holds, reported as a view of that buffer.
    const auto buffer = std::make_shared<Bytes>(bytes("HEAD"));
    socket->readData(-1, buffer, 4, 4);
    peer->send("tail");
    EXPECT_EQ(recorder->waitFor("read", 4).text, "tail");
    EXPECT_EQ(*buffer, bytes("HEADtail"));

    socket->readDataToData(kCRLFData, -1, 5, 5);
    peer->send("abcdefg");
    EXPECT_TRUE(hasCode(disconnectError(), QueueTcpSocketErrorCode::readMaxedOut));
}

TEST_F(QueueTcpSocketTest, TimeOutsAskTheDelegateAndCloseWithoutAnExtension) {
    auto [reader, quietPeer] = connectedPair();
    recorder->timeoutAnswers = {0.1, 0};
    reader->readData(0.05, 7);
    EXPECT_TRUE(hasCode(disconnectError(), QueueTcpSocketErrorCode::readTimeout));
    EXPECT_EQ(recorder->texts("readTimeout"), (std::vector{std::to_string(0.05), std::to_string(0.15)}));

    // A peer that never reads fills the kernel's buffers, so the write stalls.
    auto [writer, stalledPeer] = connectedPair();
    recorder->timeoutAnswers = {0.05, 0};
    writer->writeData(Bytes(64 << 20, 'w'), 0.05, 8);
    EXPECT_TRUE(hasCode(disconnectError(2), QueueTcpSocketErrorCode::writeTimeout));
    EXPECT_EQ(recorder->count("writeTimeout"), 2u);
    EXPECT_GE(recorder->count("partialWrite"), 1u);
}

TEST_F(QueueTcpSocketTest, PeerEndsItsStream) {
    auto [socket, peer] = connectedPair();
    socket->readData(-1, 1);
    peer->shutdownWrite();
    EXPECT_TRUE(hasCode(disconnectError(), QueueTcpSocketErrorCode::closed));

    // In half-duplex mode the socket goes on writing.
    auto [halfDuplex, halfPeer] = connectedPair();
    halfDuplex->setAutoDisconnectOnClosedReadStream(false);
    halfDuplex->readData(-1, 2);
    halfPeer->shutdownWrite();
    ASSERT_TRUE(recorder->waitFor("closeReadStream"));
    halfDuplex->writeData(bytes("bye"), -1, 3);
    EXPECT_EQ(halfPeer->receive(3), "bye");

    // After a reset a write fails with an error, not a SIGPIPE that would end this test.
    auto [resetSocket, resetPeer] = connectedPair();
    resetPeer->reset();
    for (int i = 0; i < 3; ++i) resetSocket->writeData(bytes("late"), -1, 4);
    const auto error = disconnectError(2);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, kPosixErrorDomain);
}

TEST_F(QueueTcpSocketTest, DisconnectAfterWritingSendsEverythingFirst) {
    auto [socket, peer] = connectedPair();
    socket->writeData(bytes("one"), -1, 1);
    socket->writeData(bytes("two"), -1, 2);
    socket->disconnectAfterWriting();
    socket->readData(-1, 3);  // dropped: reads are over
    EXPECT_EQ(peer->receive(6), "onetwo");
    EXPECT_TRUE(peer->endsStream());
    EXPECT_FALSE(disconnectError());
    EXPECT_EQ(recorder->count("write"), 2u);
    EXPECT_EQ(recorder->count("read"), 0u);
}

TEST_F(QueueTcpSocketTest, ConnectsToTheOtherFamilyAfterItsDelay) {
    // IPv6 listens; the IPv4 port is bound but not listening, so the first attempt is refused.
    // Another program may hold the IPv4 side of the port the system picked: pick again then.
    int v6 = -1, v4 = -1;
    std::uint16_t port = 0;
    for (int tries = 0; tries < 20 && v4 == -1; ++tries) {
        if (v6 != -1) ::close(v6);
        v6 = bindLoopback(AF_INET6, SOCK_STREAM);
        ASSERT_EQ(::listen(v6, 4), 0);
        port = boundPort(v6);
        v4 = bindLoopback(AF_INET, SOCK_STREAM, port);
    }
    ASSERT_NE(v4, -1);

    auto client = QueueTcpSocket::create(recorder, recorder->queue);
    client->setAlternateAddressDelay(0.05);
    ASSERT_TRUE(client->connectToHost("localhost", port));
    EXPECT_EQ(recorder->waitFor("connect").text, "::1");
    EXPECT_EQ(recorder->count("disconnect"), 0u);  // the refused attempt closes nothing
    // A socket released while connected reports its close without itself.
    client.reset();
    const auto released = recorder->waitFor("disconnect");
    ASSERT_TRUE(released);
    EXPECT_EQ(released.socket, nullptr);
    EXPECT_FALSE(released.error);

    // A disabled family's address is dropped, so IPv6 goes first instead of after the delay.
    const auto v6Only = QueueTcpSocket::create(recorder, recorder->queue);
    v6Only->setIPv4Enabled(false);
    v6Only->setAlternateAddressDelay(60);
    ASSERT_TRUE(v6Only->connectToHost("localhost", port));
    EXPECT_TRUE(recorder->waitFor("connect", 2));
    ::close(v4);
    ::close(v6);
}

TEST_F(QueueTcpSocketTest, ConnectFailuresCloseWithTheirErrorAndLeakNothing) {
    // A listener whose queue is full drops further handshakes, so a connect there hangs.
    const int full = bindLoopback(AF_INET, SOCK_STREAM);
    ASSERT_EQ(::listen(full, 0), 0);
    Peer filler(boundPort(full));

    const auto baseline = openDescriptors();
    {
        const auto client = QueueTcpSocket::create(recorder, recorder->queue);
        ASSERT_TRUE(client->connectToHost("127.0.0.1", boundPort(full), 0.2));
        EXPECT_TRUE(hasCode(disconnectError(), QueueTcpSocketErrorCode::connectTimeout));

        ASSERT_TRUE(client->connectToHost("no-such-host.invalid", 80));
        const auto lookup = disconnectError(2);
        ASSERT_TRUE(lookup);
        EXPECT_EQ(lookup->domain, kNetDBErrorDomain);

        SocketError refused;
        EXPECT_FALSE(client->connectToAddress(Bytes(20, 0), -1, {}, &refused));
        EXPECT_EQ(refused.description, "A valid IPv4 or IPv6 address was not given");
    }
    EXPECT_TRUE(pavonix::testing::waitUntil([&] { return openDescriptors() <= baseline; }))
        << openDescriptors() << " open, " << baseline << " before";
    ::close(full);
}

TEST_F(QueueTcpSocketTest, UnixDomainSocketsListenConnectAndCarryBytes) {
    pavonix::testing::TemporaryFolder folder;
    const std::string path = (folder.path() / "echo.sock").string();
    const std::string plainFile = (folder.path() / "plain").string();
    std::ofstream(plainFile) << "keep";

    SocketError error;
    EXPECT_FALSE(listener->acceptOnUrl(plainFile, &error));
    EXPECT_EQ(error.failureReason, "Error in bind() function");
    EXPECT_TRUE(std::filesystem::is_regular_file(plainFile));
    EXPECT_FALSE(listener->acceptOnUrl("/tmp/" + std::string(200, 'p'), &error));
    EXPECT_EQ(error.code, static_cast<int>(QueueTcpSocketErrorCode::badParam));

    recorder->onAccept = [](const QueueTcpSocketPtr& socket) { socket->readData(-1, 0); };
    ASSERT_TRUE(listener->acceptOnUrl(path, &error)) << error.description;

    const auto client = QueueTcpSocket::create(recorder, recorder->queue);
    ASSERT_TRUE(client->connectToUrl(path));
    EXPECT_EQ(recorder->waitFor("connect").text, path);
    client->writeData(bytes("ping"), -1, 1);
    EXPECT_EQ(recorder->waitFor("read").text, "ping");
    EXPECT_EQ(client->connectedUrl(), path);
}

}  // namespace
}  // namespace pavonix::sockets
