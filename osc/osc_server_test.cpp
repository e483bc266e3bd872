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

class OSCServerTest : public ::testing::Test {
protected:
    void SetUp() override {
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
    std::shared_ptr<OSCServer> server = OSCServer::make(queue);
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

    bad.send(testing::bytes("C0 'garbage' C0"));
    EXPECT_TRUE(bad.endsStream());
    EXPECT_TRUE(receiver->hasLine("Error: unrecognisedData"));
    first.send(slip(OSCMessage("/after")));  // the others go on
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 3; }));
    EXPECT_EQ(server->connectionCount(), 2u);
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
