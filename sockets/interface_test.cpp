#include "sockets/interface.h"

#include <map>

#include <gtest/gtest.h>

#include "sockets/testing/network_namespace.h"

namespace pavonix::sockets {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Family = Interface::Family;

TEST(InterfaceTest, LoopbackIsListedPerAddressAndEntriesGiveTheirBytesAndDescription) {
    bool sawIPv4 = false;
    for (const Interface& entry : Interface::allInterfaces()) {
        if (entry.name() != "lo") continue;
        EXPECT_TRUE(entry.isLoopback()) << entry.debugDescription();
        // lo carries no broadcast flag, so it has no broadcast address either.
        EXPECT_FALSE(entry.broadcastAddress().has_value());
        if (entry.family() != Family::ipv4) continue;
        sawIPv4 = true;
        EXPECT_EQ(entry.debugDescription(), "Interface name:lo family:ipv4 ip:127.0.0.1 (up) (running)");
        EXPECT_EQ(entry.netmask(), "255.0.0.0");
        EXPECT_EQ(entry.addressBytes(), (Bytes{127, 0, 0, 1}));
    }
    EXPECT_TRUE(sawIPv4);

    Bytes v6(16, 0);
    v6[15] = 1;
    const std::tuple<Family, std::optional<std::string>, std::optional<Bytes>> cases[] = {
        {Family::ipv6, "::1", v6},
        {Family::other, "10.1.2.3", std::nullopt},
        {Family::ipv4, std::nullopt, std::nullopt},
        {Family::ipv4, "fe80::1", std::nullopt},
        {Family::ipv6, "not an address", std::nullopt},
    };
    for (const auto& [family, address, bytes] : cases) {
        EXPECT_EQ(Interface::createTestDummy("eth9", family, address, true, std::nullopt).addressBytes(), bytes)
            << address.value_or("(none)");
    }
    // Callers match on this text, the missing blank before "(not running)" included.
    const Interface down("wg0", Family::other, std::nullopt, std::nullopt, false, false, false, false, std::nullopt);
    EXPECT_EQ(down.debugDescription(), "Interface name:wg0 family:other (down)(not running)");
}

// An address added without a broadcast address comes from the system with its own address in the
// broadcast field; the OSC socket would then treat a send to this machine as a broadcast.
TEST(InterfaceNamespaceTest, OnlyAConfiguredBroadcastAddressIsListed) {
    using pavonix::testing::NamespaceRun;
    const auto run = pavonix::testing::runInOwnNetworkNamespace({
        "ip link add pvxa type veth peer name pvxb",
        "ip addr add 10.78.0.1/24 dev pvxa",
        "ip addr add 10.79.0.1/24 brd + dev pvxb",
    });
    if (run == NamespaceRun::unavailable) GTEST_SKIP() << "needs root to make a network namespace";
    if (run == NamespaceRun::finished) return;

    std::map<std::string, std::optional<std::string>> broadcast;
    for (const Interface& entry : Interface::allInterfaces())
        if (entry.family() == Family::ipv4 && !entry.isLoopback()) broadcast[entry.name()] = entry.broadcastAddress();
    using Listed = std::map<std::string, std::optional<std::string>>;
    EXPECT_EQ(broadcast, (Listed{{"pvxa", std::nullopt}, {"pvxb", "10.79.0.255"}}));
}

}  // namespace
}  // namespace pavonix::sockets
