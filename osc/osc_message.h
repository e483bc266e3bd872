// An OSC message: an address, tagged arguments and, for a received one, the socket to reply on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_packet.h"

namespace pavonix::osc {

// The address split at every "/" without its first piece: "/a/b" gives a and b, "/" one empty
// part, "/a//b" a, an empty part and b; a text without a leading "/" loses its first segment.
std::vector<std::string> oscAddressParts(std::string_view address);

class OSCMessage final : public OSCPacket {
public:
    // An address that is empty or does not start with "/" becomes "/" (it is not prefixed: a
    // misspelt address must not reach a different method). Tags follow from the values.
    explicit OSCMessage(std::string_view address, std::vector<OSCValue> arguments = {});

    const std::string& addressPattern() const { return addressPattern_; }
    std::vector<std::string> addressParts() const { return oscAddressParts(addressPattern_); }
    const std::vector<OSCValue>& arguments() const { return arguments_; }
    // "," and one character per tagged argument.
    const std::string& typeTagString() const { return typeTagString_; }
    std::vector<OSCArgument> argumentTypes() const;

    const std::shared_ptr<OSCSocket>& replySocket() const { return replySocket_; }
    void setReplySocket(std::shared_ptr<OSCSocket> socket) { replySocket_ = std::move(socket); }

    // Same rule as the constructor; arguments and tags stay.
    void readdress(std::string_view address);

    std::vector<std::uint8_t> packetData() const override;
    std::size_t encodedSize() const;
    // Writes encodedSize() bytes into zeroed room at p.
    std::uint8_t* encode(std::uint8_t* p) const;

private:
    std::string addressPattern_;
    std::string typeTagString_;
    std::vector<OSCValue> arguments_;
    std::shared_ptr<OSCSocket> replySocket_;
};

}  // namespace pavonix::osc
