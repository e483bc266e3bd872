// Test support: a QueueUdpSocket delegate that records every call, plain loopback peers, and waits
// that drain the socket's and the delegate's queues so that "nothing more arrived" can be checked
// without sleeping.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/net/testing/loopback.h"
#include "platform/testing/wait_until.h"
#include "sockets/queue_udp_socket.h"

namespace pavonix::testing {

using sockets::QueueUdpSocket;
using sockets::SocketError;
using Bytes = QueueUdpSocket::Bytes;

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline std::string text(const Bytes& data) { return std::string(data.begin(), data.end()); }

class UdpRecorder : public sockets::QueueUdpSocketDelegate {
public:
    struct Datagram {
        std::string data;
        Bytes address;
        std::any context;
    };

    const dispatch::QueuePtr queue = dispatch::makeSerialQueue("udp-recorder");

    void udpSocketDidConnect(QueueUdpSocket&, const Bytes& address) override { add(connected, address); }
    void udpSocketDidSend(QueueUdpSocket&, std::int64_t tag) override { add(sent, tag); }
    void udpSocketDidNotSend(QueueUdpSocket&, std::int64_t tag, const SocketError& error) override {
        add(notSent, std::make_pair(tag, error));
    }
    void udpSocketDidReceive(QueueUdpSocket&, const Bytes& data, const Bytes& address, const std::any& context) override {
        add(received, Datagram{text(data), address, context});
    }
    void udpSocketDidClose(QueueUdpSocket&, const std::optional<SocketError>& error) override { add(closed, error); }

    // A copy of one of the lists above, taken under the lock.
    template <typename T>
    std::vector<T> get(const std::vector<T>& list) {
        std::lock_guard lock(mutex_);
        return list;
    }
    template <typename T>
    bool waitFor(const std::vector<T>& list, std::size_t count) {
        return waitUntil([&] {
            std::lock_guard lock(mutex_);
            return list.size() >= count;
        });
    }
    // Every step the socket has queued so far, and every delegate call those steps posted, has run.
    void settle(QueueUdpSocket& socket) {
        socket.performBlock([] {});
        queue->sync([] {});
    }
    std::vector<std::string> receivedTexts() {
        std::vector<std::string> texts;
        for (const auto& d : get(received)) texts.push_back(d.data);
        return texts;
    }

    std::vector<Bytes> connected;
    std::vector<std::int64_t> sent;
    std::vector<std::pair<std::int64_t, SocketError>> notSent;
    std::vector<Datagram> received;
    std::vector<std::optional<SocketError>> closed;

private:
    template <typename T, typename V>
    void add(std::vector<T>& list, V value) {
        std::lock_guard lock(mutex_);
        list.push_back(std::move(value));
    }
    std::mutex mutex_;
};

// A plain blocking datagram socket on a loopback address, for the other end of a test.
class PlainUdpPeer {
public:
    explicit PlainUdpPeer(int family = AF_INET) : family_(family), fd_(bindLoopback(family, SOCK_DGRAM)) {
        const timeval timeout{5, 0};  // a missing datagram fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~PlainUdpPeer() { ::close(fd_); }
    PlainUdpPeer(const PlainUdpPeer&) = delete;
    PlainUdpPeer& operator=(const PlainUdpPeer&) = delete;

    // The loopback socket address of this family with `port`.
    Bytes loopback(std::uint16_t port) const { return loopbackAddress(family_, port); }
    std::uint16_t port() const { return boundPort(fd_); }

    void sendTo(std::uint16_t port, const std::string& data) const {
        const Bytes to = loopback(port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                 static_cast<socklen_t>(to.size()));
    }
    // The next datagram, or "(nothing)" after the receive time-out.
    std::string receive() const {
        char buffer[2048];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? "(nothing)" : std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int family_;
    int fd_;
};

}  // namespace pavonix::testing
