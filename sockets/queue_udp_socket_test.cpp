#include "sockets/queue_udp_socket.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <atomic>

#include "platform/net/testing/loopback.h"
#include "platform/testing/wait_until.h"
#include "sockets/testing/socket_recorders.h"

namespace pavonix::sockets {
namespace {

using pavonix::testing::LoopbackPeer;
using pavonix::testing::waitUntil;
using testing::bytes;
using testing::UdpRecorder;

class QueueUdpSocketTest : public ::testing::Test {
protected:
    std::shared_ptr<QueueUdpSocket> makeSocket() { return QueueUdpSocket::make(recorder, recorder->queue); }

    std::shared_ptr<UdpRecorder> recorder = std::make_shared<UdpRecorder>();
    std::shared_ptr<QueueUdpSocket> socket = makeSocket();
};

TEST_F(QueueUdpSocketTest, BindsOnceToAKnownInterfaceAndReportsEachFamilysSender) {
    SocketError error;
    EXPECT_FALSE(socket->beginReceiving(&error));
    EXPECT_EQ(error.description,
              "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly "
              "via connect or by sending data.");

    ASSERT_TRUE(socket->bindToPort(0, std::string("localhost"), &error)) << error.description;
    ASSERT_TRUE(socket->beginReceiving(&error));
    EXPECT_EQ(socket->localHostIPv4(), "127.0.0.1");
    EXPECT_EQ(socket->localHostIPv6(), "::1");

    auto four = LoopbackPeer::udp(AF_INET), six = LoopbackPeer::udp(AF_INET6);
    four.sendTo(socket->localPortIPv4(), "four");
    six.sendTo(socket->localPortIPv6(), "six");
    ASSERT_TRUE(recorder->waitFor("received", 2));
    for (const auto& datagram : recorder->reports("received")) {
        const LoopbackPeer& sender = datagram.text == "four" ? four : six;
        EXPECT_EQ(hostFromAddress(datagram.address), datagram.text == "four" ? "127.0.0.1" : "::1");
        EXPECT_EQ(sockets::portFromAddress(datagram.address), sender.port());
    }

    EXPECT_FALSE(socket->bindToPort(0, &error));
    EXPECT_EQ(error.description, "Cannot bind a socket more than once.");
    socket->close();
    const auto closed = recorder->waitFor("closed");
    ASSERT_TRUE(closed);
    EXPECT_FALSE(closed.error);
    EXPECT_TRUE(socket->bindToPort(0, &error)) << error.description;

    EXPECT_FALSE(makeSocket()->bindToPort(0, std::string("no-such-if9"), &error));
    EXPECT_EQ(error.description, "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    EXPECT_EQ(error.code, static_cast<int>(QueueUdpSocketErrorCode::badParam));
    Bytes shortAddress = pavonix::testing::loopbackAddress(AF_INET, 0);
    shortAddress.resize(8);  // an IPv4 family mark on a buffer too short to hold the address
    EXPECT_FALSE(makeSocket()->bindToAddress(shortAddress, &error));
    EXPECT_EQ(error.description, "A valid IPv4 or IPv6 address was not given");
}

TEST_F(QueueUdpSocketTest, EachDatagramGoesOrFailsAloneAndAFilteredOneCountsAsSent) {
    socket->setSendFilter([](const Bytes& data, const Bytes&, std::int64_t) { return data.front() != 'n'; },
                          dispatch::makeSerialQueue("filter"), true);
    auto peer = LoopbackPeer::udp();
    Bytes shortAddress = pavonix::testing::loopbackAddress(AF_INET, peer.port());
    shortAddress.resize(8);
    socket->sendData(bytes("short"), shortAddress, -1, 1);
    socket->sendData(bytes("lost"), "unresolvable host", peer.port(), -1, 2);
    socket->sendData(bytes("no"), pavonix::testing::loopbackAddress(AF_INET, peer.port()), -1, 3);
    socket->sendData(bytes("kept"), "127.0.0.1", peer.port(), -1, 4);
    EXPECT_EQ(peer.receive(), "kept");  // the first to arrive: the filtered one never left
    ASSERT_TRUE(recorder->waitFor("sent", 2));
    EXPECT_EQ(recorder->tags("sent"), (std::vector<std::int64_t>{3, 4}));
    const auto notSent = recorder->reports("notSent");
    ASSERT_EQ(recorder->tags("notSent"), (std::vector<std::int64_t>{1, 2}));
    EXPECT_EQ(notSent[0].error->description, "A valid IPv4 or IPv6 address was not given");
    EXPECT_EQ(notSent[1].error->domain, kNetDBErrorDomain);
}

TEST_F(QueueUdpSocketTest, ReceiveFiltersPassExactlyWhatTheyAccept) {
    enum Mode { synchronous, asynchronous, oncePerCall };
    for (const Mode mode : {synchronous, asynchronous, oncePerCall}) {
        SCOPED_TRACE(mode);
        auto recorder = std::make_shared<UdpRecorder>();
        auto socket = QueueUdpSocket::make(recorder, recorder->queue);
        socket->setReceiveFilter(
            [](const Bytes& data, const Bytes&, std::any& context) {
                context = static_cast<int>(data.size());
                return data.front() == 'y';
            },
            dispatch::makeSerialQueue("filter"), mode != synchronous);
        ASSERT_TRUE(socket->bindToPort(0, std::string("127.0.0.1")));
        auto peer = LoopbackPeer::udp();
        for (const char* d : {"y1", "no", "yes3", "n"}) peer.sendTo(socket->localPort(), d);
        // Receiving once hands over one accepted datagram per call; a refused one does not count.
        if (mode == oncePerCall) {
            ASSERT_TRUE(socket->receiveOnce());
            ASSERT_TRUE(recorder->waitFor("received"));
            recorder->settle(*socket);
            EXPECT_EQ(recorder->received(), std::vector<std::string>{"y1"});
        }
        ASSERT_TRUE(mode == oncePerCall ? socket->receiveOnce() : socket->beginReceiving());
        ASSERT_TRUE(recorder->waitFor("received", 2));
        recorder->settle(*socket);
        const auto received = recorder->reports("received");
        ASSERT_EQ(recorder->received(), (std::vector<std::string>{"y1", "yes3"}));
        EXPECT_EQ(std::any_cast<int>(received[0].context), 2);
        EXPECT_EQ(std::any_cast<int>(received[1].context), 4);
    }
}

TEST_F(QueueUdpSocketTest, EmptyDatagramIsDroppedAndLongOnesAreCut) {
    socket->setMaxReceiveIPv4BufferSize(4);
    ASSERT_TRUE(socket->bindToPort(0, std::string("127.0.0.1")));
    ASSERT_TRUE(socket->beginReceiving());
    auto peer = LoopbackPeer::udp();
    peer.sendTo(socket->localPort(), "");
    peer.sendTo(socket->localPort(), "x");
    peer.sendTo(socket->localPort(), "abcdefgh");
    ASSERT_TRUE(recorder->waitFor("received", 2));
    recorder->settle(*socket);
    EXPECT_EQ(recorder->received(), (std::vector<std::string>{"x", "abcd"}));
    EXPECT_FALSE(socket->isClosed());
}

// A delegate queue that stops draining must not let received datagrams pile up in memory: reading
// pauses (the kernel's buffer then holds or drops the rest) and goes on once deliveries resume.
TEST_F(QueueUdpSocketTest, ReadingPausesWhileTheDelegateFallsFarBehind) {
    const auto release = std::make_shared<std::atomic<bool>>(false);
    recorder->queue->async([release] { waitUntil([&] { return release->load(); }, std::chrono::seconds(30)); });
    ASSERT_TRUE(socket->bindToPort(0, std::string("127.0.0.1")));
    ASSERT_TRUE(socket->beginReceiving());
    int fd = -1;
    socket->performBlock([&] { fd = socket->socketFD(); });
    auto waiting = [fd] {
        int bytes = 0;
        ::ioctl(fd, FIONREAD, &bytes);
        return bytes;
    };

    // One datagram at a time, each read before the next, until one stays in the kernel's buffer.
    auto peer = LoopbackPeer::udp();
    const std::string datagram(60000, 'd');
    int sent = 0;
    for (; sent < 400; ++sent) {
        peer.sendTo(socket->localPort(), datagram);
        if (!waitUntil([&] { return waiting() == 0; }, std::chrono::milliseconds(300))) break;
    }
    EXPECT_LT(sent, 400) << "all of 24 MB was read while the delegate held none of it";

    *release = true;
    ASSERT_TRUE(recorder->waitFor("received", static_cast<std::size_t>(sent) + 1, std::chrono::seconds(30)));
}

TEST_F(QueueUdpSocketTest, ConnectedSocketHearsOnlyItsPeerAndRefusesOtherDestinations) {
    auto peer = LoopbackPeer::udp(), stranger = LoopbackPeer::udp();
    SocketError error;
    ASSERT_TRUE(socket->connectToHost("localhost", peer.port(), &error)) << error.description;
    ASSERT_TRUE(recorder->waitFor("connect"));
    EXPECT_EQ(socket->connectedPort(), peer.port());
    EXPECT_FALSE(socket->connectToHost("localhost", peer.port(), &error));
    EXPECT_EQ(error.description, "Cannot connect a socket more than once.");

    ASSERT_TRUE(socket->beginReceiving());
    stranger.sendTo(socket->localPort(), "stranger");
    peer.sendTo(socket->localPort(), "peer");
    ASSERT_TRUE(recorder->waitFor("received"));
    recorder->settle(*socket);
    EXPECT_EQ(recorder->received(), std::vector<std::string>{"peer"});

    socket->sendData(bytes("elsewhere"), pavonix::testing::loopbackAddress(AF_INET, stranger.port()), -1, 1);
    socket->sendData(bytes("reply"), 2.0, 2);
    EXPECT_EQ(peer.receive(), "reply");
    ASSERT_TRUE(recorder->waitFor("sent"));
    const auto notSent = recorder->reports("notSent");
    ASSERT_EQ(recorder->tags("notSent"), std::vector<std::int64_t>{1});
    EXPECT_EQ(notSent[0].error->description, "Cannot specify destination of packet for connected socket");
}

TEST_F(QueueUdpSocketTest, CloseAfterSendingLetsTheQueuedDatagramsOutFirst) {
    auto peer = LoopbackPeer::udp();
    for (int i = 0; i < 5; ++i) socket->sendData(bytes("d" + std::to_string(i)), "localhost", peer.port(), 2.0, i);
    socket->closeAfterSending();
    for (int i = 0; i < 5; ++i) EXPECT_EQ(peer.receive(), "d" + std::to_string(i));
    const auto closed = recorder->waitFor("closed");
    ASSERT_TRUE(closed);
    EXPECT_EQ(recorder->tags("sent"), (std::vector<std::int64_t>{0, 1, 2, 3, 4}));
    EXPECT_FALSE(closed.error);
}

}  // namespace
}  // namespace pavonix::sockets
