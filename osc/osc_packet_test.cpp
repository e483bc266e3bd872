#include <gtest/gtest.h>

#include <cmath>

#include "osc/osc_bundle.h"
#include "osc/osc_message.h"
#include "osc/testing/osc_test_support.h"

namespace pavonix::osc {
namespace {

using testing::bytes;

OSCTimeTag halfSecondPast1970() { return OSCTimeTag::fromDate(OSCDate(std::chrono::duration<double>(0.5))); }

TEST(OSCMessageTest, EncodesByTheByteRules) {
    struct Case {
        const char* name;
        OSCMessage message;
        const char* tags;
        const char* expected;
    };
    const std::vector<std::uint8_t> five = {1, 2, 3, 4, 5};
    const Case cases[] = {
        {"empty address", OSCMessage(""), ",", "'/' 000000 ',' 000000"},
        {"address without slash is replaced", OSCMessage("ping"), ",", "'/' 000000 ',' 000000"},
        {"string of 4 gets 4 NULs", OSCMessage("/abc"), ",", "'/abc' 00000000 ',' 000000"},
        {"mixed kinds", OSCMessage("/a", {std::string("hi"), 1, 0.5f, OSCArgument::oscTrue}), ",sifT",
         "'/a' 0000 ',sifT' 000000 'hi' 0000 00000001 3F000000"},
        {"64-bit integer keeps its low 32 bits", OSCMessage("/a", {std::int64_t{(1LL << 32) + 5}}), ",i",
         "'/a' 0000 ',i' 0000 00000005"},
        {"double becomes the nearest float", OSCMessage("/a", {0.5, 1e300, -1e300}), ",fff",
         "'/a' 0000 ',fff' 00000000 3F000000 7F800000 FF800000"},
        {"blob of 5 is padded to 8", OSCMessage("/a", {OSCBlob{five}}), ",b",
         "'/a' 0000 ',b' 0000 00000005 0102030405 000000"},
        {"blobs of 4 and 0 are not padded", OSCMessage("/a", {OSCBlob{{9, 9, 9, 9}}, OSCBlob{}}), ",bb",
         "'/a' 0000 ',bb' 00 00000004 09090909 00000000"},
        {"time tag", OSCMessage("/a", {halfSecondPast1970()}), ",t", "'/a' 0000 ',t' 0000 83AA7E80 7FFFFFFF"},
        {"markers carry no bytes", OSCMessage("/a", {OSCArgument::oscFalse, OSCArgument::oscNil, OSCArgument::oscImpulse}),
         ",FNI", "'/a' 0000 ',FNI' 00000000"},
        {"other kinds are carried untagged", OSCMessage("/a", {OSCArgument::oscInt, 3}), ",i",
         "'/a' 0000 ',i' 0000 00000003"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message.typeTagString(), c.tags) << c.name;
        EXPECT_EQ(c.message.packetData(), bytes(c.expected)) << c.name;
    }
    EXPECT_EQ(cases[10].message.arguments().size(), 2u);
}

TEST(OSCMessageTest, AddressPartsAndReaddressing) {
    OSCMessage message("/a//b/", {1});
    EXPECT_EQ(message.addressParts(), (std::vector<std::string>{"a", "", "b", ""}));
    message.readdress("show");
    EXPECT_EQ(message.addressPattern(), "/");
    // A new address may be a view of the old one, stored inline or not.
    const std::string longAddress = "/" + std::string(70, 'x');
    message.readdress(longAddress);
    message.readdress(message.addressPattern().substr(0, 60));
    message.readdress(message.addressPattern().substr(0, 10));
    EXPECT_EQ(message.addressPattern(), longAddress.substr(0, 10));
}

TEST(OSCBundleTest, EncodesHeaderTimeTagAndSizedElements) {
    const auto message = std::make_shared<OSCMessage>("/a");  // 8 bytes
    struct Other : OSCPacket {
        std::vector<std::uint8_t> packetData() const override { return {1, 2, 3, 4}; }
    };
    EXPECT_EQ(OSCBundle({}).packetData(), bytes("'#bundle' 00 00000000 00000001"));
    EXPECT_EQ(OSCBundle({message, std::make_shared<Other>()}, halfSecondPast1970()).packetData(),
              bytes("'#bundle' 00 83AA7E80 7FFFFFFF 00000008 '/a' 0000 ',' 000000"));
    const auto inner = std::make_shared<OSCBundle>(std::vector<std::shared_ptr<OSCPacket>>{message});
    EXPECT_EQ(OSCBundle({inner, message}).packetData(),
              bytes("'#bundle' 00 00000000 00000001 0000001C '#bundle' 00 00000000 00000001 00000008 '/a' 0000 ',' 000000"
                    "00000008 '/a' 0000 ',' 000000"));
}

TEST(OSCTimeTagTest, BytesDatesAndHex) {
    EXPECT_FALSE(OSCTimeTag::fromData(bytes("00000000 000001")));
    EXPECT_FALSE(OSCTimeTag::fromData(bytes("00000000 00000001 00")));

    const OSCTimeTag half = halfSecondPast1970();
    EXPECT_EQ(half.hex(), "83AA7E807FFFFFFF");
    EXPECT_NEAR(half.date().time_since_epoch().count(), 0.5, 1e-6);

    // NTP era rollover at 2036-02-07 06:28:16 UTC, and dates that have no tag.
    EXPECT_EQ(OSCTimeTag::fromDate(OSCDate(std::chrono::duration<double>(2085978496.25))).hex(), "000000003FFFFFFF");
    for (double bad : {-2208988801.0, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(OSCTimeTag::fromDate(OSCDate(std::chrono::duration<double>(bad))).hex(), "0000000000000000");
    }
}

}  // namespace
}  // namespace pavonix::osc
