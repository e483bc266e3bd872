#include "app/network/network_listen.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <functional>

#include "app/core/text.h"

namespace pavonix::network {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

std::string_view rawValue(NetworkListenMode mode) {
    switch (mode) {
        case NetworkListenMode::allInterfaces: return "allInterfaces";
        case NetworkListenMode::localhost: return "localhost";
        case NetworkListenMode::specificInterface: return "specificInterface";
    }
    return "allInterfaces";
}

std::optional<NetworkListenMode> networkListenModeFromRawValue(std::string_view raw) {
    for (auto mode : {NetworkListenMode::allInterfaces, NetworkListenMode::localhost,
                      NetworkListenMode::specificInterface}) {
        if (raw == rawValue(mode)) return mode;
    }
    return std::nullopt;
}

std::string NetworkInterfaceAddress::label() const {
    if (address == "127.0.0.1") return "Localhost - 127.0.0.1";
    if (interfaceDisplayName.empty() || interfaceDisplayName == interfaceName) return interfaceName + " - " + address;
    return interfaceDisplayName + " (" + interfaceName + ") - " + address;
}

std::string NetworkListenSelection::id() const {
    switch (kind_) {
        case Kind::allInterfaces: return "allInterfaces";
        case Kind::localhost: return "localhost";
        case Kind::interface: return "interface-" + address_;
    }
    return {};
}

std::string NetworkListenSelection::label(const std::vector<NetworkInterfaceAddress>& interfaces) const {
    switch (kind_) {
        case Kind::allInterfaces: return "All Network Interfaces";
        case Kind::localhost: return "Localhost (127.0.0.1)";
        case Kind::interface: break;
    }
    for (const auto& interface : interfaces) {
        if (interface.address == address_) return interface.label();
    }
    if (address_.empty()) return "Choose an Interface";
    return "Unavailable Interface - " + address_;
}

std::vector<NetworkListenSelection> listenSelectionOptions(const std::vector<NetworkInterfaceAddress>& interfaces) {
    std::vector<NetworkListenSelection> options{NetworkListenSelection::allInterfaces(),
                                                NetworkListenSelection::localhost()};
    for (const auto& interface : interfaces) options.push_back(NetworkListenSelection::interface(interface.address));
    return options;
}

int interfaceSortRank(const NetworkInterfaceAddress& interface) {
    const std::string type = asciiLowercased(interface.interfaceType.value_or(""));
    const std::string name = asciiLowercased(interface.interfaceName);
    const std::string search = type + " " + name + " " + asciiLowercased(interface.interfaceDisplayName);

    auto containsAny = [&](std::initializer_list<std::string_view> words) {
        return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return contains(search, w); });
    };
    for (std::string_view prefix : {"utun", "tun", "tap", "ppp"}) {
        if (name.starts_with(prefix)) return 2;
    }
    if (containsAny({"vpn", "tunnel", "wireguard", "tailscale", "zerotier", "ipsec"})) return 2;
    if (type == "ieee80211") return 1;
    if (containsAny({"wi-fi", "wifi", "wireless", "airport"})) return 1;
    if (type == "ethernet") return 0;
    if (containsAny({"ethernet", " lan"})) return 0;
    return 3;
}

int naturalCompare(std::string_view a, std::string_view b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare digit runs by value: skip leading zeros, then the longer run is larger,
            // then the first differing digit decides.
            std::size_t ai = i, bj = j;
            while (ai < a.size() && a[ai] == '0') ++ai;
            while (bj < b.size() && b[bj] == '0') ++bj;
            std::size_t ae = ai, be = bj;
            while (ae < a.size() && isDigit(a[ae])) ++ae;
            while (be < b.size() && isDigit(b[be])) ++be;
            if (ae - ai != be - bj) return (ae - ai) < (be - bj) ? -1 : 1;
            for (std::size_t k = 0; k < ae - ai; ++k) {
                if (a[ai + k] != b[bj + k]) return a[ai + k] < b[bj + k] ? -1 : 1;
            }
            i = ae;
            j = be;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

void sortInterfaces(std::vector<NetworkInterfaceAddress>& interfaces) {
    // One lexicographic chain of keys, so the comparison is a strict weak ordering: texts that the
    // natural order calls equal fall through to the next key instead of ending the comparison.
    auto less = [](const NetworkInterfaceAddress& a, const NetworkInterfaceAddress& b) {
        const int rankA = interfaceSortRank(a), rankB = interfaceSortRank(b);
        if (rankA != rankB) return rankA < rankB;
        const std::array<std::pair<const std::string*, const std::string*>, 3> keys{{
            {&a.interfaceDisplayName, &b.interfaceDisplayName},
            {&a.interfaceName, &b.interfaceName},
            {&a.address, &b.address},
        }};
        for (const auto& [x, y] : keys) {
            if (const int order = naturalCompare(*x, *y); order != 0) return order < 0;
        }
        for (const auto& [x, y] : keys) {
            if (*x != *y) return *x < *y;
        }
        return false;
    };
    std::stable_sort(interfaces.begin(), interfaces.end(), less);
}

}  // namespace pavonix::network
