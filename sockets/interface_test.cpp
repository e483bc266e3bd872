#include "sockets/interface.h"

#include <gtest/gtest.h>

namespace pavonix::sockets {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(InterfaceTest, LoopbackIsListedPerAddressWithItsFlags) {
    bool sawIPv4 = false;
    for (const Interface& entry : Interface::allInterfaces()) {
        if (entry.name() != "lo") continue;
        EXPECT_TRUE(entry.isLoopback()) << entry.debugDescription();
        // lo carries no broadcast flag, so it has no broadcast address either.
        EXPECT_FALSE(entry.broadcastAddress().has_value());
        if (entry.family() == Interface::Family::ipv4) {
            sawIPv4 = true;
            EXPECT_EQ(entry.address(), "127.0.0.1");
            EXPECT_EQ(entry.netmask(), "255.0.0.0");
            EXPECT_EQ(entry.addressBytes(), (Bytes{127, 0, 0, 1}));
        }
    }
    EXPECT_TRUE(sawIPv4);
}

TEST(InterfaceTest, AddressBytesByFamily) {
    struct Case {
        Interface::Family family;
        std::optional<std::string> address;
        std::optional<Bytes> bytes;
    };
    Bytes v6(16, 0);
    v6[15] = 1;
    const Case cases[] = {
        {Interface::Family::ipv4, "10.1.2.3", Bytes{10, 1, 2, 3}},
        {Interface::Family::ipv6, "::1", v6},
        {Interface::Family::other, "10.1.2.3", std::nullopt},
        {Interface::Family::ipv4, std::nullopt, std::nullopt},
        {Interface::Family::ipv4, "fe80::1", std::nullopt},
        {Interface::Family::ipv6, "not an address", std::nullopt},
    };
    for (const Case& c : cases) {
        const Interface entry = Interface::createTestDummy("eth9", c.family, c.address, true, std::nullopt);
        EXPECT_EQ(entry.addressBytes(), c.bytes) << c.address.value_or("(none)");
    }
}

// Callers match on this text, the missing blank before "(not running)" included.
TEST(InterfaceTest, DebugDescriptionKeepsItsForm) {
    const Interface running = Interface::createTestDummy("en0", Interface::Family::ipv4, "192.168.1.20", true, std::nullopt);
    EXPECT_EQ(running.debugDescription(), "Interface name:en0 family:ipv4 ip:192.168.1.20 (up) (running)");
    const Interface down("wg0", Interface::Family::other, std::nullopt, std::nullopt, false, false, false, false, std::nullopt);
    EXPECT_EQ(down.debugDescription(), "Interface name:wg0 family:other (down)(not running)");
}

}  // namespace
}  // namespace pavonix::sockets
