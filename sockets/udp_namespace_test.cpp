// UDP socket behaviour that needs interface settings (multicast on lo, a slow link): each test runs
// inside a network namespace it makes for itself, never on the machine's own interfaces.
#include <gtest/gtest.h>

#include <numeric>

#include "platform/net/testing/loopback.h"
#include "platform/testing/wait_until.h"
#include "sockets/queue_udp_socket.h"
#include "sockets/testing/network_namespace.h"
#include "sockets/testing/socket_recorders.h"

namespace pavonix::sockets {
namespace {

using pavonix::testing::LoopbackPeer;
using pavonix::testing::NamespaceRun;
using testing::bytes;
using testing::UdpRecorder;

TEST(QueueUdpSocketNamespaceTest, JoinsReceivesAndLeavesMulticastGroupsOnLoopback) {
    const auto run = pavonix::testing::runInOwnNetworkNamespace({"ip link set lo up", "ip link set lo multicast on"});
    if (run == NamespaceRun::unavailable) GTEST_SKIP() << "needs root to make a network namespace";
    if (run == NamespaceRun::finished) return;

    auto senderRecorder = std::make_shared<UdpRecorder>();
    SocketError error;
    struct Case {
        const char* group;
        const char* interface;  // for the join and for the sender's outgoing interface
        bool ipv4;
    };
    for (const Case& c : {Case{"239.255.42.1", "127.0.0.1", true}, Case{"ff02::4242", "lo", false}}) {
        SCOPED_TRACE(c.group);
        auto recorder = std::make_shared<UdpRecorder>();
        auto receiver = QueueUdpSocket::make(recorder, recorder->queue);
        EXPECT_FALSE(receiver->joinMulticastGroup(c.group, &error));
        EXPECT_EQ(error.description, "Must bind a socket before joining a multicast group.");
        ASSERT_TRUE(receiver->bindToPort(0, &error)) << error.description;
        ASSERT_TRUE(receiver->joinMulticastGroup(c.group, std::string(c.interface), &error)) << error.description;
        ASSERT_TRUE(receiver->beginReceiving());

        auto sender = QueueUdpSocket::make(senderRecorder, senderRecorder->queue);
        ASSERT_TRUE(c.ipv4 ? sender->sendIPv4MulticastOnInterface(c.interface, &error)
                           : sender->sendIPv6MulticastOnInterface(c.interface, &error))
            << error.description;
        // Linux hands IPv4 multicast sent on lo back to local members, but not IPv6 multicast.
        if (c.ipv4) {
            sender->sendData(bytes("to the group"), c.group, receiver->localPort(), 2.0, 1);
            ASSERT_TRUE(recorder->waitFor("received"));
            EXPECT_EQ(recorder->received(), std::vector<std::string>{"to the group"});
        }

        // A membership keeps only the socket of the group's family: a send preferring the other
        // family must fall back to the remaining one, not fail on a closed descriptor.
        auto peer = LoopbackPeer::udp(c.ipv4 ? AF_INET : AF_INET6);
        c.ipv4 ? receiver->setPreferIPv6() : receiver->setPreferIPv4();
        receiver->sendData(bytes("after the join"), "localhost", peer.port(), 2.0, 2);
        EXPECT_EQ(peer.receive(), "after the join");
        EXPECT_FALSE(receiver->isClosed());

        EXPECT_TRUE(receiver->leaveMulticastGroup(c.group, std::string(c.interface), &error)) << error.description;
    }
}

// Datagrams the kernel refuses outright fail one by one: the bound socket keeps its port, goes on
// receiving, and sends the next datagram itself.
TEST(QueueUdpSocketNamespaceTest, ADatagramTheKernelRefusesFailsAloneAndTheSocketGoesOn) {
    const auto run = pavonix::testing::runInOwnNetworkNamespace({
        "ip link set lo up",
        "ip link add pvxa type veth peer name pvxb",
        "ip addr add 10.81.0.1/24 brd + dev pvxa",
        "ip link set pvxa up",
        "ip link set pvxb up",
    });
    if (run == NamespaceRun::unavailable) GTEST_SKIP() << "needs root to make a network namespace";
    if (run == NamespaceRun::finished) return;

    auto recorder = std::make_shared<UdpRecorder>();
    auto socket = QueueUdpSocket::make(recorder, recorder->queue);
    ASSERT_TRUE(socket->bindToPort(0));
    ASSERT_TRUE(socket->beginReceiving());
    const std::uint16_t port = socket->localPort();
    auto peer = LoopbackPeer::udp();

    socket->sendData(Bytes(70000, 'x'), "127.0.0.1", peer.port(), -1, 1);  // longer than a datagram
    socket->sendData(bytes("nowhere"), "10.78.0.1", 9, -1, 2);             // no route in this namespace
    socket->sendData(bytes("everyone"), "10.81.0.255", 9, -1, 3);          // broadcast not enabled
    socket->sendData(bytes("after"), "127.0.0.1", peer.port(), -1, 4);
    EXPECT_EQ(peer.receive(), "after");
    ASSERT_TRUE(recorder->waitFor("sent"));
    recorder->settle(*socket);
    EXPECT_EQ(recorder->tags("sent"), std::vector<std::int64_t>{4});
    const auto notSent = recorder->reports("notSent");
    ASSERT_EQ(recorder->tags("notSent"), (std::vector<std::int64_t>{1, 2, 3}));
    const int codes[] = {EMSGSIZE, ENETUNREACH, EACCES};
    for (std::size_t i = 0; i < std::size(codes); ++i) {
        EXPECT_TRUE(notSent[i].error->isPosix(codes[i])) << notSent[i].error->code;
        EXPECT_EQ(notSent[i].error->failureReason, "Error in send() function.");
    }

    EXPECT_FALSE(socket->isClosed());
    EXPECT_EQ(socket->localPort(), port);
    peer.sendTo(port, "still listening");
    ASSERT_TRUE(recorder->waitFor("received"));
    EXPECT_EQ(recorder->received(), std::vector<std::string>{"still listening"});
    EXPECT_EQ(recorder->count("closed"), 0u);
}

// A link shaped to a trickle fills a small send buffer after a few datagrams; the rest must wait
// for the socket to take bytes again, and give up only when their time-out says so.
TEST(QueueUdpSocketNamespaceTest, BlockedSendsWaitForTheSocketUnderTheirTimeOut) {
    const char* shape = "tc qdisc replace dev pvxa root tbf burst 1600 latency 10s rate ";
    const auto run = pavonix::testing::runInOwnNetworkNamespace({
        "ip link set lo up",
        "ip link add pvxa type veth peer name pvxb",
        "ip addr add 10.77.0.1/30 dev pvxa",
        "ip link set pvxa up",
        "ip link set pvxb up",
        "ip neigh replace 10.77.0.2 lladdr 02:00:00:00:00:02 dev pvxa",
        std::string(shape) + "2mbit",
    });
    if (run == NamespaceRun::unavailable) GTEST_SKIP() << "needs root to make a network namespace";
    if (run == NamespaceRun::finished) return;

    auto recorder = std::make_shared<UdpRecorder>();
    auto socket = QueueUdpSocket::make(recorder, recorder->queue);
    socket->setMaxSendBufferSize(4096);  // before the socket exists, so it takes effect
    ASSERT_TRUE(socket->bindToPort(0, std::string("10.77.0.1")));

    std::vector<std::int64_t> tags(20);
    std::iota(tags.begin(), tags.end(), 0);
    for (const std::int64_t tag : tags) socket->sendData(Bytes(1000, 'x'), "10.77.0.2", 9, -1, tag);
    ASSERT_TRUE(recorder->waitFor("sent", 20));
    EXPECT_EQ(recorder->tags("sent"), tags);

    // At a kilobyte a second the queued datagrams outlast their time-outs.
    ASSERT_EQ(std::system((std::string(shape) + "8kbit").c_str()), 0);
    for (std::int64_t tag = 20; tag < 28; ++tag) socket->sendData(Bytes(1000, 'x'), "10.77.0.2", 9, 0.2, tag);
    ASSERT_TRUE(pavonix::testing::waitUntil([&] { return recorder->count("sent") + recorder->count("notSent") == 28; }));
    const auto notSent = recorder->waitFor("notSent");
    ASSERT_TRUE(notSent);
    EXPECT_EQ(notSent.error->code, static_cast<int>(QueueUdpSocketErrorCode::sendTimeout));
    EXPECT_EQ(notSent.error->description, "Send operation timed out");
    EXPECT_FALSE(socket->isClosed());
}

}  // namespace
}  // namespace pavonix::sockets
