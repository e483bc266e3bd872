#include "app/network/network_listen.h"
#include "app/network/network_listen_port.h"
#include "app/network/network_listen_scan.h"
#include "platform/net/testing/loopback.h"
#include "platform/testing/temporary_folder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pavonix::network {
namespace {

// One interface in a private /sys/class/net look-alike.
void addInterface(const std::filesystem::path& root, const std::string& name, int arpType,
                  std::initializer_list<const char*> extras = {}, const std::string& uevent = "") {
    testing::writeFile(root / name / "type", std::to_string(arpType) + "\n");
    testing::writeFile(root / name / "uevent", "INTERFACE=" + name + "\n" + uevent);
    for (const char* extra : extras) std::filesystem::create_directories(root / name / extra);
}

// An entry of the kernel's address list; IPv6 when the address has a colon.
RawInterfaceAddress raw(const std::string& name, const char* address, unsigned flags = IFF_UP | IFF_RUNNING) {
    sockaddr_storage storage{};
    storage.ss_family = std::strchr(address, ':') ? AF_INET6 : AF_INET;
    void* bytes = storage.ss_family == AF_INET6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr)
                                                : &reinterpret_cast<sockaddr_in*>(&storage)->sin_addr;
    inet_pton(storage.ss_family, address, bytes);
    return {name, flags, storage};
}

// The interface labels of the view are pinned with the listen picker.
TEST(NetworkListenSelection, LabelsAndOptions) {
    const std::vector<NetworkInterfaceAddress> list{
        {"wlan0", "Wi-Fi", "192.168.1.20", "IEEE80211"}, {"lo", "Localhost", "127.0.0.1", std::nullopt},
        {"eth1", "Ethernet", "192.168.1.20", "Ethernet"}};
    EXPECT_EQ(list[1].label(), "Localhost - 127.0.0.1");
    // A name that says nothing more than the kernel's is not said twice.
    EXPECT_EQ((NetworkInterfaceAddress{"avA", "avA", "10.8.0.1", std::nullopt}.label()), "avA - 10.8.0.1");
    EXPECT_EQ((NetworkInterfaceAddress{"tun0", "", "10.8.0.2", "VPN"}.label()), "tun0 - 10.8.0.2");
    EXPECT_EQ(NetworkListenSelection::allInterfaces().label(list), "All Network Interfaces");
    // The first entry with an address names it; the options keep every entry.
    EXPECT_EQ(NetworkListenSelection::interface("192.168.1.20").label(list), "Wi-Fi (wlan0) - 192.168.1.20");
    using S = NetworkListenSelection;
    EXPECT_EQ(listenSelectionOptions(list), (std::vector<S>{S::allInterfaces(), S::localhost(), S::interface("192.168.1.20"),
                                                            S::interface("127.0.0.1"), S::interface("192.168.1.20")}));
    // Stored modes are raw names, matched exactly.
    EXPECT_FALSE(networkListenModeFromRawValue("AllInterfaces"));
}

TEST(InterfaceSort, NaturalOrderAndATotalOrder) {
    EXPECT_EQ(naturalCompare("ETH07", "eth7"), 0);
    EXPECT_LT(naturalCompare("eth", "eth0"), 0);

    // Texts that compare equal in the natural order fall through to the next key, so these three
    // have one order whatever order they arrive in.
    const std::vector<NetworkInterfaceAddress> tricky{
        {"z", "A", "1.1.1.1", std::nullopt}, {"y", "a", "1.1.1.1", std::nullopt}, {"x", "A", "1.1.1.1", std::nullopt}};
    std::vector<int> order{0, 1, 2};
    do {
        std::vector<NetworkInterfaceAddress> shuffled{tricky[order[0]], tricky[order[1]], tricky[order[2]]};
        sortInterfaces(shuffled);
        EXPECT_EQ(shuffled, (std::vector<NetworkInterfaceAddress>{tricky[2], tricky[1], tricky[0]}));
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(InterfaceScan, NamesKindsFiltersAndRanks) {
    InterfaceScanSources sources;
    const testing::TemporaryFolder sysfs{"pavonix-sysfs"};
    sources.sysfsRoot = sysfs.path();
    addInterface(sysfs.path(), "eth0", 1, {"device"});
    addInterface(sysfs.path(), "wlan0", 1, {"device", "wireless"}, "DEVTYPE=wlan\n");
    addInterface(sysfs.path(), "tap0", 1, {"tun_flags"});
    addInterface(sysfs.path(), "wg0", 65534, {}, "DEVTYPE=wireguard\n");
    addInterface(sysfs.path(), "gre1", 778);
    addInterface(sysfs.path(), "br0", 1, {"bridge"});
    addInterface(sysfs.path(), "veth12", 1);
    addInterface(sysfs.path(), "lo", 772);
    sources.addresses = [] {
        return std::vector<RawInterfaceAddress>{
            raw("veth12", "10.0.0.12"),
            raw("br0", "10.0.1.1"),
            raw("gre1", "10.0.2.1"),
            raw("wg0", "10.8.0.2"),
            raw("tap0", "10.9.0.2"),
            raw("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK),
            raw("wlan0", "192.168.1.7"),
            raw("down0", "10.9.9.9", 0),
            raw("notrunning0", "10.7.7.7", IFF_UP),  // up but not running still counts
            raw("eth0", "fe80::1"),
            raw("eth0", "192.168.1.10"),
            raw("eth0", "192.168.1.9"),
            raw("eth0", "192.168.1.9"),  // the same pair twice
            raw("wlan0", "192.168.1.9"),  // the same address on another interface
            RawInterfaceAddress{"noaddr0", IFF_UP, std::nullopt},
        };
    };
    // Wired, Wi-Fi, tunnels, then the rest, each in natural order; unknown to sysfs: its own name.
    EXPECT_EQ(activeIPv4Interfaces(sources), (std::vector<NetworkInterfaceAddress>{
                                                 {"eth0", "Ethernet", "192.168.1.9", "Ethernet"},
                                                 {"eth0", "Ethernet", "192.168.1.10", "Ethernet"},
                                                 {"wlan0", "Wi-Fi", "192.168.1.7", "IEEE80211"},
                                                 {"wlan0", "Wi-Fi", "192.168.1.9", "IEEE80211"},
                                                 {"gre1", "Tunnel", "10.0.2.1", "Tunnel"},
                                                 {"tap0", "VPN", "10.9.0.2", "VPN"},
                                                 {"wg0", "WireGuard", "10.8.0.2", "VPN"},
                                                 {"br0", "Bridge", "10.0.1.1", "Bridge"},
                                                 {"notrunning0", "notrunning0", "10.7.7.7", std::nullopt},
                                                 {"veth12", "veth12", "10.0.0.12", std::nullopt},
                                             }));
    EXPECT_TRUE(interfaceMetadataByName(sysfs.path() / "missing").empty());
    sources.addresses = [] { return std::optional<std::vector<RawInterfaceAddress>>(); };
    EXPECT_TRUE(activeIPv4Interfaces(sources).empty());
}

// The in-use message itself is pinned where a real server meets a taken port.
TEST(PortChecks, OnlyTheSystemsAddressInUseCodeMeansInUse) {
    EXPECT_TRUE(isAddressInUseError(std::make_error_code(std::errc::address_in_use)));
    EXPECT_FALSE(isAddressInUseError(std::make_error_code(std::errc::connection_refused)));
    // A typed error of another kind is never "in use", whatever its text says.
    struct LookupCategory : std::error_category {
        const char* name() const noexcept override { return "lookup"; }
        std::string message(int) const override { return "Address already in use"; }
    } static const lookup;
    EXPECT_FALSE(isAddressInUseError(std::error_code(EADDRINUSE, lookup)));
}

// That a freed port reads free again is seen through the model's OSC restart with real sockets.
TEST(PortChecks, ProbeSeesHeldPortsOnLoopback) {
    for (bool udp : {false, true}) {
        const int fd = testing::bindLoopback(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM);
        ASSERT_EQ(udp ? 0 : ::listen(fd, 1), 0);
        const auto port = testing::boundPort(fd);

        EXPECT_TRUE(isPortInUse(port, "127.0.0.1", udp)) << udp;
        EXPECT_FALSE(isPortInUse(port, "not-an-address", udp));
        EXPECT_FALSE(isPortInUse(port, std::string("127.0.0.1\0x", 11), udp));
        ::close(fd);
    }
}

}  // namespace
}  // namespace pavonix::network
