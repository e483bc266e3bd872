#include "sockets/socket_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <sys/un.h>

#include <charconv>
#include <cstring>
#include <memory>

namespace pavonix::sockets {

namespace {

template <typename T>
T load(ByteView address) {
    T value;
    std::memcpy(&value, address.data(), sizeof value);
    return value;
}

Bytes bytesOf(const void* data, std::size_t length) {
    const auto* begin = static_cast<const std::uint8_t*>(data);
    return Bytes(begin, begin + length);
}

Bytes ipv4Address(in_addr_t hostOrderAddress, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(hostOrderAddress);
    return addressFromSockaddr4(address);
}

Bytes ipv6Address(const in6_addr& host, std::uint16_t port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = host;
    return addressFromSockaddr6(address);
}

InterfaceAddresses loopbackAddresses(std::uint16_t port) {
    return {ipv4Address(INADDR_LOOPBACK, port), ipv6Address(in6addr_loopback, port)};
}

InterfaceAddresses scanInterfaces(std::string_view text, std::uint16_t port) {
    InterfaceAddresses found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        const bool byName = entry->ifa_name != nullptr && text == entry->ifa_name;
        if (entry->ifa_addr->sa_family == AF_INET && !found.ipv4) {
            sockaddr_in address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            if (byName || text == hostFromSockaddr4(address)) {
                address.sin_port = htons(port);
                found.ipv4 = addressFromSockaddr4(address);
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6 && !found.ipv6) {
            sockaddr_in6 address;
            std::memcpy(&address, entry->ifa_addr, sizeof address);
            if (byName || text == hostFromSockaddr6(address)) {
                address.sin6_port = htons(port);
                found.ipv6 = addressFromSockaddr6(address);
            }
        }
    }
    return found;
}

}  // namespace

int familyFromAddress(ByteView address) {
    if (address.size() < kIPv4AddressSize) return AF_UNSPEC;
    const auto family = load<sa_family_t>(address);
    return family == AF_INET || family == AF_INET6 ? family : AF_UNSPEC;
}

bool isIPv4Address(ByteView address) { return familyFromAddress(address) == AF_INET; }
bool isIPv6Address(ByteView address) { return familyFromAddress(address) == AF_INET6; }

std::optional<HostAndPort> hostAndPortFromAddress(ByteView address) {
    switch (familyFromAddress(address)) {
        case AF_INET: {
            const auto in = load<sockaddr_in>(address);
            return HostAndPort{hostFromSockaddr4(in), portFromSockaddr4(in), AF_INET};
        }
        case AF_INET6: {
            if (address.size() < kIPv6AddressSize) return std::nullopt;
            const auto in6 = load<sockaddr_in6>(address);
            return HostAndPort{hostFromSockaddr6(in6), portFromSockaddr6(in6), AF_INET6};
        }
        default:
            return std::nullopt;
    }
}

std::string hostFromAddress(ByteView address) {
    auto parts = hostAndPortFromAddress(address);
    return parts ? std::move(parts->host) : std::string();
}

std::uint16_t portFromAddress(ByteView address) {
    const auto parts = hostAndPortFromAddress(address);
    return parts ? parts->port : 0;
}

std::string hostFromSockaddr4(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN];
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr) return {};
    return text;
}

std::string hostFromSockaddr6(const sockaddr_in6& address) {
    char text[INET6_ADDRSTRLEN];
    if (::inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof text) == nullptr) return {};
    return text;
}

std::uint16_t portFromSockaddr4(const sockaddr_in& address) { return ntohs(address.sin_port); }
std::uint16_t portFromSockaddr6(const sockaddr_in6& address) { return ntohs(address.sin6_port); }

Bytes addressFromSockaddr(const sockaddr* address, socklen_t length) {
    return bytesOf(address, length);
}
Bytes addressFromSockaddr4(const sockaddr_in& address) { return bytesOf(&address, sizeof address); }
Bytes addressFromSockaddr6(const sockaddr_in6& address) { return bytesOf(&address, sizeof address); }

bool setPortOfAddress(Bytes& address, std::uint16_t port) {
    const int family = familyFromAddress(address);
    if (family == AF_INET6 && address.size() < kIPv6AddressSize) return false;
    if (family != AF_INET && family != AF_INET6) return false;
    // sin_port and sin6_port share their offset.
    static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port));
    const std::uint16_t network = htons(port);
    std::memcpy(address.data() + offsetof(sockaddr_in, sin_port), &network, sizeof network);
    return true;
}

InterfaceAddresses resolveInterface(std::optional<std::string_view> interface, std::uint16_t port) {
    if (!interface) return {ipv4Address(INADDR_ANY, port), ipv6Address(in6addr_any, port)};
    if (*interface == "localhost" || *interface == "loopback") return loopbackAddresses(port);
    return scanInterfaces(*interface, port);
}

InterfaceAddresses resolveInterfaceDescription(std::string_view description, std::uint16_t port) {
    std::string_view name = description;
    if (const auto colon = description.find(':'); colon != std::string_view::npos) {
        name = description.substr(0, colon);
        const std::string_view portText = description.substr(colon + 1);
        unsigned long parsed = 0;
        const auto [end, status] =
            std::from_chars(portText.data(), portText.data() + portText.size(), parsed);
        const bool whole = status == std::errc() && end == portText.data() + portText.size();
        if (port == 0 && whole && parsed >= 1 && parsed <= 65535)
            port = static_cast<std::uint16_t>(parsed);
    }
    if (name.empty()) return resolveInterface(std::nullopt, port);
    return resolveInterface(name, port);
}

std::optional<Bytes> unixAddressFromPath(std::string_view path) {
    sockaddr_un address{};
    if (path.empty() || path.size() >= sizeof address.sun_path ||
        path.find('\0') != std::string_view::npos)
        return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return bytesOf(&address, offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

std::string pathFromUnixAddress(ByteView address) {
    constexpr std::size_t pathOffset = offsetof(sockaddr_un, sun_path);
    if (address.size() <= pathOffset || load<sa_family_t>(address) != AF_UNIX) return {};
    const auto* begin = reinterpret_cast<const char*>(address.data() + pathOffset);
    const std::size_t room = address.size() - pathOffset;
    return std::string(begin, ::strnlen(begin, room));
}

LookupResult lookupHost(std::string_view host, std::uint16_t port, int socketType) {
    LookupResult result;
    if (host == "localhost" || host == "loopback") {
        const auto loopback = loopbackAddresses(port);
        result.addresses = {*loopback.ipv4, *loopback.ipv6};
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = socketType;
    hints.ai_protocol = socketType == SOCK_DGRAM ? IPPROTO_UDP : IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string hostText(host);
    const std::string portText = std::to_string(port);
    if (const int status = ::getaddrinfo(hostText.c_str(), portText.c_str(), &hints, &list);
        status != 0) {
        result.error = SocketError::netDB(status);
        return result;
    }
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(list, &::freeaddrinfo);
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= kIPv4AddressSize) {
            result.addresses.push_back(addressFromSockaddr(entry->ai_addr, kIPv4AddressSize));
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= kIPv6AddressSize) {
            Bytes address = addressFromSockaddr(entry->ai_addr, kIPv6AddressSize);
            if (portFromAddress(address) == 0) setPortOfAddress(address, port);
            result.addresses.push_back(std::move(address));
        }
    }
    if (result.addresses.empty()) result.error = SocketError::netDB(EAI_FAIL);
    return result;
}

}  // namespace pavonix::sockets
