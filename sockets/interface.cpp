#include "sockets/interface.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <array>
#include <cstdio>
#include <random>

namespace pavonix::sockets {
namespace {

// The identifier only tells objects apart; it guards nothing, so a seeded generator will do.
std::string randomUUID() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::array<std::uint8_t, 16> bytes{};
    for (std::size_t i = 0; i < bytes.size(); i += 8) {
        const std::uint64_t word = generator();
        for (std::size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<std::uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// Numeric text of an IPv4 or IPv6 socket address; nothing for other families or on failure.
std::optional<std::string> numericText(const sockaddr* address) {
    if (address == nullptr) return std::nullopt;
    if (address->sa_family == AF_INET) {
        char host[NI_MAXHOST + 1];
        if (::getnameinfo(address, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            return std::nullopt;
        return std::string(host);
    }
    if (address->sa_family == AF_INET6) {
        char host[INET6_ADDRSTRLEN];
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host) == nullptr) return std::nullopt;
        return std::string(host);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Interface::Family> Interface::familyFromRawValue(int rawValue) {
    if (rawValue < 0 || rawValue > 2) return std::nullopt;
    return static_cast<Family>(rawValue);
}

std::string Interface::toString(Family family) {
    switch (family) {
        case Family::ipv4: return "IPv4";
        case Family::ipv6: return "IPv6";
        case Family::other: break;
    }
    return "other";
}

Interface::Interface(std::string name, Family family, std::optional<std::string> address,
                     std::optional<std::string> netmask, bool running, bool up, bool loopback,
                     bool multicastSupported, std::optional<std::string> broadcastAddress)
    : id_(randomUUID()), name_(std::move(name)), family_(family), address_(std::move(address)),
      netmask_(std::move(netmask)), broadcastAddress_(std::move(broadcastAddress)), running_(running),
      up_(up), loopback_(loopback), multicastSupported_(multicastSupported) {}

Interface Interface::createTestDummy(std::string name, Family family, std::optional<std::string> address,
                                     bool multicastSupported, std::optional<std::string> broadcastAddress) {
    return Interface(std::move(name), family, std::move(address), std::nullopt, true, true, false,
                     multicastSupported, std::move(broadcastAddress));
}

std::vector<Interface> Interface::allInterfaces() {
    std::vector<Interface> list;
    ifaddrs* table = nullptr;
    if (::getifaddrs(&table) != 0) return list;
    for (const ifaddrs* entry = table; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) continue;
        const int addressFamily = entry->ifa_addr->sa_family;
        if (addressFamily != AF_INET && addressFamily != AF_INET6) continue;
        const unsigned flags = entry->ifa_flags;
        std::optional<std::string> address = numericText(entry->ifa_addr);
        std::optional<std::string> broadcast;
        if ((flags & IFF_BROADCAST) != 0) broadcast = numericText(entry->ifa_broadaddr);
        // With no broadcast address configured, glibc fills the field with the entry's own address;
        // taken at its word, a plain send to this machine would count as a broadcast.
        if (broadcast && broadcast == address) broadcast.reset();
        list.emplace_back(entry->ifa_name, addressFamily == AF_INET ? Family::ipv4 : Family::ipv6,
                          std::move(address), numericText(entry->ifa_netmask),
                          (flags & IFF_RUNNING) != 0, (flags & IFF_UP) != 0, (flags & IFF_LOOPBACK) != 0,
                          (flags & IFF_MULTICAST) != 0, std::move(broadcast));
    }
    ::freeifaddrs(table);
    return list;
}

std::optional<std::vector<std::uint8_t>> Interface::addressBytes() const {
    if (!address_ || family_ == Family::other) return std::nullopt;
    std::vector<std::uint8_t> bytes(family_ == Family::ipv4 ? 4 : 16);
    if (::inet_pton(family_ == Family::ipv4 ? AF_INET : AF_INET6, address_->c_str(), bytes.data()) != 1)
        return std::nullopt;
    return bytes;
}

std::string Interface::debugDescription() const {
    static constexpr const char* kCaseNames[] = {"ipv4", "ipv6", "other"};
    std::string text = "Interface name:" + name_ + " family:" + kCaseNames[static_cast<int>(family_)];
    if (address_) text += " ip:" + *address_;
    text += up_ ? " (up)" : " (down)";
    // No blank before "(not running)": the text has always read that way and callers match on it.
    text += running_ ? " (running)" : "(not running)";
    return text;
}

}  // namespace pavonix::sockets
