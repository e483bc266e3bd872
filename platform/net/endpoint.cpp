#include "platform/net/endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace pavonix::net {

namespace {
// ::ffff:a.b.c.d, an IPv4 peer as a dual-stack socket reports it.
constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
}  // namespace

std::optional<Endpoint> Endpoint::fromSockaddr(const sockaddr* address, socklen_t length) {
    if (address == nullptr) return std::nullopt;
    Endpoint endpoint;
    if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        endpoint.family = Family::ipv4;
        std::memcpy(endpoint.address.data(), &in.sin_addr, 4);
        endpoint.port = ntohs(in.sin_port);
        return endpoint;
    }
    if (address->sa_family == AF_INET6 && length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        endpoint.port = ntohs(in6.sin6_port);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in6.sin6_addr);
        if (std::memcmp(bytes, kMappedPrefix, sizeof kMappedPrefix) == 0) {
            endpoint.family = Family::ipv4;
            std::memcpy(endpoint.address.data(), bytes + 12, 4);
        } else {
            endpoint.family = Family::ipv6;
            std::memcpy(endpoint.address.data(), bytes, 16);
        }
        return endpoint;
    }
    return std::nullopt;
}

std::optional<Endpoint> Endpoint::fromNumericHost(const std::string& host, std::uint16_t port) {
    Endpoint endpoint;
    endpoint.port = port;
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        endpoint.family = Family::ipv4;
        std::memcpy(endpoint.address.data(), &v4, 4);
        return endpoint;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        endpoint.family = Family::ipv6;
        std::memcpy(endpoint.address.data(), &v6, 16);
        return endpoint;
    }
    return std::nullopt;
}

std::string Endpoint::host() const {
    char text[INET6_ADDRSTRLEN] = {};
    const int af = family == Family::ipv4 ? AF_INET : AF_INET6;
    if (inet_ntop(af, address.data(), text, sizeof text) == nullptr) return {};
    return text;
}

bool Endpoint::isLoopback() const {
    if (family == Family::ipv4) return address[0] == 127;
    for (std::size_t i = 0; i < 15; ++i) {
        if (address[i] != 0) return false;
    }
    return address[15] == 1;
}

std::string addressGroup(const std::string& host) {
    auto endpoint = Endpoint::fromNumericHost(host, 0);
    if (!endpoint) return host;
    if (endpoint->isLoopback()) return "loopback";
    if (endpoint->family == Endpoint::Family::ipv6 &&
        std::memcmp(endpoint->address.data(), kMappedPrefix, sizeof kMappedPrefix) == 0) {
        Endpoint v4;
        std::memcpy(v4.address.data(), endpoint->address.data() + 12, 4);
        return v4.isLoopback() ? "loopback" : v4.host();
    }
    if (endpoint->family == Endpoint::Family::ipv4) return endpoint->host();
    std::fill(endpoint->address.begin() + 8, endpoint->address.end(), std::uint8_t{0});
    return endpoint->host() + "/64";
}

}  // namespace pavonix::net
