// Test support: raw HTTP exchanges with a server on 127.0.0.1. Not linked into the program.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace pavonix::testing {

// A connection to 127.0.0.1:port whose reads give up after 5 s of silence (-1 when refused).
inline int loopbackConnect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

// Reads until the server closes (or falls silent), then closes the connection.
inline std::string readToEndAndClose(int fd) {
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return reply;
}

// Sends raw bytes to 127.0.0.1:port and reads the whole reply.
inline std::string loopbackExchange(std::uint16_t port, const std::string& bytes) {
    const int fd = loopbackConnect(port);
    if (fd < 0) return {};
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    return readToEndAndClose(fd);
}

}  // namespace pavonix::testing
