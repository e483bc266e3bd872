// Test support: plain blocking sockets on loopback for the other end of a test, and loopback
// addresses and ports. Header-only; nothing here is linked into the program.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace pavonix::testing {

// The loopback socket address of `family` (127.0.0.1 for AF_INET, ::1 for AF_INET6) with `port`.
inline std::vector<std::uint8_t> loopbackAddress(int family, std::uint16_t port) {
    const auto bytes = [](const auto& address) {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(&address);
        return std::vector<std::uint8_t>(begin, begin + sizeof address);
    };
    if (family == AF_INET6) return bytes(sockaddr_in6{AF_INET6, htons(port), 0, in6addr_loopback, 0});
    return bytes(sockaddr_in{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}});
}

// The local port of a socket; 0 when it has none.
inline std::uint16_t boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(storage).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(storage).sin_port);
}

// A socket of `type` bound to loopback at `port` (0: a port the system picks), or -1 when that
// port is taken. An IPv6 socket takes IPv6 only, so both families can hold one port apart.
inline int bindLoopback(int family, int type, std::uint16_t port = 0) {
    const int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    const auto address = loopbackAddress(family, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == 0)
        return fd;
    ::close(fd);
    return -1;
}

// A 127.0.0.1 TCP port that nobody held when asked.
inline std::uint16_t freeLoopbackPort() {
    const int fd = bindLoopback(AF_INET, SOCK_STREAM);
    const std::uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

// A blocking socket on loopback for the other end of a test: a TCP client of a port, or a datagram
// socket on a port of its own. A read that gets nothing for 5 s gives up, so a missing reply or
// close fails the test instead of hanging it.
class LoopbackPeer {
public:
    explicit LoopbackPeer(std::uint16_t port, int family = AF_INET, int receiveBuffer = 0)
        : LoopbackPeer(family, SOCK_STREAM) {
        if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const auto address = loopbackAddress(family, port);
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(address.data()),
                               static_cast<socklen_t>(address.size())) == 0;
    }
    // A TCP client of `port` from `source`, another address of 127.0.0.0/8: one more host of the
    // loopback group.
    LoopbackPeer(std::uint16_t port, const char* source) : LoopbackPeer(AF_INET, SOCK_STREAM) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        const auto address = loopbackAddress(AF_INET, port);
        connected_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&from), sizeof from) == 0 &&
                     ::connect(fd_, reinterpret_cast<const sockaddr*>(address.data()),
                               static_cast<socklen_t>(address.size())) == 0;
    }
    static LoopbackPeer udp(int family = AF_INET) { return LoopbackPeer(family, SOCK_DGRAM); }
    ~LoopbackPeer() { close(); }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool connected() const { return connected_; }
    std::uint16_t port() const { return boundPort(fd_); }

    void send(std::string_view data) const {
        EXPECT_EQ(::send(fd_, data.data(), data.size(), MSG_NOSIGNAL), static_cast<ssize_t>(data.size()));
    }
    void send(const std::vector<std::uint8_t>& data) const {
        send(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    }
    void sendTo(std::uint16_t port, std::string_view data) const {
        const auto to = loopbackAddress(family_, port);
        ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(to.data()),
                 static_cast<socklen_t>(to.size()));
    }
    // A datagram socket: the next datagram. TCP: up to `length` bytes, fewer when the peer ends
    // the stream, fails it (see `error`) or goes quiet.
    std::string receive(std::size_t length = std::string::npos) {
        std::string got;
        char chunk[65536];
        while (got.size() < length) {
            const ssize_t n = ::recv(fd_, chunk, std::min(sizeof chunk, length - got.size()), 0);
            if (n < 0) error = errno;
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
            if (type_ == SOCK_DGRAM) break;
        }
        return got;
    }
    // Whether the peer ends the stream next, rather than sending or going quiet.
    bool endsStream() const {
        char byte;
        return ::recv(fd_, &byte, 1, 0) == 0;
    }
    void shutdownWrite() const { ::shutdown(fd_, SHUT_WR); }
    // Closing with a zero linger sends a reset instead of an orderly end.
    void reset() {
        const linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    void close() {
        if (fd_ != -1) ::close(std::exchange(fd_, -1));
    }

    int error = 0;  // errno of the last failed receive

private:
    LoopbackPeer(int family, int type)
        : family_(family), type_(type),
          fd_(type == SOCK_DGRAM ? bindLoopback(family, type) : ::socket(family, type | SOCK_CLOEXEC, 0)) {
        const timeval timeout{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }

    int family_;
    int type_;
    int fd_;
    bool connected_ = false;
};

}  // namespace pavonix::testing
