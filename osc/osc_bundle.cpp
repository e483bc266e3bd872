#include "osc/osc_bundle.h"

#include <cstring>

#include "osc/osc_encoding.h"
#include "osc/osc_message.h"

namespace pavonix::osc {

std::size_t OSCBundle::encodedSize() const {
    std::size_t size = 16;
    for (const auto& element : elements_) {
        if (const auto* message = dynamic_cast<const OSCMessage*>(element.get())) {
            size += 4 + message->encodedSize();
        } else if (const auto* bundle = dynamic_cast<const OSCBundle*>(element.get())) {
            size += 4 + bundle->encodedSize();
        }
    }
    return size;
}

std::uint8_t* OSCBundle::encode(std::uint8_t* p) const {
    std::memcpy(p, kOSCBundleHeader, sizeof kOSCBundleHeader);
    const auto tag = timeTag_.data();
    std::memcpy(p + 8, tag.data(), tag.size());
    p += 16;
    for (const auto& element : elements_) {
        std::uint8_t* end = nullptr;
        if (const auto* message = dynamic_cast<const OSCMessage*>(element.get())) {
            end = message->encode(p + 4);
        } else if (const auto* bundle = dynamic_cast<const OSCBundle*>(element.get())) {
            end = bundle->encode(p + 4);
        } else {
            continue;
        }
        // The size is known once the element is written, so nested bundles are sized only once.
        writeUInt32(p, static_cast<std::uint32_t>(end - p - 4));
        p = end;
    }
    return p;
}

std::vector<std::uint8_t> OSCBundle::packetData() const { return encodedBytes(*this); }

}  // namespace pavonix::osc
