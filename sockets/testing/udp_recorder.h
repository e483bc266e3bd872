// Test support: a QueueUdpSocket delegate that records every call, and waits that drain the
// socket's and the delegate's queues so that "nothing more arrived" can be checked without
// sleeping.
#pragma once

#include <mutex>
#include <string>
#include <vector>

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

}  // namespace pavonix::testing
