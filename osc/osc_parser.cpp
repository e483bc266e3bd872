#include "osc/osc_parser.h"

#include <bit>
#include <cstring>

#include "osc/osc_encoding.h"

namespace pavonix::osc {

namespace {

constexpr std::uint8_t kEnd = 0xC0;
constexpr std::uint8_t kEsc = 0xDB;
constexpr std::uint8_t kEscEnd = 0xDC;
constexpr std::uint8_t kEscEsc = 0xDD;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUTF8(const std::uint8_t* p, std::size_t size) {
    const std::uint8_t* end = p + size;
    while (p < end) {
        if (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                p += 8;
                continue;
            }
        }
        const std::uint8_t lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        int length;
        std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (end - p < length) return false;
        if (p[1] < low || p[1] > high) return false;
        for (int i = 2; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += length;
    }
    return true;
}

// Reads items from a span. A read that would pass the end fails and leaves the position alone;
// the position itself may lie past the end after string padding, which fails the next read.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    std::size_t left() const { return pos_ < bytes_.size() ? bytes_.size() - pos_ : 0; }

    bool string(std::string_view& text) {
        if (left() == 0) return false;
        const std::uint8_t* start = bytes_.data() + pos_;
        const std::uint8_t* end = bytes_.data() + bytes_.size();
        // One pass finds the NUL and whether any byte is non-ASCII, eight bytes at a time.
        const std::uint8_t* p = start;
        std::uint64_t seen = 0;
        for (std::uint64_t word; end - p >= 8; p += 8) {
            std::memcpy(&word, p, 8);
            if (((word - 0x0101010101010101ULL) & ~word & 0x8080808080808080ULL) != 0) break;
            seen |= word;
        }
        while (p < end && *p != 0) seen |= *p++;
        if (p == end) return false;
        const auto length = static_cast<std::size_t>(p - start);
        if ((seen & 0x8080808080808080ULL) != 0 && !isValidUTF8(start, length)) return false;
        text = std::string_view(reinterpret_cast<const char*>(start), length);
        pos_ += oscStringSize(length);
        return true;
    }

    bool word(std::uint32_t& value) {
        if (left() < 4) return false;
        value = readUInt32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }

    bool blob(OSCBlob& blob) {
        if (left() < 4) return false;
        const auto size = static_cast<std::int32_t>(readUInt32(bytes_.data() + pos_));
        if (size < 0 || std::uint64_t(size) > std::uint64_t(left() - 4)) return false;
        const std::uint8_t* start = bytes_.data() + pos_ + 4;
        blob.bytes.assign(start, start + size);
        pos_ += oscBlobSize(static_cast<std::size_t>(size));
        return true;
    }

    bool timeTag(std::optional<OSCTimeTag>& tag) {
        if (left() < 8) return false;
        tag = OSCTimeTag::fromData(bytes_.subspan(pos_, 8));
        pos_ += 8;
        return true;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t pos_ = 0;
};

using MessageResult = std::variant<std::shared_ptr<OSCMessage>, OSCParserError>;
using BundleResult = std::variant<std::shared_ptr<OSCBundle>, OSCParserError>;

BundleResult readBundle(std::span<const std::uint8_t> bytes, int depth) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kOSCBundleHeader, 8) != 0) return OSCParserError::unrecognisedData;
    if (bytes.size() < 16) return OSCParserError::cantParseOSCTimeTag;
    const OSCTimeTag timeTag = *OSCTimeTag::fromData(bytes.subspan(8, 8));

    // Each element is parsed within its own declared size, so a malformed element can never
    // read into its neighbour.
    std::span<const std::uint8_t> area = bytes.subspan(16);
    std::vector<std::shared_ptr<OSCPacket>> elements;
    // Count the elements first, so their list is allocated once (at most one entry per 4 bytes).
    std::size_t count = 0;
    for (std::size_t at = 0; area.size() - at >= 4 && count < area.size() / 4; ++count) {
        at += 4 + static_cast<std::size_t>(readUInt32(area.data() + at));
        if (at > area.size()) break;
    }
    elements.reserve(count);
    while (!area.empty()) {
        if (area.size() < 4) return OSCParserError::cantParseSizeOfElement;
        const auto size = static_cast<std::int32_t>(readUInt32(area.data()));
        if (size < 0 || std::uint64_t(size) > std::uint64_t(area.size() - 4)) {
            return OSCParserError::cantParseSizeOfElement;
        }
        const std::span<const std::uint8_t> element = area.subspan(4, static_cast<std::size_t>(size));
        area = area.subspan(4 + element.size());
        if (element.empty() || element.front() >= 0x80) return OSCParserError::cantParseTypeOfElement;
        if (element.front() == '/') {
            MessageResult message = OSCParser::parseMessage(element);
            if (auto* error = std::get_if<OSCParserError>(&message)) return *error;
            elements.push_back(std::move(std::get<0>(message)));
        } else if (element.front() == '#') {
            if (depth >= OSCParser::kMaxBundleDepth) return OSCParserError::cantParseBundleElement;
            BundleResult nested = readBundle(element, depth + 1);
            if (auto* error = std::get_if<OSCParserError>(&nested)) return *error;
            elements.push_back(std::move(std::get<0>(nested)));
        } else {
            return OSCParserError::unrecognisedData;
        }
    }
    return std::make_shared<OSCBundle>(std::move(elements), timeTag);
}

}  // namespace

std::string_view oscParserErrorName(OSCParserError error) {
    switch (error) {
        case OSCParserError::unrecognisedData: return "unrecognisedData";
        case OSCParserError::noSocket: return "noSocket";
        case OSCParserError::cantConfirmDanglingESC: return "cantConfirmDanglingESC";
        case OSCParserError::cantParseAddressPattern: return "cantParseAddressPattern";
        case OSCParserError::cantParseTypeTagString: return "cantParseTypeTagString";
        case OSCParserError::cantParseOSCString: return "cantParseOSCString";
        case OSCParserError::cantParseOSCInt: return "cantParseOSCInt";
        case OSCParserError::cantParseOSCFloat: return "cantParseOSCFloat";
        case OSCParserError::cantParseOSCBlob: return "cantParseOSCBlob";
        case OSCParserError::cantParseOSCTimeTag: return "cantParseOSCTimeTag";
        case OSCParserError::cantParseSizeOfElement: return "cantParseSizeOfElement";
        case OSCParserError::cantParseTypeOfElement: return "cantParseTypeOfElement";
        case OSCParserError::cantParseBundleElement: return "cantParseBundleElement";
        case OSCParserError::frameTooLong: return "frameTooLong";
    }
    return "unknown";
}

std::vector<std::uint8_t> oscFramedPacket(std::span<const std::uint8_t> packet, OSCTCPStreamFraming framing) {
    if (framing == OSCTCPStreamFraming::PLH) {
        std::vector<std::uint8_t> framed(4 + packet.size());
        writeUInt32(framed.data(), static_cast<std::uint32_t>(packet.size()));
        if (!packet.empty()) std::memcpy(framed.data() + 4, packet.data(), packet.size());
        return framed;
    }
    std::vector<std::uint8_t> framed;
    framed.reserve(packet.size() + 2);
    framed.push_back(kEnd);
    for (std::uint8_t byte : packet) {
        if (byte == kEnd || byte == kEsc) {
            framed.push_back(kEsc);
            framed.push_back(byte == kEnd ? kEscEnd : kEscEsc);
        } else {
            framed.push_back(byte);
        }
    }
    framed.push_back(kEnd);
    return framed;
}

std::variant<std::shared_ptr<OSCBundle>, OSCParserError> OSCParser::parseBundle(std::span<const std::uint8_t> bytes) {
    return readBundle(bytes, 1);
}

std::variant<std::shared_ptr<OSCMessage>, OSCParserError> OSCParser::parseMessage(std::span<const std::uint8_t> bytes) {
    Reader reader(bytes);
    std::string_view address;
    if (!reader.string(address)) return OSCParserError::cantParseAddressPattern;
    std::string_view tags;
    if (!reader.string(tags)) return OSCParserError::cantParseTypeTagString;

    const bool tagged = tags.size() > 1 && tags.front() == ',';
    auto message = std::make_shared<OSCMessage>(OSCMessage::ParserAccess(), address, tagged ? tags.size() - 1 : 0);
    OSCMessage& m = *message;
    bool skipped = false;
    for (char tag : tagged ? tags.substr(1) : std::string_view()) {
        std::uint32_t word;
        // The usual kinds first, without a jump table.
        if (tag == 'i') {
            if (!reader.word(word)) return OSCParserError::cantParseOSCInt;
            m.emplaceArgument<std::int32_t>(static_cast<std::int32_t>(word));
        } else if (tag == 'f') {
            if (!reader.word(word)) return OSCParserError::cantParseOSCFloat;
            m.emplaceArgument<float>(std::bit_cast<float>(word));
        } else if (tag == 's') {
            std::string_view text;
            if (!reader.string(text)) return OSCParserError::cantParseOSCString;
            m.emplaceArgument<std::string>(text);
        } else if (tag == 'b') {
            OSCBlob blob;
            if (!reader.blob(blob)) return OSCParserError::cantParseOSCBlob;
            m.emplaceArgument<OSCBlob>(std::move(blob));
        } else if (tag == 't') {
            std::optional<OSCTimeTag> timeTag;
            if (!reader.timeTag(timeTag)) return OSCParserError::cantParseOSCTimeTag;
            m.emplaceArgument<OSCTimeTag>(*timeTag);
        } else if (tag == 'T' || tag == 'F' || tag == 'N' || tag == 'I') {
            m.emplaceArgument<OSCArgument>(tag == 'T'   ? OSCArgument::oscTrue
                                           : tag == 'F' ? OSCArgument::oscFalse
                                           : tag == 'N' ? OSCArgument::oscNil
                                                        : OSCArgument::oscImpulse);
        } else {
            skipped = true;  // an unknown tag is passed over and reads nothing
        }
    }
    if (tagged && !skipped) {
        m.typeTagString_.assign(tags);
    } else {
        m.deriveTags();
    }
    return message;
}


std::optional<OSCParserError> OSCParser::process(std::span<const std::uint8_t> packet,
                                                 OSCPacketDestination& destination,
                                                 std::shared_ptr<OSCSocket> replySocket) {
    if (packet.empty()) return OSCParserError::unrecognisedData;
    if (packet.front() == '/') {
        MessageResult message = OSCParser::parseMessage(packet);
        if (auto* error = std::get_if<OSCParserError>(&message)) return *error;
        auto& parsed = std::get<0>(message);
        parsed->setReplySocket(std::move(replySocket));
        destination.handleMessage(std::move(parsed));
        return std::nullopt;
    }
    if (packet.front() == '#') {
        BundleResult bundle = readBundle(packet, 1);
        if (auto* error = std::get_if<OSCParserError>(&bundle)) return *error;
        auto& parsed = std::get<0>(bundle);
        parsed->setReplySocket(std::move(replySocket));
        destination.handleBundle(std::move(parsed));
        return std::nullopt;
    }
    return OSCParserError::unrecognisedData;
}

std::optional<OSCParserError> OSCParser::translate(std::span<const std::uint8_t> data, OSCTCPStreamFraming framing,
                                                   OSCFrameBuffer& frameBuffer, OSCStreamState& state,
                                                   OSCPacketDestination& destination) {
    if (!state.socket) return OSCParserError::noSocket;
    if (framing == OSCTCPStreamFraming::SLIP) return translateSLIP(data, frameBuffer, state, destination);
    return translatePLH(data, frameBuffer, state, destination);
}

std::optional<OSCParserError> OSCParser::translateSLIP(std::span<const std::uint8_t> data,
                                                       OSCFrameBuffer& frame, OSCStreamState& state,
                                                       OSCPacketDestination& destination) {
    // False once the frame has grown past the limit: it is dropped up to its END.
    auto append = [&](const std::uint8_t* bytes, std::size_t count) {
        if (state.discardingFrame || count == 0) return true;
        if (frame.size() + count > kMaxFrameBytes) {
            frame.clear();
            frame.shrink_to_fit();
            state.discardingFrame = true;
            return false;
        }
        frame.insert(frame.end(), bytes, bytes + count);
        return true;
    };
    // A byte after ESC other than the two escape codes is kept as it is, as RFC 1055 advises, in
    // the same way whether or not a read boundary fell between the two: the packets of a stream
    // never depend on how it was cut into reads.
    auto unescape = [](std::uint8_t byte) -> std::uint8_t {
        return byte == kEscEnd ? kEnd : byte == kEscEsc ? kEsc : byte;
    };

    // The first bad frame ends the chunk: what follows it is not run, so whether a frame after a
    // bad one runs never depends on where the stream was cut into reads.
    std::size_t i = 0;
    const std::size_t n = data.size();
    if (state.danglingESC && n > 0) {
        state.danglingESC = false;
        const std::uint8_t byte = unescape(data[0]);
        if (!append(&byte, 1)) return OSCParserError::frameTooLong;
        i = 1;
    }
    while (i < n) {
        // Copy the run of ordinary bytes in one step.
        std::size_t run = i;
        while (run < n && data[run] != kEnd && data[run] != kEsc) ++run;
        if (!append(data.data() + i, run - i)) return OSCParserError::frameTooLong;
        i = run;
        if (i == n) break;
        if (data[i] == kEnd) {
            ++i;
            if (state.discardingFrame) {
                state.discardingFrame = false;
            } else if (!frame.empty()) {
                const auto error = process(frame, destination, state.socket);
                frame.clear();
                if (error) return error;
            }
        } else if (i + 1 < n) {
            const std::uint8_t byte = unescape(data[i + 1]);
            if (!append(&byte, 1)) return OSCParserError::frameTooLong;
            i += 2;
        } else {
            state.danglingESC = true;
            ++i;
        }
    }
    return std::nullopt;
}

std::optional<OSCParserError> OSCParser::translatePLH(std::span<const std::uint8_t> data,
                                                      OSCFrameBuffer& buffer, OSCStreamState& state,
                                                      OSCPacketDestination& destination) {
    buffer.insert(buffer.end(), data.begin(), data.end());
    std::size_t at = 0;
    // A frame needs its 4-byte length and at least one byte.
    while (buffer.size() - at > 4) {
        const auto length = static_cast<std::int32_t>(readUInt32(buffer.data() + at));
        if (length < 1) {
            ++at;
            continue;
        }
        // Rescanning the bytes of an over-long frame for frames would run what its payload says,
        // so the stream cannot be trusted any further.
        if (std::uint64_t(length) > kMaxFrameBytes) {
            buffer.clear();
            buffer.shrink_to_fit();
            return OSCParserError::frameTooLong;
        }
        if (std::uint64_t(buffer.size() - at - 4) < std::uint64_t(length)) break;  // wait for the rest
        // A frame that does not parse is dropped whole; its inner bytes are never taken as frames.
        (void)process(std::span(buffer).subspan(at + 4, static_cast<std::size_t>(length)), destination, state.socket);
        at += 4 + static_cast<std::size_t>(length);
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(at));
    return std::nullopt;
}

}  // namespace pavonix::osc
