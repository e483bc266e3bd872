#include <gtest/gtest.h>

#include <algorithm>

#include "osc/osc_parser.h"
#include "osc/testing/osc_test_support.h"

namespace pavonix::osc {
namespace {

using testing::argumentsOf;
using testing::bytes;
using testing::concat;
using testing::RecordingDestination;
using Bytes = std::vector<std::uint8_t>;

Bytes sized(const Bytes& body) { return oscFramedPacket(body, OSCTCPStreamFraming::PLH); }  // an element

const Bytes kPing = bytes("'/ping' 000000 ',' 000000");
const Bytes kEmptyBundle = bytes("'#bundle' 00 00000000 00000001");

std::optional<OSCParserError> processInto(RecordingDestination& destination, const Bytes& packet) {
    return OSCParser().process(packet, destination, testing::fakeSocket());
}

// One case for each error and each bound; the fuzz targets try random input.
TEST(OSCParserTest, MalformedPacketsAreRefusedWithTheirErrorAndDeliverNothing) {
    using E = OSCParserError;
    const std::pair<Bytes, E> cases[] = {
        {{}, E::unrecognisedData},
        {bytes("'#bundle' 00 00000000"), E::cantParseOSCTimeTag},
        {bytes("'/ping'"), E::cantParseAddressPattern},
        {bytes("'/' FF 00"), E::cantParseAddressPattern},
        {bytes("'/ping' 000000"), E::cantParseTypeTagString},
        {bytes("'/a' 0000 ',s' 0000 'abc'"), E::cantParseOSCString},
        // Text is strict UTF-8: no UTF-16 surrogate, no overlong two- or four-byte form.
        {bytes("'/a' 0000 ',s' 0000 ED A0 80 00"), E::cantParseOSCString},
        {bytes("'/a' 0000 ',s' 0000 C1 BF 0000"), E::cantParseOSCString},
        {bytes("'/a' 0000 ',s' 0000 F0 8F BF BF 00000000"), E::cantParseOSCString},
        {bytes("'/a' 0000 ',i' 0000 0000"), E::cantParseOSCInt},
        {bytes("'/a' 0000 ',f' 0000"), E::cantParseOSCFloat},
        {bytes("'/a' 0000 ',b' 0000 00000008 01020304"), E::cantParseOSCBlob},
        {bytes("'/a' 0000 ',b' 0000 FFFFFFFF 01020304"), E::cantParseOSCBlob},
        {bytes("'/a' 0000 ',t' 0000 00000001"), E::cantParseOSCTimeTag},
        {concat({kEmptyBundle, bytes("FFFFFFFC")}), E::cantParseSizeOfElement},
        {concat({kEmptyBundle, bytes("0000")}), E::cantParseSizeOfElement},
        {concat({kEmptyBundle, bytes("7FFFFFFF"), kPing}), E::cantParseSizeOfElement},
        {concat({kEmptyBundle, bytes("00000000")}), E::cantParseTypeOfElement},
        {concat({kEmptyBundle, sized(bytes("80000000"))}), E::cantParseTypeOfElement},
        {concat({kEmptyBundle, sized(bytes("'x' 000000"))}), E::unrecognisedData},
        // A bad element drops the whole bundle, good elements before it included.
        {concat({kEmptyBundle, sized(kPing), sized(bytes("'/a' 0000 ',i' 0000"))}), E::cantParseOSCInt},
        // An element is read within its own size, never into the next one.
        {concat({kEmptyBundle, sized(bytes("'/a' 0000 ',i' 0000")), sized(bytes("'/b' 0000 ',' 000000"))}),
         E::cantParseOSCInt},
    };
    for (const auto& [packet, error] : cases) {
        RecordingDestination destination;
        EXPECT_EQ(processInto(destination, packet), error) << ::testing::PrintToString(packet);
        EXPECT_TRUE(destination.addresses.empty());
    }
}

TEST(OSCParserTest, MessagesGetTheirArgumentsAndTheReplySocket) {
    const OSCMessage sent("/all", {std::string("h\xC3\xA9llo"), -7, 2.5f, OSCBlob{{0, 0xFF, 7}}, OSCTimeTag(),
                                   OSCArgument::oscTrue, OSCArgument::oscFalse, OSCArgument::oscNil,
                                   OSCArgument::oscImpulse});
    const std::vector<OSCValue> many(13, OSCValue(std::string("twenty characters...")));
    const OSCMessage large("/" + std::string(60, 'a'), many);
    const std::pair<Bytes, std::vector<OSCValue>> cases[] = {
        {kPing, {}},
        {large.packetData(), many},
        {sent.packetData(), argumentsOf(sent)},                          // every kind round-trips
        {bytes("'/a' 0000 'ii' 0000 00000001"), {}},                   // tags without the leading comma
        {bytes("'/a' 0000 ',hi' 00 00000007 'junk'"), {7}},            // unknown tag skipped, tail ignored
        {bytes("'/a' 0000 ',bi' 00 00000005 0102030405 FFFFFF 00000009"),  // padding is not checked
         {OSCBlob{{1, 2, 3, 4, 5}}, 9}},
    };
    const auto socket = testing::fakeSocket();
    for (const auto& [packet, arguments] : cases) {
        RecordingDestination destination;
        ASSERT_FALSE(OSCParser().process(packet, destination, socket));
        EXPECT_EQ(argumentsOf(*destination.messages.at(0)), arguments);
        EXPECT_EQ(destination.messages[0]->replySocket(), socket);
    }
}

TEST(OSCParserTest, BundlesNestAndOnlyTheOuterOneGetsTheReplySocket) {
    RecordingDestination destination;
    const Bytes packet = concat({bytes("'#bundle' 00 83AA7E80 7FFFFFFF"), sized(kEmptyBundle), sized(kPing)});
    ASSERT_FALSE(processInto(destination, packet));
    const auto& bundle = destination.bundles.at(0);
    EXPECT_EQ(bundle->packetData(), packet);  // its time tag and elements as they came
    ASSERT_TRUE(bundle->replySocket());
    EXPECT_FALSE(dynamic_cast<const OSCBundle&>(*bundle->elements().at(0)).replySocket());
}

Bytes nestedBundles(int depth) {
    Bytes packet = kEmptyBundle;
    for (int i = 1; i < depth; ++i) packet = concat({kEmptyBundle, sized(packet)});
    return packet;
}

TEST(OSCParserTest, NestingIsBoundedSoDeepInputCannotExhaustTheStack) {
    RecordingDestination destination;
    EXPECT_FALSE(processInto(destination, nestedBundles(OSCParser::kMaxBundleDepth)));
    for (int depth : {OSCParser::kMaxBundleDepth + 1, 3000}) {
        EXPECT_EQ(processInto(destination, nestedBundles(depth)), OSCParserError::cantParseBundleElement);
    }
}

Bytes slip(const Bytes& packet) { return oscFramedPacket(packet, OSCTCPStreamFraming::SLIP); }

struct Stream {
    OSCFrameBuffer buffer;
    OSCStreamState state{testing::fakeSocket()};
    RecordingDestination destination;
    std::optional<OSCParserError> read(const Bytes& chunk, OSCTCPStreamFraming framing = OSCTCPStreamFraming::SLIP) {
        // A fresh parser for every read, as the server makes one: all that lasts is the caller's.
        return OSCParser().translate(chunk, framing, buffer, state, destination);
    }
};

Bytes cut(const Bytes& stream, std::size_t at, std::size_t step) {
    const auto from = std::min(stream.size(), at), to = std::min(stream.size(), at + step);
    return Bytes(stream.begin() + static_cast<std::ptrdiff_t>(from), stream.begin() + static_cast<std::ptrdiff_t>(to));
}

// Two connections read in turn, each cut into reads of every size (escapes split across reads
// included): neither sees the other's state, and the cuts never change the packets. A byte after
// ESC that is no escape code is kept, wherever the read boundary falls.
TEST(OSCParserSLIPTest, InterleavedStreamsSurviveAnyCutIntoReads) {
    const Bytes escaped = slip(OSCMessage("/e", {OSCBlob{{0xC0, 0xDB, 0xDC, 0xDD}}}).packetData());
    const Bytes stray = bytes("'/s' 0000 ',b' 0000 00000001 DB 41 000000 C0");
    const Bytes first = concat({kPing, {0xC0, 0xC0}, escaped, stray}), second = concat({escaped, slip(kPing)});
    for (std::size_t step = 1; step <= first.size(); ++step) {
        Stream a, b;
        for (std::size_t at = 0; at < first.size(); at += step) {
            ASSERT_FALSE(a.read(cut(first, at, step)));
            ASSERT_FALSE(b.read(cut(second, at, step)));
        }
        ASSERT_EQ(a.destination.addresses, (std::vector<std::string>{"/ping", "/e", "/s"})) << step;
        ASSERT_EQ(b.destination.addresses, (std::vector<std::string>{"/e", "/ping"})) << step;
        EXPECT_EQ(argumentsOf(*a.destination.messages[1]), (std::vector<OSCValue>{OSCBlob{{0xC0, 0xDB, 0xDC, 0xDD}}}));
        EXPECT_EQ(argumentsOf(*a.destination.messages[2]), std::vector<OSCValue>{OSCBlob{{0x41}}});
        EXPECT_EQ(argumentsOf(*b.destination.messages[0]), argumentsOf(*a.destination.messages[1]));
        EXPECT_TRUE(a.buffer.empty() && b.buffer.empty() && !a.state.danglingESC);
    }
}

TEST(OSCParserSLIPTest, ABadFrameEndsItsReadAndAnOverLongOneIsDroppedToItsEnd) {
    Stream s;
    EXPECT_EQ(s.read(concat({slip(kPing), slip(bytes("'/a' 0000 ',i' 0000")), slip(kPing)})),
              OSCParserError::cantParseOSCInt);
    EXPECT_EQ(s.destination.addresses, std::vector<std::string>{"/ping"});

    Bytes huge = concat({bytes("C0 '/big' 00000000 ',b' 0000 00100000"), Bytes(OSCParser::kMaxFrameBytes, 1)});
    EXPECT_EQ(s.read(huge), OSCParserError::frameTooLong);
    EXPECT_FALSE(s.read(concat({Bytes(1000, 2), slip(kPing)})));
    EXPECT_EQ(s.destination.addresses, (std::vector<std::string>{"/ping", "/ping"}));

    // Exactly the limit still passes.
    const OSCMessage largest("/big", {OSCBlob{Bytes(OSCParser::kMaxFrameBytes - 16, 3)}});
    ASSERT_EQ(largest.packetData().size(), OSCParser::kMaxFrameBytes);
    EXPECT_FALSE(s.read(slip(largest.packetData())));
    EXPECT_EQ(s.destination.addresses.back(), "/big");

    Stream noSocket;
    noSocket.state.socket = nullptr;
    EXPECT_EQ(noSocket.read(slip(kPing)), OSCParserError::noSocket);
}

TEST(OSCParserPLHTest, LengthPrefixedFrames) {
    constexpr auto PLH = OSCTCPStreamFraming::PLH;
    Stream s;
    // A zero length is scanned away; a frame cut across reads waits for its rest; a frame that does
    // not parse is dropped whole, so its bytes never pass for frames; a length beyond the frame
    // limit ends the stream, and what its payload holds never runs.
    const Bytes stream = concat({oscFramedPacket(kPing, PLH), sized(kEmptyBundle), bytes("00000000"), sized(kPing),
                                 sized(concat({bytes("'x' 000000"), sized(kPing)})), bytes("7FFFFFFF"), sized(kPing)});
    EXPECT_FALSE(s.read(cut(stream, 0, 50), PLH));
    EXPECT_EQ(s.buffer.size(), 10u);  // the length and 6 of the 12 bytes
    EXPECT_EQ(s.read(cut(stream, 50, stream.size()), PLH), OSCParserError::frameTooLong);
    EXPECT_EQ(s.destination.addresses, (std::vector<std::string>{"/ping", "#bundle", "/ping"}));
    EXPECT_TRUE(s.buffer.empty());
    EXPECT_FALSE(s.read(bytes("000000"), PLH));
    EXPECT_EQ(s.buffer.size(), 3u);
}

}  // namespace
}  // namespace pavonix::osc
