// Test helpers of the OSC library: byte vectors written as hex, a destination that keeps what it
// receives, and a stand-in reply socket (the parser only passes it on, never uses it).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_bundle.h"
#include "osc/osc_message.h"
#include "osc/osc_packet.h"

namespace pavonix::osc::testing {

// "2F 61 00 00" or "2F610000"; a 'quoted' run is taken as its ASCII bytes: "'/ping' 00 00 00".
inline std::vector<std::uint8_t> bytes(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ') continue;
        if (text[i] == '\'') {
            while (++i < text.size() && text[i] != '\'') out.push_back(static_cast<std::uint8_t>(text[i]));
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return out;
}

inline std::vector<std::uint8_t> concat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline std::vector<OSCValue> argumentsOf(const OSCMessage& message) {
    return {message.arguments().begin(), message.arguments().end()};
}

inline std::shared_ptr<OSCSocket> fakeSocket() {
    auto owner = std::make_shared<std::uint64_t>(0);
    return std::shared_ptr<OSCSocket>(owner, reinterpret_cast<OSCSocket*>(owner.get()));
}

struct RecordingDestination : OSCPacketDestination {
    void handleMessage(std::shared_ptr<OSCMessage> m) override { addresses.emplace_back(m->addressPattern()), messages.push_back(m); }
    void handleBundle(std::shared_ptr<OSCBundle> b) override { addresses.push_back("#bundle"), bundles.push_back(b); }
    std::vector<std::shared_ptr<OSCMessage>> messages;
    std::vector<std::shared_ptr<OSCBundle>> bundles;
    std::vector<std::string> addresses;  // in arrival order, "#bundle" for a bundle
};

}  // namespace pavonix::osc::testing
