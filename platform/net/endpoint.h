// A numeric TCP endpoint: an IPv4 or IPv6 address and a port.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <sys/socket.h>

namespace pavonix::net {

struct Endpoint {
    enum class Family { ipv4, ipv6 };

    Family family = Family::ipv4;
    // Network byte order; an IPv4 address uses the first four bytes.
    std::array<std::uint8_t, 16> address{};
    std::uint16_t port = 0;

    // Peers that arrive as IPv4-mapped IPv6 addresses (::ffff:a.b.c.d, from a dual-stack listener)
    // come back as IPv4, so that 127.0.0.1 reads the same whichever socket accepted it.
    static std::optional<Endpoint> fromSockaddr(const sockaddr* address, socklen_t length);
    static std::optional<Endpoint> fromNumericHost(const std::string& host, std::uint16_t port);

    // Numeric host text: "192.0.2.1" or "::1".
    std::string host() const;
    // 127.0.0.0/8 or ::1.
    bool isLoopback() const;

    bool operator==(const Endpoint&) const = default;
};

// The group a peer's places are counted in, so that one party cannot win a fair share by holding
// many addresses: an IPv4 address stands alone, an IPv6 address counts with its /64 (one machine
// is commonly given a whole /64), and every loopback address (127.0.0.0/8, ::1) is one group.
// IPv4-mapped IPv6 text counts as its IPv4 address; text that is no numeric address is its own
// group.
std::string addressGroup(const std::string& host);

}  // namespace pavonix::net
