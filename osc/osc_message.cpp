#include "osc/osc_message.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <type_traits>

#include "osc/osc_encoding.h"

namespace pavonix::osc {

namespace {

// The tag of a value, or 0 when it is carried untagged.
char tagOf(const OSCValue& value) {
    switch (value.index()) {
        case 0: return 's';
        case 1: return 'b';
        case 2:
        case 3: return 'i';
        case 4:
        case 5: return 'f';
        case 6: return 't';
        default:
            switch (std::get<OSCArgument>(value)) {
                case OSCArgument::oscTrue: return 'T';
                case OSCArgument::oscFalse: return 'F';
                case OSCArgument::oscNil: return 'N';
                case OSCArgument::oscImpulse: return 'I';
                default: return 0;
            }
    }
}
static_assert(std::is_same_v<std::variant_alternative_t<7, OSCValue>, OSCArgument>);

std::size_t argumentSize(const OSCValue& value) {
    switch (value.index()) {
        case 0: return oscStringSize(std::get<std::string>(value).size());
        case 1: return oscBlobSize(std::get<OSCBlob>(value).bytes.size());
        case 2:
        case 3:
        case 4:
        case 5: return 4;
        case 6: return 8;
        default: return 0;
    }
}

// The nearest 32-bit float, by IEEE round-to-nearest; a plain cast of a double beyond the float
// range is undefined.
float nearestFloat(double value) {
    if (std::isnan(value) || std::fabs(value) <= FLT_MAX) return static_cast<float>(value);
    const double halfUlpAboveMax = 0x1p103;
    const float magnitude = std::fabs(value) < double{FLT_MAX} + halfUlpAboveMax ? FLT_MAX : INFINITY;
    return value < 0 ? -magnitude : magnitude;
}

}  // namespace

OSCMessage::OSCMessage(std::string_view address, std::vector<OSCValue> arguments) {
    readdress(address);
    if (arguments.size() > kInlineArguments) {
        spilled_ = true;
        spilledArguments_ = std::move(arguments);
    } else {
        for (OSCValue& value : arguments) ::new (inlineSlot(inlineCount_++)) OSCValue(std::move(value));
    }
    deriveTags();
}

OSCMessage::~OSCMessage() {
    for (std::size_t i = 0; i < inlineCount_; ++i) inlineSlot(i)->~OSCValue();
}

OSCMessage::OSCMessage(ParserAccess, std::string_view address, std::size_t capacity) {
    readdress(address);
    if (capacity > kInlineArguments) {
        spilled_ = true;
        spilledArguments_.reserve(capacity);
    }
}

std::span<const OSCValue> OSCMessage::arguments() const {
    if (spilled_) return spilledArguments_;
    return {inlineSlot(0), inlineCount_};
}

void OSCMessage::deriveTags() {
    const auto values = arguments();
    typeTagString_.reserve(values.size() + 1);
    typeTagString_.assign(1, ',');
    for (const OSCValue& value : values) {
        if (char tag = tagOf(value)) typeTagString_.push_back(tag);
    }
}

std::vector<std::string> oscAddressParts(std::string_view address) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    bool first = true;
    while (true) {
        const std::size_t slash = address.find('/', start);
        const std::string_view piece = address.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (!first) parts.emplace_back(piece);
        first = false;
        if (slash == std::string_view::npos) return parts;
        start = slash + 1;
    }
}

void OSCMessage::readdress(std::string_view address) {
    if (address.empty() || address.front() != '/') address = "/";
    // The new text may be a view of the old one, so it is copied before the old one goes.
    std::unique_ptr<char[]> heap;
    if (address.size() > kInlineAddress) {
        heap = std::make_unique_for_overwrite<char[]>(address.size());
        std::memcpy(heap.get(), address.data(), address.size());
    } else if (address.data() != addressInline_) {
        std::memmove(addressInline_, address.data(), address.size());
    }
    addressHeap_ = std::move(heap);
    addressSize_ = address.size();
}

std::size_t OSCMessage::encodedSize() const {
    std::size_t size = oscStringSize(addressSize_) + oscStringSize(typeTagString_.size());
    for (const OSCValue& value : arguments()) size += argumentSize(value);
    return size;
}

std::uint8_t* OSCMessage::encode(std::uint8_t* p) const {
    p = writeOSCString(p, addressPattern());
    p = writeOSCString(p, typeTagString_);
    for (const OSCValue& value : arguments()) {
        switch (value.index()) {
            case 0: p = writeOSCString(p, std::get<std::string>(value)); break;
            case 1: p = writeOSCBlob(p, std::get<OSCBlob>(value).bytes); break;
            case 2: writeUInt32(p, static_cast<std::uint32_t>(std::get<std::int32_t>(value))); p += 4; break;
            case 3: writeUInt32(p, static_cast<std::uint32_t>(std::get<std::int64_t>(value))); p += 4; break;
            case 4: writeUInt32(p, std::bit_cast<std::uint32_t>(std::get<float>(value))); p += 4; break;
            case 5:
                writeUInt32(p, std::bit_cast<std::uint32_t>(nearestFloat(std::get<double>(value))));
                p += 4;
                break;
            case 6: {
                const auto bytes = std::get<OSCTimeTag>(value).data();
                std::memcpy(p, bytes.data(), bytes.size());
                p += bytes.size();
                break;
            }
            default: break;
        }
    }
    return p;
}

std::vector<std::uint8_t> OSCMessage::packetData() const { return encodedBytes(*this); }

}  // namespace pavonix::osc
