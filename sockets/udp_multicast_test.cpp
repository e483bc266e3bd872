// Multicast on the loopback interface of a network namespace that the test makes for itself, so
// that no multicast setting of the machine's own interfaces is ever touched. The test binary runs
// itself again inside the namespace to do the work.
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "sockets/queue_udp_socket.h"
#include "sockets/testing/udp_recorder.h"

namespace pavonix::sockets {
namespace {

using testing::bytes;
using testing::PlainUdpPeer;
using testing::UdpRecorder;

constexpr const char* kInsideVariable = "PAVONIX_UDP_MULTICAST_INSIDE_NETNS";

bool inCI() {
    const char* ci = std::getenv("CI");
    return ci && (std::string(ci) == "true" || std::string(ci) == "1");
}

int run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }

void joinReceiveAndLeave() {
    auto recorder = std::make_shared<UdpRecorder>();
    auto senderRecorder = std::make_shared<UdpRecorder>();
    SocketError error;

    struct Case {
        const char* group;
        const char* interface;  // for the join and for the sender's outgoing interface
        bool ipv4;
    };
    for (const Case& c : {Case{"239.255.42.1", "127.0.0.1", true}, Case{"ff02::4242", "lo", false}}) {
        SCOPED_TRACE(c.group);
        recorder = std::make_shared<UdpRecorder>();
        auto receiver = QueueUdpSocket::make(recorder, recorder->queue);
        EXPECT_FALSE(receiver->joinMulticastGroup(c.group, &error));
        EXPECT_EQ(error.description, "Must bind a socket before joining a multicast group.");
        ASSERT_TRUE(receiver->bindToPort(0, &error)) << error.description;
        ASSERT_TRUE(receiver->joinMulticastGroup(c.group, std::string(c.interface), &error)) << error.description;
        // A membership keeps only the socket of the group's family.
        EXPECT_EQ(receiver->isIPv4(), c.ipv4);
        EXPECT_EQ(receiver->isIPv6(), !c.ipv4);
        ASSERT_TRUE(receiver->beginReceiving());

        auto sender = QueueUdpSocket::make(senderRecorder, senderRecorder->queue);
        ASSERT_TRUE(c.ipv4 ? sender->sendIPv4MulticastOnInterface(c.interface, &error)
                           : sender->sendIPv6MulticastOnInterface(c.interface, &error))
            << error.description;
        // Linux hands IPv4 multicast sent on lo back to local members, but not IPv6 multicast.
        if (c.ipv4) {
            sender->sendData(bytes("to the group"), c.group, receiver->localPort(), 2.0, 1);
            ASSERT_TRUE(recorder->waitFor(recorder->received, 1));
            EXPECT_EQ(recorder->receivedTexts(), std::vector<std::string>{"to the group"});
        }

        // The other family's socket went with the join: a send preferring that family must fall
        // back to the remaining one, not fail on a closed descriptor.
        PlainUdpPeer peer(c.ipv4 ? AF_INET : AF_INET6);
        c.ipv4 ? receiver->setPreferIPv6() : receiver->setPreferIPv4();
        receiver->sendData(bytes("after the join"), "localhost", peer.port(), 2.0, 2);
        EXPECT_EQ(peer.receive(), "after the join");
        EXPECT_FALSE(receiver->isClosed());

        EXPECT_TRUE(receiver->leaveMulticastGroup(c.group, std::string(c.interface), &error)) << error.description;
    }
}

TEST(QueueUdpSocketMulticastTest, JoinsReceivesAndLeavesOnLoopbackInANamespace) {
    if (std::getenv(kInsideVariable)) {
        joinReceiveAndLeave();
        return;
    }
    if (::geteuid() != 0) {
        if (inCI()) FAIL() << "CI runs as root so that the test can make a network namespace";
        GTEST_SKIP() << "needs root to make a network namespace";
    }
    const std::string ns = "pvx-udp-mc-" + std::to_string(::getpid());
    if (run("ip netns add " + ns) != 0) {
        if (inCI()) FAIL() << "cannot make a network namespace (ip netns add)";
        GTEST_SKIP() << "cannot make a network namespace";
    }
    struct Remove {
        std::string ns;
        ~Remove() { run("ip netns del " + ns); }
    } remove{ns};
    ASSERT_EQ(run("ip -n " + ns + " link set lo up"), 0);
    ASSERT_EQ(run("ip -n " + ns + " link set lo multicast on"), 0);

    char self[PATH_MAX] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(test->test_suite_name()) + "." + test->name();
    EXPECT_EQ(std::system(("ip netns exec " + ns + " env " + kInsideVariable + "=1 " + self +
                           " --gtest_filter=" + filter + " --gtest_brief=1")
                              .c_str()),
              0);
}

}  // namespace
}  // namespace pavonix::sockets
