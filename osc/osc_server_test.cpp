#include "osc/osc_server.h"
#include "osc/osc_client.h"

#include <gtest/gtest.h>

#include <netinet/tcp.h>
#include <pwd.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <filesystem>
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

// SO_KEEPALIVE, TCP_KEEPIDLE, TCP_KEEPINTVL and TCP_KEEPCNT of the server's end of `peer`'s
// connection, which this process holds too; all -1 when no such end is open.
std::array<int, 4> keepAliveOfServerEnd(const LoopbackPeer& peer) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename());
        sockaddr_in remote{};
        socklen_t length = sizeof remote;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &length) != 0 || remote.sin_family != AF_INET ||
            ntohs(remote.sin_port) != peer.port())
            continue;
        std::array<int, 4> values{};
        const std::pair<int, int> options[] = {
            {SOL_SOCKET, SO_KEEPALIVE}, {IPPROTO_TCP, TCP_KEEPIDLE}, {IPPROTO_TCP, TCP_KEEPINTVL}, {IPPROTO_TCP, TCP_KEEPCNT}};
        for (std::size_t i = 0; i < values.size(); ++i) {
            socklen_t size = sizeof values[i];
            ::getsockopt(fd, options[i].first, options[i].second, &values[i], &size);
        }
        return values;
    }
    return {-1, -1, -1, -1};
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class OSCServerTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(); }
    // Replaces the server by one with these limits, listening on a port of its own; `hostsApart`
    // gives each loopback host an address group of its own.
    void startServer(OSCServerLimits limits = {}, bool hostsApart = false) {
        server = OSCServer::make(queue, limits);
        if (hostsApart) server->addressGroupOf = [](const std::string& host) { return host; };
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

TEST_F(OSCServerTest, AtTheCapANewcomerClosesOneThatNeverDeliveredBeforeTheIdlest) {
    startServer({.maxConnections = 3});
    LoopbackPeer idlest(port), active(port);
    idlest.send(slip(OSCMessage("/idlest")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    active.send(slip(OSCMessage("/active")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2; }));
    LoopbackPeer silent(port);
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }));

    LoopbackPeer newcomer(port);
    EXPECT_TRUE(silent.endsStream());  // the newest, but it never delivered
    newcomer.send(slip(OSCMessage("/newcomer")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 3; }));
    LoopbackPeer next(port);
    EXPECT_TRUE(idlest.endsStream());  // all delivered: the one idle the longest
    active.send(slip(OSCMessage("/active")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 4; }));
    EXPECT_EQ(server->connectionCount(), 3u);
    // Closing a connection for room is no failure, and its close finds no missing entry.
    EXPECT_FALSE(receiver->hasLine("Error"));
}

// A quiet controller keeps its place however many connections another group opens: one group
// holds its share at most, and at the cap the group holding the most gives way.
TEST_F(OSCServerTest, AGroupPastItsSharePushesOutOnlyItsOwnAndAQuietControllerStays) {
    startServer({.maxConnections = 4, .maxConnectionsPerGroup = 2}, true);
    LoopbackPeer controller(port, "127.0.0.2");
    ASSERT_TRUE(controller.connected());
    controller.send(slip(OSCMessage("/first")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    // No timer closes it; the system's probes find it gone after a minute of quiet and six
    // unanswered probes ten seconds apart.
    EXPECT_EQ(keepAliveOfServerEnd(controller), (std::array{1, 60, 10, 6}));

    // The flood delivers too, so that it is never the controller's silence that saves it.
    std::vector<std::unique_ptr<LoopbackPeer>> flood;
    for (int i = 0; i < 6; ++i) {
        flood.push_back(std::make_unique<LoopbackPeer>(port));
        flood.back()->send(slip(OSCMessage("/flood")));
        ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2u + i; }));
        EXPECT_LE(server->connectionCount(), 3u);
    }
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(flood[i]->endsStream()) << i;  // its own idlest, in turn

    // Two more hosts fill the table, the first not having sent yet; at the cap the flood's group
    // holds the most, and its idlest goes rather than the controller, idle longer, or the host
    // that has yet to send, however fast the flood's connections delivered.
    LoopbackPeer third(port, "127.0.0.3");
    ASSERT_TRUE(third.connected());
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 4; }));
    LoopbackPeer fourth(port, "127.0.0.4");
    ASSERT_TRUE(fourth.connected());
    EXPECT_TRUE(flood[4]->endsStream());
    EXPECT_EQ(server->connectionCount(), 4u);
    third.send(slip(OSCMessage("/third")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 8; }));
    controller.send(slip(OSCMessage("/second")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 9; }));
    EXPECT_FALSE(receiver->hasLine("Error"));
}

// One group can hold several hosts (all of loopback here, a LAN's IPv6 /64 elsewhere): past its
// share the address holding the most gives way, not a controller idle longer beside it.
TEST_F(OSCServerTest, WithinAGroupTheBusiestAddressGivesWay) {
    startServer({.maxConnectionsPerGroup = 3});
    LoopbackPeer controller(port);
    controller.send(slip(OSCMessage("/first")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    std::vector<std::unique_ptr<LoopbackPeer>> flood;
    for (int i = 0; i < 4; ++i) {
        flood.push_back(std::make_unique<LoopbackPeer>(port, "127.0.0.2"));
        flood.back()->send(slip(OSCMessage("/flood")));
        ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2u + i; }));
    }
    EXPECT_TRUE(flood[1]->endsStream());
    controller.send(slip(OSCMessage("/second")));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 6; }));
}

TEST_F(OSCServerTest, PastTheBudgetForUnfinishedFramesTheLargestIsClosed) {
    startServer({.maxUnfinishedBytes = 64 << 10});
    LoopbackPeer small(port), large(port);
    small.send(unfinishedFrame("/small", 20000));
    ASSERT_TRUE(waitUntil([&] { return server->unfinishedBytes() > 20000; }));
    large.send(unfinishedFrame("/large", 50000));
    // Closed with bytes still unread, so ended by a reset or an orderly end.
    EXPECT_EQ(large.receive(1), "");
    EXPECT_TRUE(large.error == 0 || large.error == ECONNRESET) << large.error;
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

// Another local user would take every datagram of the port if it could bind it too: try, with
// every reuse option, from a child that runs as nobody when the test runs as root.
TEST_F(OSCServerTest, AnotherUserCannotBindTheUDPPortWhileTheServerListens) {
    const passwd* nobody = ::getpwnam("nobody");
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (::geteuid() == 0 && (nobody == nullptr || ::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0))
            ::_exit(2);
        int taken = 0;
        for (const std::uint32_t address : {INADDR_LOOPBACK, INADDR_ANY}) {
            const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            const int on = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
            sockaddr_in to{AF_INET, htons(port), {htonl(address)}, {}};
            if (::bind(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 || errno != EADDRINUSE) ++taken;
        }
        ::_exit(taken);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
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
