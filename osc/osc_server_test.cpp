#include "osc/osc_server.h"
#include "osc/osc_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "osc/testing/osc_test_support.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "platform/net/testing/loopback.h"
#include "platform/testing/wait_until.h"

namespace pavonix::osc {
namespace {

using pavonix::testing::LoopbackPeer;
using pavonix::testing::waitUntil;
using sockets::Interface;

// Whether a plain UDP socket, without SO_REUSEADDR, can take the port on loopback.
bool portIsFree(std::uint16_t port) {
    const int fd = pavonix::testing::bindLoopback(AF_INET, SOCK_DGRAM, port);
    if (fd != -1) ::close(fd);
    return fd != -1;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

using namespace std::chrono_literals;

class OSCServerTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(); }
    // Replaces the server by one with these limits, listening on a port of its own.
    void startServer(OSCServerLimits limits = {}) {
        server = OSCServer::make(queue, limits);
        server->setInterface("127.0.0.1");
        // Port 0 would give TCP and UDP two different ports: take one that is free for both.
        server->setPort(pavonix::testing::freeLoopbackPort());
        server->delegate = receiver;
        server->debugDelegate = receiver;
        ASSERT_EQ(server->startListening(), std::nullopt);
        port = server->port();
        ASSERT_EQ(server->boundUDPPort(), port);
    }

    dispatch::QueuePtr queue = dispatch::makeSerialQueue("osc-server-test");
    std::shared_ptr<testing::RecordingDestination> receiver = std::make_shared<testing::RecordingDestination>();
    std::shared_ptr<OSCServer> server;
    std::uint16_t port = 0;
    LoopbackPeer peer = LoopbackPeer::udp();
};

TEST_F(OSCServerTest, DatagramsBecomePacketsAndBadOnesOnlyALine) {
    peer.sendTo(port, "not osc");
    peer.sendTo(port, "/unterminated");
    peer.sendTo(port, text(OSCMessage("/first").packetData()));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    EXPECT_EQ(receiver->received(), (std::vector<std::string>{"/first"}));
    EXPECT_TRUE(receiver->hasLine("Error: Unrecognized data 7 bytes"));
    EXPECT_TRUE(receiver->hasLine("Other error: cantParse"));
    // The reply socket points back at the sender's host.
    EXPECT_EQ(receiver->messages.front()->replySocket()->host, "127.0.0.1");
}

std::vector<std::uint8_t> slip(const OSCPacket& packet) {
    return oscFramedPacket(packet.packetData(), OSCTCPStreamFraming::SLIP);
}

// A message with `size` blob bytes, framed but for its closing END: a frame left unfinished.
std::vector<std::uint8_t> unfinishedFrame(const std::string& address, std::size_t size) {
    auto framed = slip(OSCMessage(address, {OSCBlob{std::vector<std::uint8_t>(size, 7)}}));
    framed.pop_back();
    return framed;
}

TEST_F(OSCServerTest, EachConnectionKeepsItsOwnStreamAndABadOneIsClosed) {
    LoopbackPeer first(port), second(port), bad(port);
    const auto a = slip(OSCMessage("/a", {OSCBlob{{0xC0, 0xDB, 0x01}}}));  // escapes inside the frame
    const auto b = slip(OSCMessage("/b"));
    // Each frame cut in two (the first right after an escape byte), the halves of both
    // connections interleaved.
    const auto cut = std::find(a.begin(), a.end(), 0xDB) + 1;
    first.send({a.begin(), cut});
    second.send({b.begin(), b.begin() + 3});
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }));
    first.send({cut, a.end()});
    second.send({b.begin() + 3, b.end()});
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2; }));
    auto received = receiver->received();
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, (std::vector<std::string>{"/a", "/b"}));
    const auto& messageA = receiver->messages[receiver->messages[0]->addressPattern() == "/a" ? 0 : 1];
    EXPECT_EQ(testing::argumentsOf(*messageA), (std::vector<OSCValue>{OSCBlob{{0xC0, 0xDB, 0x01}}}));

    // Nothing after a bad frame runs, whether or not the same read holds it.
    bad.send(testing::concat({testing::bytes("C0 'garbage' C0"), slip(OSCMessage("/after/garbage"))}));
    EXPECT_TRUE(bad.endsStream());
    EXPECT_TRUE(receiver->hasLine("Error: unrecognisedData"));
    first.send(slip(OSCMessage("/after")));  // the others go on
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 3; }));
    EXPECT_EQ(receiver->received().back(), "/after");
    EXPECT_EQ(server->connectionCount(), 2u);

    // A length prefix beyond the frame limit ends the stream: the frame inside it would pass for
    // one if the stream were rescanned.
    LoopbackPeer prefixed(port);
    prefixed.send(testing::concat({testing::bytes("00200000"),
                                   oscFramedPacket(OSCMessage("/stop").packetData(), OSCTCPStreamFraming::PLH)}));
    EXPECT_TRUE(prefixed.endsStream());
    EXPECT_TRUE(receiver->hasLine("Error: frameTooLong"));
    EXPECT_EQ(receiver->received().size(), 3u);
}

TEST_F(OSCServerTest, AtTheCapANewcomerClosesTheConnectionIdleTheLongest) {
    startServer({.maxConnections = 3});
    LoopbackPeer idlest(port), quiet(port), active(port);
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }));
    active.send(slip(OSCMessage("/active")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));

    LoopbackPeer newcomer(port);
    EXPECT_TRUE(idlest.endsStream());
    newcomer.send(slip(OSCMessage("/newcomer")));
    LoopbackPeer next(port);
    EXPECT_TRUE(quiet.endsStream());  // idle since its accept, while the others delivered
    active.send(slip(OSCMessage("/active")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 3; }));
    EXPECT_EQ(server->connectionCount(), 3u);
    // Closing a connection for room is no failure, and its close finds no missing entry.
    EXPECT_FALSE(receiver->hasLine("Error"));
}

// A client of the server from 127.0.0.2: another host, as the server sees it.
class OtherHostPeer {
public:
    explicit OtherHostPeer(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        sockaddr_in from{AF_INET, 0, {htonl(0x7F000002)}, {}};
        sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~OtherHostPeer() { ::close(fd_); }
    bool connected() const { return connected_; }
    bool send(const std::vector<std::uint8_t>& data) const {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }

private:
    int fd_;
    bool connected_ = false;
};

TEST_F(OSCServerTest, AtTheCapAHostOpeningConnectionsFastPushesOutOnlyItsOwn) {
    startServer({.maxConnections = 3});
    OtherHostPeer sender(port);
    ASSERT_TRUE(sender.connected());
    ASSERT_TRUE(sender.send(slip(OSCMessage("/first"))));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    // Newer than the sender's packet, so the sender is the idlest of all.
    LoopbackPeer first(port), second(port);
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }));
    LoopbackPeer third(port);
    EXPECT_TRUE(first.endsStream());
    ASSERT_TRUE(sender.send(slip(OSCMessage("/second"))));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2; }));
    EXPECT_EQ(receiver->received().back(), "/second");
    EXPECT_EQ(server->connectionCount(), 3u);
}

TEST_F(OSCServerTest, ConnectionsWithoutACompletePacketForTheIdleTimeAreClosed) {
    startServer({.idleTimeout = 200ms});
    LoopbackPeer quiet(port), unfinished(port), active(port);
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }));
    unfinished.send(unfinishedFrame("/never", 16));
    // The active one delivers until the others are gone, so it is never idle that long.
    std::size_t sent = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            active.send(slip(OSCMessage("/tick")));
            ++sent;
            return server->connectionCount() == 1;
        },
        5s, 10ms));
    EXPECT_TRUE(quiet.endsStream());
    EXPECT_TRUE(unfinished.endsStream());
    active.send(slip(OSCMessage("/last")));
    EXPECT_TRUE(waitUntil([&] { return receiver->received().size() == sent + 1; }));
    EXPECT_EQ(server->unfinishedBytes(), 0u);
}

TEST_F(OSCServerTest, PastTheBudgetForUnfinishedFramesTheLargestIsClosed) {
    startServer({.maxUnfinishedBytes = 64 << 10});
    LoopbackPeer small(port), large(port);
    small.send(unfinishedFrame("/small", 20000));
    ASSERT_TRUE(waitUntil([&] { return server->unfinishedBytes() > 20000; }));
    large.send(unfinishedFrame("/large", 50000));
    EXPECT_TRUE(large.endsStream());
    EXPECT_LE(server->unfinishedBytes(), std::size_t{64} << 10);
    small.send(std::vector<std::uint8_t>{0xC0});
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    EXPECT_EQ(receiver->received().front(), "/small");
    EXPECT_EQ(server->unfinishedBytes(), 0u);
}

TEST_F(OSCServerTest, StoppingClosesTheConnectionsAndFreesThePortAndAPortChangeLeavesTheServerStopped) {
    LoopbackPeer client(port);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 1; }));
    server->stopListening();
    EXPECT_TRUE(client.endsStream());
    EXPECT_EQ(server->connectionCount(), 0u);
    EXPECT_FALSE(LoopbackPeer(port).connected());
    EXPECT_TRUE(portIsFree(port));
    server->setPort(port);
    EXPECT_TRUE(portIsFree(port));
    ASSERT_EQ(server->startListening(), std::nullopt);  // the same port binds again at once
    peer.sendTo(port, text(OSCMessage("/again").packetData()));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
}

TEST_F(OSCServerTest, AClientSendsOverUDPAndAfterSwitchingOverTCP) {
    pavonix::testing::MainQueueScope mainQueue;  // the client's sockets report on the main queue
    auto client = OSCClient::make();
    client->setHost("127.0.0.1");
    client->setPort(port);
    client->send(OSCMessage("/by/udp"));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    client->setUseTCP(true);
    client->send(OSCMessage("/by/tcp"));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2; }));
    EXPECT_EQ(receiver->received(), (std::vector<std::string>{"/by/udp", "/by/tcp"}));
    client->disconnect();
}

TEST(OSCBroadcastFlag, FollowsTheNamedInterfacesBroadcastAddress) {
    const std::vector<Interface> interfaces{
        Interface::createTestDummy("eth0", Interface::Family::ipv4, "10.0.0.2", true, "10.0.0.255"),
        Interface::createTestDummy("tun0", Interface::Family::ipv4, "10.8.0.2", false, std::nullopt),
    };
    // Interface, host, and whether the socket broadcasts.
    const std::tuple<std::string, std::optional<std::string>, bool> cases[] = {
        {"eth0", "10.0.0.255", true},
        {"eth0", "255.255.255.255", true},
        {"eth0", "10.0.0.7", false},
        {"eth0", std::nullopt, false},  // eth0 has a broadcast address, the host none
        {"tun0", std::nullopt, true},
        {"wlan0", "255.255.255.255", false},  // no entry of that name
    };
    for (const auto& [interface, host, broadcast] : cases)
        EXPECT_EQ(oscBroadcastFlag(interfaces, interface, host), broadcast) << interface << " " << host.value_or("-");
}

}  // namespace
}  // namespace pavonix::osc
