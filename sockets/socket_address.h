// Socket addresses as byte buffers, shared by the TCP and UDP sockets and their users.
//
// A buffer holds a Linux sockaddr_in (16 bytes) or sockaddr_in6 (28 bytes) as the kernel lays it
// out: no length byte, the family in the first two bytes in host order (AF_INET 2, AF_INET6 10),
// the port in network order. Unix-domain addresses are sockaddr_un with the path's exact length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include "sockets/socket_error.h"

namespace pavonix::sockets {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kIPv4AddressSize = sizeof(sockaddr_in);
inline constexpr std::size_t kIPv6AddressSize = sizeof(sockaddr_in6);

// ---- Reading and writing address buffers ------------------------------------------------------

// The family of a buffer of at least 16 bytes, else AF_UNSPEC (0).
int familyFromAddress(ByteView address);
// At least 16 bytes of family AF_INET / AF_INET6; the length of an IPv6 buffer is not checked,
// so a caller that reads the whole sockaddr_in6 asks hostAndPortFromAddress.
bool isIPv4Address(ByteView address);
bool isIPv6Address(ByteView address);

struct HostAndPort {
    std::string host;  // numeric text: "192.0.2.1", "fe80::1"
    std::uint16_t port = 0;
    int family = AF_UNSPEC;
};
// IPv4 from 16 bytes or more, IPv6 from 28 bytes or more; anything else gives nothing.
std::optional<HostAndPort> hostAndPortFromAddress(ByteView address);
// Empty text and 0 when the buffer is no IPv4 or IPv6 address.
std::string hostFromAddress(ByteView address);
std::uint16_t portFromAddress(ByteView address);

// Numeric text of an address (empty when inet_ntop refuses it) and its port in host order.
std::string hostFromSockaddr4(const sockaddr_in& address);
std::string hostFromSockaddr6(const sockaddr_in6& address);
std::uint16_t portFromSockaddr4(const sockaddr_in& address);
std::uint16_t portFromSockaddr6(const sockaddr_in6& address);

// The first `length` bytes of a kernel-filled address (accept, recvfrom, getsockname).
Bytes addressFromSockaddr(const sockaddr* address, socklen_t length);
Bytes addressFromSockaddr4(const sockaddr_in& address);
Bytes addressFromSockaddr6(const sockaddr_in6& address);
// Writes the port into an IPv4 or IPv6 buffer; false (untouched) for anything else.
bool setPortOfAddress(Bytes& address, std::uint16_t port);

// ---- Interfaces ---------------------------------------------------------------------------------

// What an interface text resolves to; either family may be missing.
struct InterfaceAddresses {
    std::optional<Bytes> ipv4;
    std::optional<Bytes> ipv6;
    bool empty() const { return !ipv4 && !ipv6; }
};

// No interface (nullopt): the IPv4 and IPv6 wildcard addresses. "localhost" or "loopback":
// 127.0.0.1 and ::1. Anything else names an interface ("lo", "eth0") or is the numeric address of
// one; the first IPv4 and the first IPv6 entry of the machine's list that match by name or by
// address are taken (an IPv6 entry keeps the scope the list gives it). Every address carries the
// port.
InterfaceAddresses resolveInterface(std::optional<std::string_view> interface, std::uint16_t port);

// The interface description of listening and connecting on a stream socket: the text is cut at
// its first ':'; the part after it is a decimal port that counts only when `port` is 0 and it lies
// in 1-65535. An empty interface part (also "::1", which starts with ':') means every interface.
InterfaceAddresses resolveInterfaceDescription(std::string_view description, std::uint16_t port);

// ---- Unix-domain paths --------------------------------------------------------------------------

// sockaddr_un of a path, sized to the path and its terminating zero. Nothing for an empty path, a
// path with a zero byte, or one too long for sun_path (never truncated: that would name another
// file).
std::optional<Bytes> unixAddressFromPath(std::string_view path);
// The path inside a unix-domain address; empty for anything else.
std::string pathFromUnixAddress(ByteView address);

// ---- Name look-up -------------------------------------------------------------------------------

struct LookupResult {
    std::vector<Bytes> addresses;  // IPv4 and IPv6, in the resolver's order
    std::optional<SocketError> error;
};

// Blocking: call it off the socket queues. "localhost" and "loopback" give 127.0.0.1 and ::1
// without the resolver; any other text goes to getaddrinfo for `socketType` (SOCK_STREAM or
// SOCK_DGRAM). An IPv6 result whose port came back 0 gets the port. A resolver failure is a
// name-look-up error with its code; no result at all is the same error with EAI_FAIL.
LookupResult lookupHost(std::string_view host, std::uint16_t port, int socketType);

}  // namespace pavonix::sockets
