// An OSC bundle: a time tag and elements, each a message or a nested bundle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "osc/osc_packet.h"
#include "osc/osc_time_tag.h"

namespace pavonix::osc {

class OSCBundle final : public OSCPacket {
public:
    explicit OSCBundle(std::vector<std::shared_ptr<OSCPacket>> elements, OSCTimeTag timeTag = {},
                       std::shared_ptr<OSCSocket> replySocket = {})
        : timeTag_(timeTag), elements_(std::move(elements)), replySocket_(std::move(replySocket)) {}

    const OSCTimeTag& timeTag() const { return timeTag_; }
    void setTimeTag(OSCTimeTag timeTag) { timeTag_ = timeTag; }
    const std::vector<std::shared_ptr<OSCPacket>>& elements() const { return elements_; }
    void setElements(std::vector<std::shared_ptr<OSCPacket>> elements) { elements_ = std::move(elements); }
    const std::shared_ptr<OSCSocket>& replySocket() const { return replySocket_; }
    void setReplySocket(std::shared_ptr<OSCSocket> socket) { replySocket_ = std::move(socket); }

    // Elements other than messages and bundles are left out.
    std::vector<std::uint8_t> packetData() const override;
    std::size_t encodedSize() const;
    // Writes encodedSize() bytes at p; packetData() without the allocation.
    std::uint8_t* encode(std::uint8_t* p) const;

private:
    OSCTimeTag timeTag_;
    std::vector<std::shared_ptr<OSCPacket>> elements_;
    std::shared_ptr<OSCSocket> replySocket_;
};

}  // namespace pavonix::osc
