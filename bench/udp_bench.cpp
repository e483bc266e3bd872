// Datagrams per second that a QueueUdpSocket receives and delivers to its delegate, beside a plain
// blocking recvfrom loop on a thread of its own, over loopback. Target: the socket reaches at
// least 0.7 of the plain loop (the "ratio" counter).
//
// Each iteration sends one batch to each receiver in turn, so that load from elsewhere on the
// machine falls on both alike. The sender keeps at most kWindow datagrams in flight, well under
// what the receive buffer holds, so neither receiver loses any and both are measured at the pace
// they actually sustain.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "sockets/queue_udp_socket.h"

using pavonix::sockets::QueueUdpSocket;

namespace {

constexpr std::uint64_t kBatch = 5000;  // datagrams per receiver and iteration
constexpr std::uint64_t kWindow = 64;
constexpr std::size_t kDatagramSize = 48;  // about an OSC message with one argument
constexpr int kBufferSize = 65535;         // the socket's own SO_RCVBUF, used for both receivers

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Sends one batch to `port`, never more than kWindow ahead of `received`, waits for the last one
// and answers how long that took.
double sendBatch(int fd, std::uint16_t port, std::uint64_t& sent, const std::atomic<std::uint64_t>& received) {
    const sockaddr_in to = loopback(port);
    const char payload[kDatagramSize] = "/show/next";
    const std::uint64_t target = sent + kBatch;
    const auto start = Clock::now();
    while (sent < target) {
        if (sent - received.load(std::memory_order_acquire) >= kWindow) {
            std::this_thread::yield();
            continue;
        }
        if (::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0) ++sent;
    }
    while (received.load(std::memory_order_acquire) < target) std::this_thread::yield();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class PlainReceiver {
public:
    PlainReceiver() {
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kBufferSize, sizeof kBufferSize);
        sockaddr_in bound = loopback(0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&bound), sizeof bound);
        socklen_t length = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
        port = ntohs(bound.sin_port);
        reader_ = std::thread([this] {
            static char buffer[65535];
            while (!stop_.load(std::memory_order_relaxed)) {
                sockaddr_storage from;
                socklen_t fromLength = sizeof from;
                if (::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength) > 0)
                    received.fetch_add(1, std::memory_order_release);
            }
        });
    }
    ~PlainReceiver() {
        stop_ = true;
        ::shutdown(fd_, SHUT_RDWR);  // wakes the blocked recvfrom
        reader_.join();
        ::close(fd_);
    }

    std::atomic<std::uint64_t> received{0};
    std::uint16_t port = 0;

private:
    int fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

class CountingDelegate : public pavonix::sockets::QueueUdpSocketDelegate {
public:
    void udpSocketDidReceive(QueueUdpSocket&, const Bytes& data, const Bytes&, const std::any&) override {
        benchmark::DoNotOptimize(data.data());
        received.fetch_add(1, std::memory_order_release);
    }
    std::atomic<std::uint64_t> received{0};
};

void BM_UdpReceiveSideBySide(benchmark::State& state) {
    PlainReceiver plain;
    auto delegate = std::make_shared<CountingDelegate>();
    auto socket = QueueUdpSocket::make(delegate, pavonix::dispatch::makeSerialQueue("com.vrel.Lanternpost.osc"));
    if (!socket->bindToPort(0, std::string("127.0.0.1")) || !socket->beginReceiving()) {
        state.SkipWithError("bind or receive failed");
        return;
    }
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint64_t sentPlain = 0, sentSocket = 0;
    double plainSeconds = 0, socketSeconds = 0;
    for (auto _ : state) {
        plainSeconds += sendBatch(sender, plain.port, sentPlain, plain.received);
        socketSeconds += sendBatch(sender, socket->localPort(), sentSocket, delegate->received);
    }
    ::close(sender);
    socket->close();
    const double plainRate = static_cast<double>(sentPlain) / plainSeconds;
    const double socketRate = static_cast<double>(sentSocket) / socketSeconds;
    state.counters["plain_recvfrom_per_s"] = plainRate;
    state.counters["queue_udp_socket_per_s"] = socketRate;
    state.counters["ratio"] = socketRate / plainRate;
}
BENCHMARK(BM_UdpReceiveSideBySide)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
