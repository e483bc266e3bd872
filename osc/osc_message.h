// An OSC message: an address, tagged arguments and, for a received one, the socket to reply on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_packet.h"

namespace pavonix::osc {

// The address split at every "/" without its first piece: "/a/b" gives a and b, "/" one empty
// part, "/a//b" a, an empty part and b; a text without a leading "/" loses its first segment.
std::vector<std::string> oscAddressParts(std::string_view address);

class OSCMessage final : public OSCPacket {
    struct ParserAccess {
        explicit ParserAccess() = default;
    };

public:
    // An address that is empty or does not start with "/" becomes "/" (it is not prefixed: a
    // misspelt address must not reach a different method). Tags follow from the values.
    explicit OSCMessage(std::string_view address, std::vector<OSCValue> arguments = {});
    // The parser's: room for up to capacity arguments, added by OSCParser and then tagged.
    OSCMessage(ParserAccess, std::string_view address, std::size_t capacity);
    ~OSCMessage() override;
    OSCMessage(const OSCMessage&) = delete;
    OSCMessage& operator=(const OSCMessage&) = delete;

    std::string_view addressPattern() const { return {addressHeap_ ? addressHeap_.get() : addressInline_, addressSize_}; }
    std::vector<std::string> addressParts() const { return oscAddressParts(addressPattern()); }
    std::span<const OSCValue> arguments() const;
    // "," and one character per tagged argument.
    const std::string& typeTagString() const { return typeTagString_; }

    const std::shared_ptr<OSCSocket>& replySocket() const { return replySocket_; }
    void setReplySocket(std::shared_ptr<OSCSocket> socket) { replySocket_ = std::move(socket); }

    // Same rule as the constructor; arguments and tags stay.
    void readdress(std::string_view address);

    std::vector<std::uint8_t> packetData() const override;
    std::size_t encodedSize() const;
    // Writes encodedSize() bytes at p; packetData() without the allocation.
    std::uint8_t* encode(std::uint8_t* p) const;

private:
    friend class OSCParser;

    template <typename T, typename... Args>
    void emplaceArgument(Args&&... args) {
        if (spilled_) {
            spilledArguments_.emplace_back(std::in_place_type<T>, std::forward<Args>(args)...);
        } else {
            ::new (inlineSlot(inlineCount_)) OSCValue(std::in_place_type<T>, std::forward<Args>(args)...);
            ++inlineCount_;
        }
    }
    void deriveTags();

    // A parsed message is one allocation when its address and argument list are short: both are
    // kept inline then.
    static constexpr std::size_t kInlineAddress = 48;
    static constexpr std::size_t kInlineArguments = 12;
    char addressInline_[kInlineAddress];
    std::unique_ptr<char[]> addressHeap_;
    std::size_t addressSize_ = 0;
    std::string typeTagString_;
    OSCValue* inlineSlot(std::size_t i) { return reinterpret_cast<OSCValue*>(inlineArguments_) + i; }
    const OSCValue* inlineSlot(std::size_t i) const { return reinterpret_cast<const OSCValue*>(inlineArguments_) + i; }
    // Raw room: only the values in use are ever constructed.
    alignas(OSCValue) std::byte inlineArguments_[kInlineArguments * sizeof(OSCValue)];
    std::size_t inlineCount_ = 0;
    bool spilled_ = false;
    std::vector<OSCValue> spilledArguments_;  // instead of the inline ones when there are more
    std::shared_ptr<OSCSocket> replySocket_;
};

}  // namespace pavonix::osc
