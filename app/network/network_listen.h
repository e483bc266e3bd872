// Where the network servers listen: the listen mode, the machine's active IPv4 addresses with a
// display name and kind each, the order they are offered in, and the labels the views show.
#pragma once

#include <compare>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace pavonix::network {

enum class NetworkListenMode { allInterfaces, localhost, specificInterface };

std::string_view rawValue(NetworkListenMode mode);
// Any text but the three raw values gives no mode.
std::optional<NetworkListenMode> networkListenModeFromRawValue(std::string_view raw);

// One active IPv4 address of one interface.
struct NetworkInterfaceAddress {
    std::string interfaceName;         // the kernel's name, e.g. eth0
    std::string interfaceDisplayName;  // e.g. "Wi-Fi"; the kernel's name when nothing better is known
    std::string address;               // dotted IPv4
    std::optional<std::string> interfaceType;  // "Ethernet", "IEEE80211", "VPN", ...; absent when unknown

    std::string id() const { return interfaceName + "-" + address; }
    // "Localhost - 127.0.0.1" for 127.0.0.1, else "Wi-Fi (wlan0) - 192.168.1.20", or
    // "tun0 - 10.8.0.1" when the display name is only the kernel's name again (or empty).
    std::string label() const;

    bool operator==(const NetworkInterfaceAddress&) const = default;
};

// What one network server binds to. An absent address or OSC interface means every interface.
struct ServerListenBinding {
    std::optional<std::string> address;
    std::optional<std::string> oscInterface;
    std::string displayName;

    bool operator==(const ServerListenBinding&) const = default;
};

// The value of the listen picker.
class NetworkListenSelection {
public:
    static NetworkListenSelection allInterfaces() { return NetworkListenSelection(Kind::allInterfaces, {}); }
    static NetworkListenSelection localhost() { return NetworkListenSelection(Kind::localhost, {}); }
    static NetworkListenSelection interface(std::string address) {
        return NetworkListenSelection(Kind::interface, std::move(address));
    }

    enum class Kind { allInterfaces, localhost, interface };  // declaration order is the hash order
    Kind kind() const { return kind_; }
    // The carried address; empty for the first two kinds.
    const std::string& address() const { return address_; }

    // "allInterfaces", "localhost" or "interface-" + address.
    std::string id() const;
    // The picker's text, looked up in the current interface list.
    std::string label(const std::vector<NetworkInterfaceAddress>& interfaces) const;

    bool operator==(const NetworkListenSelection&) const = default;

private:
    NetworkListenSelection(Kind kind, std::string address) : kind_(kind), address_(std::move(address)) {}
    Kind kind_;
    std::string address_;
};

// The base of the listen picker's options: all interfaces, localhost, then one interface option per
// entry in list order (duplicates kept).
std::vector<NetworkListenSelection> listenSelectionOptions(const std::vector<NetworkInterfaceAddress>& interfaces);

// 0 wired, 1 Wi-Fi, 2 VPN or tunnel, 3 anything else.
int interfaceSortRank(const NetworkInterfaceAddress& interface);

// Natural, case-insensitive order of texts ("Ethernet 2" before "Ethernet 10"); negative, zero or
// positive like strcmp. Zero for texts that differ only in letter case or leading zeros.
int naturalCompare(std::string_view a, std::string_view b);

// Ranks the list in place: by rank, then display name, interface name and address in natural
// order, with exact text as the last tie-break so the order is total and stable.
void sortInterfaces(std::vector<NetworkInterfaceAddress>& interfaces);

}  // namespace pavonix::network
