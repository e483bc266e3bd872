// The scan behind activeIPv4Interfaces(): the kernel's address list (getifaddrs) joined with a
// display name and kind per interface read from sysfs. Both sources can be replaced in tests.
#pragma once

#include "app/network/network_listen.h"

#include <sys/socket.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace pavonix::network {

inline constexpr const char* kSysfsNetRoot = "/sys/class/net";

struct NetworkInterfaceMetadata {
    std::string displayName;
    std::optional<std::string> type;

    bool operator==(const NetworkInterfaceMetadata&) const = default;
};

// One entry of the kernel's interface-address list, copied out of getifaddrs.
struct RawInterfaceAddress {
    std::string name;
    unsigned int flags = 0;                  // IFF_UP, IFF_LOOPBACK, ...
    std::optional<sockaddr_storage> address;  // absent when the entry has none
};

// Gives the address list, or nothing when the system cannot list it.
using InterfaceAddressLister = std::function<std::optional<std::vector<RawInterfaceAddress>>()>;

std::optional<std::vector<RawInterfaceAddress>> systemInterfaceAddresses();

struct InterfaceScanSources {
    InterfaceAddressLister addresses = systemInterfaceAddresses;
    std::filesystem::path sysfsRoot = kSysfsNetRoot;
};

// Display name and type per interface found under the sysfs root: "Wi-Fi"/"IEEE80211" for wireless
// devices, "VPN"/"VPN" for tun/tap and WireGuard devices, "Tunnel"/"Tunnel" for IP tunnels,
// "Ethernet"/"Ethernet" for wired hardware, "Bridge"/"Bridge", "PPP"/"PPP". Other interfaces
// (veth pairs, dummies, container bridges without hardware) get their kernel name and no type.
// A missing or unreadable root gives an empty map.
std::map<std::string, NetworkInterfaceMetadata> interfaceMetadataByName(const std::filesystem::path& sysfsRoot);

// The numeric host text of an IPv4 or IPv6 socket address; nothing when it cannot be rendered.
std::optional<std::string> numericHostAddress(const sockaddr* address, socklen_t length);

// The interfaces that are up, not loopback and have an IPv4 address, one entry per distinct
// name-address pair, ranked (wired, Wi-Fi, tunnels, others). Empty when nothing can be listed.
std::vector<NetworkInterfaceAddress> activeIPv4Interfaces(const InterfaceScanSources& sources = {});

}  // namespace pavonix::network
