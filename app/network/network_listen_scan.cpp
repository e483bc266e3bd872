#include "app/network/network_listen_scan.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <set>
#include <system_error>

namespace pavonix::network {
namespace {

namespace fs = std::filesystem;

// sysfs attributes are one short line; reading is capped so a strange file cannot grow memory.
std::optional<std::string> readAttribute(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::string line;
    line.resize(256);
    in.read(line.data(), static_cast<std::streamsize>(line.size()));
    line.resize(static_cast<std::size_t>(in.gcount()));
    if (auto end = line.find('\n'); end != std::string::npos) line.resize(end);
    return line;
}

std::optional<std::string> ueventDevType(const fs::path& dir) {
    std::ifstream in(dir / "uevent");
    std::string line;
    for (int lines = 0; lines < 64 && std::getline(in, line); ++lines) {
        if (line.starts_with("DEVTYPE=")) return line.substr(8);
    }
    return std::nullopt;
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// ARPHRD_* values from <linux/if_arp.h>, kept here so the file builds without kernel headers.
constexpr int kArpEther = 1;
constexpr int kArpPpp = 512;
constexpr int kArpTunnel = 768;
constexpr int kArpTunnel6 = 769;
constexpr int kArpSit = 776;
constexpr int kArpIpGre = 778;
constexpr int kArpIp6Gre = 823;

NetworkInterfaceMetadata metadataFor(const std::string& name, const fs::path& dir) {
    const auto devType = ueventDevType(dir);
    int arpType = -1;
    if (auto text = readAttribute(dir / "type")) {
        try {
            arpType = std::stoi(*text);
        } catch (...) {
            arpType = -1;
        }
    }
    auto named = [](const char* display, const char* type) {
        return NetworkInterfaceMetadata{display, std::string(type)};
    };
    // Tunnels first: a tap device is an Ethernet device to the kernel but a VPN to the user.
    if (pathExists(dir / "tun_flags")) return named("VPN", "VPN");
    if (devType == "wireguard" || name.starts_with("wg")) return named("WireGuard", "VPN");
    if (arpType == kArpTunnel || arpType == kArpTunnel6 || arpType == kArpSit || arpType == kArpIpGre ||
        arpType == kArpIp6Gre) {
        return named("Tunnel", "Tunnel");
    }
    if (pathExists(dir / "wireless") || pathExists(dir / "phy80211") || devType == "wlan") return named("Wi-Fi", "IEEE80211");
    if (arpType == kArpPpp) return named("PPP", "PPP");
    if (arpType == kArpEther) {
        if (pathExists(dir / "bridge") || devType == "bridge") return named("Bridge", "Bridge");
        // Only hardware counts as wired: veth pairs and container bridges are Ethernet to the
        // kernel but would otherwise be offered ahead of the real network.
        if (pathExists(dir / "device")) return named("Ethernet", "Ethernet");
    }
    return NetworkInterfaceMetadata{name, std::nullopt};
}

}  // namespace

std::map<std::string, NetworkInterfaceMetadata> interfaceMetadataByName(const fs::path& sysfsRoot) {
    std::map<std::string, NetworkInterfaceMetadata> metadata;
    std::error_code ec;
    fs::directory_iterator it(sysfsRoot, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.starts_with('.')) continue;
        metadata[name] = metadataFor(name, it->path());
    }
    return metadata;
}

std::optional<std::vector<RawInterfaceAddress>> systemInterfaceAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::vector<RawInterfaceAddress> entries;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        RawInterfaceAddress raw;
        raw.name = entry->ifa_name != nullptr ? entry->ifa_name : "";
        raw.flags = entry->ifa_flags;
        if (entry->ifa_addr != nullptr) {
            sockaddr_storage storage{};
            std::size_t size = 0;
            if (entry->ifa_addr->sa_family == AF_INET) size = sizeof(sockaddr_in);
            else if (entry->ifa_addr->sa_family == AF_INET6) size = sizeof(sockaddr_in6);
            else size = sizeof(sockaddr);
            std::memcpy(&storage, entry->ifa_addr, size);
            raw.address = storage;
        }
        entries.push_back(std::move(raw));
    }
    freeifaddrs(list);
    return entries;
}

std::optional<std::string> numericHostAddress(const sockaddr* address, socklen_t length) {
    char host[NI_MAXHOST] = {};
    if (getnameinfo(address, length, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) return std::nullopt;
    return std::string(host);
}

std::vector<NetworkInterfaceAddress> activeIPv4Interfaces(const InterfaceScanSources& sources) {
    const auto metadata = interfaceMetadataByName(sources.sysfsRoot);
    const auto entries = sources.addresses ? sources.addresses() : std::nullopt;
    std::vector<NetworkInterfaceAddress> result;
    if (!entries) return result;
    std::set<std::string> seen;
    for (const auto& entry : *entries) {
        if (!entry.address) continue;
        if ((entry.flags & IFF_UP) == 0 || (entry.flags & IFF_LOOPBACK) != 0) continue;
        if (entry.address->ss_family != AF_INET) continue;
        auto host = numericHostAddress(reinterpret_cast<const sockaddr*>(&*entry.address), sizeof(sockaddr_in));
        if (!host) continue;
        if (!seen.insert(entry.name + "-" + *host).second) continue;
        NetworkInterfaceAddress address{entry.name, entry.name, *host, std::nullopt};
        if (auto it = metadata.find(entry.name); it != metadata.end()) {
            address.interfaceDisplayName = it->second.displayName;
            address.interfaceType = it->second.type;
        }
        result.push_back(std::move(address));
    }
    sortInterfaces(result);
    return result;
}

}  // namespace pavonix::network
