// Turning received bytes into OSC packets: one whole packet (a datagram), or a chunk of a TCP
// stream cut into frames by SLIP (RFC 1055) or by a 4-byte length prefix.
//
// Errors are values: nothing here throws, so a socket callback can hand any bytes from the network
// to the parser. Everything is bounded: frames to 1 MiB, bundle nesting to 64 levels, and every
// size field is checked against what is left before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "osc/osc_bundle.h"
#include "osc/osc_message.h"
#include "osc/osc_packet.h"
#include "platform/buffers/paged_memory.h"

namespace pavonix::osc {

enum class OSCParserError {
    unrecognisedData,        // empty, or not starting with "/" or "#bundle"
    noSocket,                // the stream state names no socket
    cantConfirmDanglingESC,  // kept for callers that render every case; the typed state cannot lack it
    cantParseAddressPattern,
    cantParseTypeTagString,
    cantParseOSCString,
    cantParseOSCInt,
    cantParseOSCFloat,
    cantParseOSCBlob,
    cantParseOSCTimeTag,
    cantParseSizeOfElement,  // a bundle element's size is missing, negative or larger than what is left
    cantParseTypeOfElement,
    cantParseBundleElement,  // bundles nested deeper than OSCParser::kMaxBundleDepth
    frameTooLong,            // a frame beyond OSCParser::kMaxFrameBytes
};

// The case name, which is how an error is shown.
std::string_view oscParserErrorName(OSCParserError error);

enum class OSCTCPStreamFraming { SLIP, PLH };

// A packet framed for a TCP stream: SLIP as END, the packet with END and ESC escaped, END; PLH as
// the packet's length (32-bit big-endian) and the packet.
std::vector<std::uint8_t> oscFramedPacket(std::span<const std::uint8_t> packet, OSCTCPStreamFraming framing);

// The bytes a TCP connection holds for its unfinished frame. Peers decide how large it grows, so
// its capacity is what the process really holds for it, and a large one goes back to the system
// when it is freed.
using OSCFrameBuffer = std::vector<std::uint8_t, buffers::PagedAllocator<std::uint8_t>>;

// What a TCP connection keeps between reads besides its frame buffer.
struct OSCStreamState {
    std::shared_ptr<OSCSocket> socket;  // the reply socket of every packet from the connection
    bool danglingESC = false;           // SLIP: the previous read ended in ESC
    bool discardingFrame = false;       // SLIP: dropping an over-long frame up to the next END
};

class OSCParser {
public:
    static constexpr std::size_t kMaxFrameBytes = std::size_t{1} << 20;
    static constexpr int kMaxBundleDepth = 64;

    // Parses one whole packet and, on success only, hands it to the destination before returning,
    // with replySocket attached to the top-level packet.
    std::optional<OSCParserError> process(std::span<const std::uint8_t> packet, OSCPacketDestination& destination,
                                          std::shared_ptr<OSCSocket> replySocket);

    // Cuts the frames out of bytes just read from a connection, with the connection's own frame
    // buffer and state, and processes each complete one. An incomplete frame stays in the buffer
    // for the next read.
    // SLIP: the first bad or over-long frame ends the chunk with its error; the frames after it do
    // not run. A length-prefixed stream drops a frame that does not parse and goes on, rescans a
    // length below 1 one byte further on, and answers frameTooLong for a length above
    // kMaxFrameBytes (the stream cannot be trusted after it).
    std::optional<OSCParserError> translate(std::span<const std::uint8_t> data, OSCTCPStreamFraming framing,
                                            OSCFrameBuffer& frameBuffer, OSCStreamState& state,
                                            OSCPacketDestination& destination);

    // The bundle in bytes, without a reply socket.
    static std::variant<std::shared_ptr<OSCBundle>, OSCParserError> parseBundle(std::span<const std::uint8_t> bytes);
    // The message in bytes; bytes after its last argument are ignored.
    static std::variant<std::shared_ptr<OSCMessage>, OSCParserError> parseMessage(std::span<const std::uint8_t> bytes);

private:
    std::optional<OSCParserError> translateSLIP(std::span<const std::uint8_t> data, OSCFrameBuffer& frame,
                                                OSCStreamState& state, OSCPacketDestination& destination);
    std::optional<OSCParserError> translatePLH(std::span<const std::uint8_t> data, OSCFrameBuffer& buffer,
                                               OSCStreamState& state, OSCPacketDestination& destination);
};

}  // namespace pavonix::osc
