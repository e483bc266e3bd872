#include "osc/osc_server.h"

#include <gtest/gtest.h>

#include <mutex>

#include "osc/testing/osc_test_support.h"
#include "platform/testing/wait_until.h"
#include "sockets/testing/udp_recorder.h"

namespace pavonix::osc {
namespace {

using pavonix::testing::PlainUdpPeer;
using pavonix::testing::waitUntil;
using sockets::Interface;

// Receives packets and debug lines on the server's queue and keeps them for the test thread.
struct Receiver : OSCPacketDestination, OSCDebugDelegate {
    void handleMessage(std::shared_ptr<OSCMessage> message) override {
        std::lock_guard lock(mutex);
        addresses.emplace_back(message->addressPattern());
        replyHosts.push_back(message->replySocket() ? message->replySocket()->host.value_or("") : "(none)");
    }
    void handleBundle(std::shared_ptr<OSCBundle>) override {
        std::lock_guard lock(mutex);
        addresses.emplace_back("#bundle");
    }
    void handleDebugMessage(std::string_view line) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    }
    bool hasLine(std::string_view prefix) {
        std::lock_guard lock(mutex);
        for (const auto& line : lines) {
            if (line.starts_with(prefix)) return true;
        }
        return false;
    }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return addresses;
    }
    std::mutex mutex;
    std::vector<std::string> addresses, replyHosts, lines;
};

// Whether a plain UDP socket, without SO_REUSEADDR, can take the port on loopback.
bool portIsFree(std::uint16_t port) {
    PlainUdpPeer probe;
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto address = probe.loopback(port);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(address.data()),
                              static_cast<socklen_t>(address.size())) == 0;
    ::close(fd);
    return bound;
}

std::string text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

class OSCServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server->setInterface("127.0.0.1");
        server->setPort(0);
        server->delegate = receiver;
        server->debugDelegate = receiver;
        ASSERT_EQ(server->startListening(), std::nullopt);
        port = server->boundUDPPort();
        ASSERT_NE(port, 0);
    }

    dispatch::QueuePtr queue = dispatch::makeSerialQueue("osc-server-test");
    std::shared_ptr<Receiver> receiver = std::make_shared<Receiver>();
    std::shared_ptr<OSCServer> server = OSCServer::make(queue);
    std::uint16_t port = 0;
    PlainUdpPeer peer;
};

TEST_F(OSCServerTest, DatagramsBecomePacketsAndBadOnesOnlyALine) {
    peer.sendTo(port, "not osc");
    peer.sendTo(port, "/unterminated");
    peer.sendTo(port, text(OSCMessage("/first").packetData()));
    OSCBundle bundle({std::make_shared<OSCMessage>("/inner")});
    peer.sendTo(port, text(bundle.packetData()));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 2; })) << ::testing::PrintToString(receiver->received()) << ::testing::PrintToString(receiver->lines);
    EXPECT_EQ(receiver->received(), (std::vector<std::string>{"/first", "#bundle"}));
    EXPECT_TRUE(receiver->hasLine("Error: Unrecognized data 7 bytes"));
    EXPECT_TRUE(receiver->hasLine("Other error: cantParse"));
    // The reply socket points back at the sender's host.
    EXPECT_EQ(receiver->replyHosts.front(), "127.0.0.1");
}

TEST_F(OSCServerTest, StoppingFreesThePortAndAPortChangeLeavesTheServerStopped) {
    EXPECT_FALSE(portIsFree(port));
    server->stopListening();
    EXPECT_TRUE(portIsFree(port));
    server->setPort(port);
    EXPECT_TRUE(portIsFree(port));
    ASSERT_EQ(server->startListening(), std::nullopt);
    peer.sendTo(port, text(OSCMessage("/again").packetData()));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
}

TEST_F(OSCServerTest, AUDPWrapperSendsOneDatagramToItsHostAndPort) {
    OSCSocket sender(sockets::QueueUdpSocket::make());
    sender.host = "127.0.0.1";
    sender.port = port;
    sender.sendUDP(OSCMessage("/sent", {std::int32_t{7}}));
    ASSERT_TRUE(waitUntil([&] { return receiver->received().size() == 1; }));
    EXPECT_EQ(receiver->received().front(), "/sent");
}

TEST(OSCBroadcastFlag, FollowsTheNamedInterfacesBroadcastAddress) {
    const std::vector<Interface> interfaces{
        Interface::createTestDummy("eth0", Interface::Family::ipv4, "10.0.0.2", true, "10.0.0.255"),
        Interface::createTestDummy("tun0", Interface::Family::ipv4, "10.8.0.2", false, std::nullopt),
    };
    struct Case {
        std::string interface;
        std::optional<std::string> host;
        bool broadcast;
    };
    for (const Case& c : std::vector<Case>{
             {"eth0", "10.0.0.255", true},
             {"eth0", "255.255.255.255", true},
             {"eth0", "10.0.0.7", false},
             {"eth0", std::nullopt, false},  // eth0 has a broadcast address, the host none
             {"tun0", std::nullopt, true},
             {"wlan0", "255.255.255.255", false},  // no entry of that name
         }) {
        EXPECT_EQ(oscBroadcastFlag(interfaces, c.interface, c.host), c.broadcast)
            << c.interface << " " << c.host.value_or("(none)");
    }
}

}  // namespace
}  // namespace pavonix::osc
