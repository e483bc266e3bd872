// QueueTcpSocket against plain blocking sockets over loopback, in the same run: echo throughput
// of a stream of 64 KiB writes (bytes_per_second) and accepted connections per second
// (items_per_second), and the round trip of one chunk at a time.
// The client is the same blocking loop for both servers, so the ratio shows what the socket
// queue, the sources and the delegate hops cost. Target: the echo stream at least 0.8 of
// the baseline. The TLS round trip runs beside the plain one, with a blocking OpenSSL client for
// both, so their ratio is what encryption through the socket's memory buffers costs.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "sockets/queue_tcp_socket.h"
#include "sockets/testing/tls_identity.h"

using namespace pavonix;
using namespace pavonix::sockets;

namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr int kConnectionsPerIteration = 64;

int connectTo(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const Bytes address = *resolveInterface("127.0.0.1", port).ipv4;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.data()), address.size()) != 0) std::abort();
    return fd;
}

// A reset instead of an orderly close leaves no TIME_WAIT entry behind, so the run cannot use up
// the ephemeral ports.
void closeHard(int fd) {
    const linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

bool sendAll(int fd, const std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t* data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// A writer thread streams chunks as fast as the kernel's buffers take them while the benchmark
// loop reads the echo back, so the figure is the stream's throughput rather than one round trip's
// latency.
void runEchoClient(benchmark::State& state, std::uint16_t port) {
    const int fd = connectTo(port);
    std::atomic<bool> stop{false}, writerDone{false};
    std::atomic<std::int64_t> sent{0};
    std::thread writer([&] {
        const std::vector<std::uint8_t> out(kChunk, 'e');
        while (!stop.load(std::memory_order_acquire) && sendAll(fd, out.data(), out.size()))
            sent.fetch_add(1, std::memory_order_release);
        writerDone.store(true, std::memory_order_release);
    });
    std::vector<std::uint8_t> in(kChunk);
    std::int64_t received = 0;
    for (auto _ : state) {
        if (!receiveAll(fd, in.data(), in.size())) {
            state.SkipWithError("echo failed");
            break;
        }
        ++received;
    }
    stop.store(true, std::memory_order_release);
    // Take back what is still in flight, which also lets a writer blocked in send() finish.
    while (!writerDone.load(std::memory_order_acquire) || received < sent.load(std::memory_order_acquire)) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 100) > 0 && receiveAll(fd, in.data(), in.size())) ++received;
    }
    writer.join();
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kChunk));
    ::close(fd);
}

// One 64 KiB chunk at a time, each waited for: the latency of a round trip through the server.
void runRoundTripClient(benchmark::State& state, std::uint16_t port) {
    const int fd = connectTo(port);
    std::vector<std::uint8_t> out(kChunk, 'e'), in(kChunk);
    for (auto _ : state) {
        if (!sendAll(fd, out.data(), out.size()) || !receiveAll(fd, in.data(), in.size())) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kChunk));
    ::close(fd);
}

// The same round trip over TLS; the client trusts whatever the server presents.
void runTlsRoundTripClient(benchmark::State& state, std::uint16_t port) {
    const int fd = connectTo(port);
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL* ssl = SSL_new(context);
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) != 1) {
        state.SkipWithError("handshake failed");
    } else {
        std::vector<std::uint8_t> out(kChunk, 'e'), in(kChunk);
        for (auto _ : state) {
            std::size_t done = 0, got = 0;
            bool ok = SSL_write_ex(ssl, out.data(), out.size(), &done) == 1 && done == out.size();
            for (done = 0; ok && done < in.size(); done += got)
                ok = SSL_read_ex(ssl, in.data() + done, in.size() - done, &got) == 1;
            if (!ok) {
                state.SkipWithError("echo failed");
                break;
            }
        }
        state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kChunk));
    }
    SSL_free(ssl);
    SSL_CTX_free(context);
    ::close(fd);
}

void runConnectClient(benchmark::State& state, std::uint16_t port, const std::atomic<int>& accepted) {
    int target = accepted.load();
    for (auto _ : state) {
        for (int i = 0; i < kConnectionsPerIteration; ++i) closeHard(connectTo(port));
        target += kConnectionsPerIteration;
        while (accepted.load(std::memory_order_acquire) < target) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * kConnectionsPerIteration);
}

// ---- Plain blocking sockets -----------------------------------------------------------------------

class BlockingServer {
public:
    explicit BlockingServer(bool echo) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const Bytes address = *resolveInterface("127.0.0.1", 0).ipv4;
        ::bind(fd_, reinterpret_cast<const sockaddr*>(address.data()), address.size());
        ::listen(fd_, 1024);
        sockaddr_in bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
        port = ntohs(bound.sin_port);
        thread_ = std::thread([this, echo] {
            for (;;) {
                const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client == -1) return;
                accepted.fetch_add(1, std::memory_order_release);
                if (echo) {
                    std::vector<std::uint8_t> buffer(kChunk);
                    for (ssize_t n; (n = ::recv(client, buffer.data(), buffer.size(), 0)) > 0;)
                        if (!sendAll(client, buffer.data(), static_cast<std::size_t>(n))) break;
                }
                ::close(client);
            }
        });
    }
    ~BlockingServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }

    std::uint16_t port = 0;
    std::atomic<int> accepted{0};

private:
    int fd_;
    std::thread thread_;
};

void BM_EchoBlockingBaseline(benchmark::State& state) {
    BlockingServer server(true);
    runEchoClient(state, server.port);
}
BENCHMARK(BM_EchoBlockingBaseline)->UseRealTime();

void BM_EchoRoundTripBlockingBaseline(benchmark::State& state) {
    BlockingServer server(true);
    runRoundTripClient(state, server.port);
}
BENCHMARK(BM_EchoRoundTripBlockingBaseline)->UseRealTime();

void BM_AcceptBlockingBaseline(benchmark::State& state) {
    BlockingServer server(false);
    runConnectClient(state, server.port, server.accepted);
}
BENCHMARK(BM_AcceptBlockingBaseline)->UseRealTime();

// ---- QueueTcpSocket -------------------------------------------------------------------------------

class EchoDelegate : public QueueTcpSocketDelegate {
public:
    explicit EchoDelegate(bool echo, std::optional<TlsSettings> tls = std::nullopt)
        : echo_(echo), tls_(std::move(tls)) {}

    void socketDidAcceptNewSocket(const QueueTcpSocketPtr&, const QueueTcpSocketPtr& socket) override {
        accepted.fetch_add(1, std::memory_order_release);
        if (!echo_) return;  // dropping it closes the connection
        std::lock_guard lock(mutex_);
        sockets_.push_back(socket);
        if (tls_) socket->startTLS(*tls_);
        socket->readData(-1, 0);
    }
    void socketDidReadData(const QueueTcpSocketPtr& socket, const ReadData& data, std::int64_t) override {
        // The read's own buffer goes straight back out: no copy on either side.
        if (data.size() == data.buffer()->size()) {
            socket->writeData(data.buffer(), -1, 0);
        } else {
            socket->writeData(data.bytes(), -1, 0);
        }
        socket->readData(-1, 0);
    }

    std::atomic<int> accepted{0};

private:
    const bool echo_;
    const std::optional<TlsSettings> tls_;
    std::mutex mutex_;
    std::vector<QueueTcpSocketPtr> sockets_;
};

struct QueueServer {
    explicit QueueServer(bool echo, std::optional<TlsSettings> tls = std::nullopt)
        : delegate(std::make_shared<EchoDelegate>(echo, std::move(tls))),
          listener(QueueTcpSocket::create(delegate, dispatch::makeSerialQueue("bench.delegate"))) {
        if (!listener->acceptOnInterface("127.0.0.1", 0)) std::abort();
        port = listener->localPort();
    }
    std::shared_ptr<EchoDelegate> delegate;
    QueueTcpSocketPtr listener;
    std::uint16_t port = 0;
};

void BM_EchoQueueTcpSocket(benchmark::State& state) {
    QueueServer server(true);
    runEchoClient(state, server.port);
}
BENCHMARK(BM_EchoQueueTcpSocket)->UseRealTime();

void BM_EchoRoundTripQueueTcpSocket(benchmark::State& state) {
    QueueServer server(true);
    runRoundTripClient(state, server.port);
}
BENCHMARK(BM_EchoRoundTripQueueTcpSocket)->UseRealTime();

void BM_EchoRoundTripQueueTcpSocketTls(benchmark::State& state) {
    TlsSettings tls;
    tls.emplace(std::string(kTlsIsServer), true);
    tls.emplace(std::string(kTlsCertificates), TlsArray{testing::makeTlsIdentity().identity()});
    QueueServer server(true, std::move(tls));
    runTlsRoundTripClient(state, server.port);
}
BENCHMARK(BM_EchoRoundTripQueueTcpSocketTls)->UseRealTime();

void BM_AcceptQueueTcpSocket(benchmark::State& state) {
    QueueServer server(false);
    runConnectClient(state, server.port, server.delegate->accepted);
}
BENCHMARK(BM_AcceptQueueTcpSocket)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
