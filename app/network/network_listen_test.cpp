#include "app/network/network_listen.h"
#include "app/network/network_listen_port.h"
#include "app/network/network_listen_scan.h"
#include "platform/testing/temporary_folder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_set>

namespace pavonix::network {
namespace {

namespace fs = std::filesystem;

NetworkInterfaceAddress iface(std::string name, std::string display, std::string address,
                              std::optional<std::string> type = std::nullopt) {
    return {std::move(name), std::move(display), std::move(address), std::move(type)};
}

// A private /sys/class/net look-alike.
class FakeSysfs {
public:
    FakeSysfs& add(const std::string& name, int arpType, std::initializer_list<const char*> extras = {},
                   const std::string& uevent = "") {
        testing::writeFile(root() / name / "type", std::to_string(arpType) + "\n");
        testing::writeFile(root() / name / "uevent", "INTERFACE=" + name + "\n" + uevent);
        for (const char* extra : extras) fs::create_directories(root() / name / extra);
        return *this;
    }
    const fs::path& root() const { return folder_.path(); }

private:
    testing::TemporaryFolder folder_{"pavonix-sysfs"};
};

RawInterfaceAddress ipv4(const std::string& name, const char* address, unsigned flags = IFF_UP | IFF_RUNNING) {
    sockaddr_storage storage{};
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    inet_pton(AF_INET, address, &in->sin_addr);
    return {name, flags, storage};
}

RawInterfaceAddress ipv6(const std::string& name, const char* address) {
    sockaddr_storage storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    return {name, IFF_UP, storage};
}

TEST(NetworkListenLabels, InterfaceAndSelectionLabels) {
    const std::vector<NetworkInterfaceAddress> list{
        iface("wlan0", "Wi-Fi", "192.168.1.20", "IEEE80211"), iface("lo", "Localhost", "127.0.0.1"),
        iface("eth1", "Ethernet", "192.168.1.20", "Ethernet")};
    EXPECT_EQ(list[0].label(), "Wi-Fi (wlan0) - 192.168.1.20");
    EXPECT_EQ(list[1].label(), "Localhost - 127.0.0.1");
    EXPECT_EQ(list[0].id(), "wlan0-192.168.1.20");

    EXPECT_EQ(NetworkListenSelection::allInterfaces().label(list), "All Network Interfaces");
    // The first entry with the address wins.
    EXPECT_EQ(NetworkListenSelection::interface("192.168.1.20").label(list), "Wi-Fi (wlan0) - 192.168.1.20");
    EXPECT_EQ(NetworkListenSelection::interface("10.0.0.5").label(list), "Unavailable Interface - 10.0.0.5");
    EXPECT_EQ(NetworkListenSelection::interface("").label(list), "Choose an Interface");
    // Stored modes are raw names, matched exactly.
    EXPECT_EQ(networkListenModeFromRawValue("specificInterface"), NetworkListenMode::specificInterface);
    EXPECT_FALSE(networkListenModeFromRawValue("AllInterfaces"));
}

TEST(NetworkListenSelection, HashAndOptions) {
    std::unordered_set<NetworkListenSelection, NetworkListenSelectionHash> set{
        NetworkListenSelection::allInterfaces(), NetworkListenSelection::localhost(),
        NetworkListenSelection::interface(""), NetworkListenSelection::interface("10.0.0.1"),
        NetworkListenSelection::interface("10.0.0.1")};
    EXPECT_EQ(set.size(), 4u);

    const std::vector<NetworkInterfaceAddress> list{iface("a", "A", "10.0.0.1"), iface("b", "B", "10.0.0.1")};
    EXPECT_EQ(interfaceAddressSet(list), (std::set<std::string>{"10.0.0.1"}));
    const auto options = listenSelectionOptions(list);  // duplicates kept
    ASSERT_EQ(options.size(), 4u);
    EXPECT_EQ(options[0], NetworkListenSelection::allInterfaces());
    EXPECT_EQ(options[3], NetworkListenSelection::interface("10.0.0.1"));
}

TEST(InterfaceSort, NaturalOrderWithinRankAndTotalOrder) {
    EXPECT_LT(naturalCompare("Ethernet 2", "Ethernet 10"), 0);
    EXPECT_EQ(naturalCompare("ETH07", "eth7"), 0);
    EXPECT_LT(naturalCompare("eth", "eth0"), 0);

    std::vector<NetworkInterfaceAddress> list{
        iface("veth1", "veth1", "10.0.0.9"),
        iface("wlan0", "Wi-Fi", "192.168.1.5", "IEEE80211"),
        iface("wg0", "WireGuard", "10.8.0.2", "VPN"),
        iface("eth10", "Ethernet 10", "10.0.0.3", "Ethernet"),
        iface("eth2", "Ethernet 2", "10.0.0.4", "Ethernet"),
    };
    sortInterfaces(list);
    std::vector<std::string> names;
    for (const auto& i : list) names.push_back(i.interfaceName);
    EXPECT_EQ(names, (std::vector<std::string>{"eth2", "eth10", "wlan0", "wg0", "veth1"}));

    // Texts that compare equal in the natural order fall through to the next key, so these three
    // have one order whatever order they arrive in.
    const std::vector<NetworkInterfaceAddress> tricky{
        iface("z", "A", "1.1.1.1"), iface("y", "a", "1.1.1.1"), iface("x", "A", "1.1.1.1")};
    std::vector<NetworkInterfaceAddress> expected = tricky;
    sortInterfaces(expected);
    EXPECT_EQ(expected[0].interfaceName, "x");
    EXPECT_EQ(expected[1].interfaceName, "y");
    std::vector<int> order{0, 1, 2};
    do {
        std::vector<NetworkInterfaceAddress> shuffled{tricky[order[0]], tricky[order[1]], tricky[order[2]]};
        sortInterfaces(shuffled);
        EXPECT_EQ(shuffled, expected);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(InterfaceScan, MetadataFromSysfs) {
    FakeSysfs sysfs;
    sysfs.add("eth0", 1, {"device"})
        .add("wlan0", 1, {"device", "wireless"}, "DEVTYPE=wlan\n")
        .add("tap0", 1, {"tun_flags"})
        .add("wg0", 65534, {}, "DEVTYPE=wireguard\n")
        .add("gre1", 778)
        .add("br0", 1, {"bridge"})
        .add("veth12", 1)
        .add("lo", 772);
    const auto metadata = interfaceMetadataByName(sysfs.root());
    EXPECT_EQ(metadata.at("eth0"), (NetworkInterfaceMetadata{"Ethernet", "Ethernet"}));
    EXPECT_EQ(metadata.at("wlan0"), (NetworkInterfaceMetadata{"Wi-Fi", "IEEE80211"}));
    EXPECT_EQ(metadata.at("tap0"), (NetworkInterfaceMetadata{"VPN", "VPN"}));
    EXPECT_EQ(metadata.at("wg0"), (NetworkInterfaceMetadata{"WireGuard", "VPN"}));
    EXPECT_EQ(metadata.at("gre1"), (NetworkInterfaceMetadata{"Tunnel", "Tunnel"}));
    EXPECT_EQ(metadata.at("br0"), (NetworkInterfaceMetadata{"Bridge", "Bridge"}));
    EXPECT_EQ(metadata.at("veth12"), (NetworkInterfaceMetadata{"veth12", std::nullopt}));
    EXPECT_TRUE(interfaceMetadataByName(sysfs.root() / "missing").empty());
}

TEST(InterfaceScan, FiltersDeduplicatesAndRanks) {
    FakeSysfs sysfs;
    sysfs.add("eth0", 1, {"device"}).add("wlan0", 1, {"wireless"}).add("tun0", 65534, {"tun_flags"});
    InterfaceScanSources sources;
    sources.sysfsRoot = sysfs.root();
    sources.addresses = [] {
        return std::vector<RawInterfaceAddress>{
            ipv4("tun0", "10.8.0.2"),
            ipv4("lo", "127.0.0.1", IFF_UP | IFF_LOOPBACK),
            ipv4("wlan0", "192.168.1.7"),
            ipv4("down0", "10.9.9.9", 0),
            ipv4("notrunning0", "10.7.7.7", IFF_UP),  // up but not running still counts
            ipv6("eth0", "fe80::1"),
            ipv4("eth0", "192.168.1.2"),
            ipv4("eth0", "192.168.1.2"),  // the same pair twice
            ipv4("eth0", "192.168.1.3"),
            ipv4("wlan0", "192.168.1.2"),  // the same address on another interface
            RawInterfaceAddress{"noaddr0", IFF_UP, std::nullopt},
        };
    };
    const auto list = activeIPv4Interfaces(sources);
    std::vector<std::string> ids;
    for (const auto& i : list) ids.push_back(i.id());
    EXPECT_EQ(ids, (std::vector<std::string>{"eth0-192.168.1.2", "eth0-192.168.1.3", "wlan0-192.168.1.2",
                                             "wlan0-192.168.1.7", "tun0-10.8.0.2", "notrunning0-10.7.7.7"}));
    EXPECT_EQ(list[0].interfaceDisplayName, "Ethernet");
    EXPECT_EQ(list.back().interfaceDisplayName, "notrunning0");  // unknown to sysfs: its own name
    EXPECT_FALSE(list.back().interfaceType);

    sources.addresses = [] { return std::optional<std::vector<RawInterfaceAddress>>(); };
    EXPECT_TRUE(activeIPv4Interfaces(sources).empty());
}

// The in-use message itself is pinned where a real server meets a taken port.
TEST(PortChecks, ErrorClassification) {
    EXPECT_TRUE(isAddressInUseError(std::make_error_code(std::errc::address_in_use)));
    EXPECT_FALSE(isAddressInUseError(std::make_error_code(std::errc::connection_refused)));
    // A typed error of another kind is never "in use", whatever its text says.
    struct LookupCategory : std::error_category {
        const char* name() const noexcept override { return "lookup"; }
        std::string message(int) const override { return "Address already in use"; }
    } static const lookup;
    EXPECT_FALSE(isAddressInUseError(std::error_code(EADDRINUSE, lookup)));
    EXPECT_FALSE(isAddressInUseError(std::system_error(std::error_code(1, lookup), "address already in use")));

    EXPECT_TRUE(isAddressInUseError(std::runtime_error("bind: ADDRESS ALREADY IN USE")));
    EXPECT_FALSE(isAddressInUseError(std::runtime_error("permission denied")));
    try {
        try {
            throw std::system_error(std::make_error_code(std::errc::address_in_use));
        } catch (...) {
            std::throw_with_nested(std::runtime_error("listener failed"));
        }
    } catch (const std::exception& e) {
        EXPECT_TRUE(isAddressInUseError(e));  // the underlying error decides
    }
}

TEST(PortChecks, ProbeSeesHeldPortsOnLoopback) {
    for (bool udp : {false, true}) {
        const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (!udp) {
            ASSERT_EQ(::listen(fd, 1), 0);
        }
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
        const auto port = ntohs(address.sin_port);

        EXPECT_TRUE(isPortInUse(port, "127.0.0.1", udp)) << udp;
        EXPECT_FALSE(isPortInUse(port, "not-an-address", udp));
        EXPECT_FALSE(isPortInUse(port, std::string("127.0.0.1\0x", 11), udp));
        ::close(fd);
        EXPECT_FALSE(isPortInUse(port, "127.0.0.1", udp)) << udp;
    }
}

}  // namespace
}  // namespace pavonix::network
