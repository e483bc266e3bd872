#include "sockets/socket_address.h"

#include <netdb.h>
#include <sys/un.h>

#include <gtest/gtest.h>

namespace pavonix::sockets {
namespace {

std::string describe(const std::optional<Bytes>& address) {
    if (!address) return "-";
    const auto parts = hostAndPortFromAddress(*address);
    return parts ? parts->host + " " + std::to_string(parts->port) : "?";
}

TEST(SocketAddress, BuffersOfEachFamilyAndLength) {
    const auto loopback = resolveInterface("localhost", 8000);
    const Bytes v4 = *loopback.ipv4;
    const Bytes v6 = *loopback.ipv6;

    // An IPv6 family in a 16-byte buffer passes the family test but yields no host.
    const Bytes shortV6(v6.begin(), v6.begin() + 16);
    EXPECT_TRUE(isIPv6Address(shortV6));
    EXPECT_EQ(describe(shortV6), "?");

    const Bytes tiny(v4.begin(), v4.begin() + 15);
    EXPECT_FALSE(isIPv4Address(tiny));
    EXPECT_EQ(describe(tiny), "?");
    Bytes unknown = v4;
    unknown[0] = AF_UNIX;
    EXPECT_FALSE(hostAndPortFromAddress(unknown));
    EXPECT_FALSE(setPortOfAddress(unknown, 1));

    Bytes moved = v6;
    ASSERT_TRUE(setPortOfAddress(moved, 65535));
    EXPECT_EQ(describe(moved), "::1 65535");
}

TEST(SocketAddress, InterfaceDescriptions) {
    struct Case {
        std::string_view description;
        std::uint16_t port;
        const char* ipv4;
        const char* ipv6;
    };
    const Case cases[] = {
        {"", 8000, "0.0.0.0 8000", ":: 8000"},
        {"localhost", 8000, "127.0.0.1 8000", "::1 8000"},
        {"loopback", 0, "127.0.0.1 0", "::1 0"},
        {"lo", 7, "127.0.0.1 7", "::1 7"},
        {"127.0.0.1", 7, "127.0.0.1 7", "-"},
        {"lo:9000", 0, "127.0.0.1 9000", "::1 9000"},
        {"lo:9000", 8000, "127.0.0.1 8000", "::1 8000"},
        {"lo:70000", 0, "127.0.0.1 0", "::1 0"},
        {"lo:90x", 0, "127.0.0.1 0", "::1 0"},
        // The cut at the first ':' leaves nothing of an IPv6 text: every interface.
        {"::1", 5, "0.0.0.0 5", ":: 5"},
        {"no-such-interface", 5, "-", "-"},
    };
    for (const auto& c : cases) {
        const auto found = resolveInterfaceDescription(c.description, c.port);
        EXPECT_EQ(describe(found.ipv4), c.ipv4) << c.description << " " << c.port;
        EXPECT_EQ(describe(found.ipv6), c.ipv6) << c.description << " " << c.port;
    }
    // Without the description rules an empty text names no interface.
    EXPECT_TRUE(resolveInterface("", 1).empty());
    EXPECT_EQ(describe(resolveInterface("::1", 1).ipv6), "::1 1");
}

TEST(SocketAddress, UnixPathsAreNeverTruncated) {
    const std::string longest(sizeof(sockaddr_un::sun_path) - 1, 'p');
    const auto address = unixAddressFromPath(longest);
    ASSERT_TRUE(address);
    EXPECT_EQ(pathFromUnixAddress(*address), longest);
    EXPECT_FALSE(unixAddressFromPath(longest + "p"));
    EXPECT_FALSE(unixAddressFromPath(""));
    EXPECT_FALSE(unixAddressFromPath(std::string("a\0b", 3)));
}

TEST(SocketAddress, LookupHost) {
    const auto local = lookupHost("localhost", 80, SOCK_STREAM);
    ASSERT_FALSE(local.error);
    ASSERT_EQ(local.addresses.size(), 2u);
    EXPECT_EQ(describe(local.addresses[0]), "127.0.0.1 80");
    EXPECT_EQ(describe(local.addresses[1]), "::1 80");

    const auto numeric = lookupHost("::1", 9, SOCK_DGRAM);
    ASSERT_EQ(numeric.addresses.size(), 1u);
    EXPECT_EQ(describe(numeric.addresses[0]), "::1 9");
}

}  // namespace
}  // namespace pavonix::sockets
