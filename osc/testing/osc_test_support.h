// Test helpers of the OSC library: byte vectors written as hex, a destination that keeps what it
// receives (packets and debug lines), and a stand-in reply socket (the parser only passes it on,
// never uses it).
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "osc/osc_bundle.h"
#include "osc/osc_message.h"
#include "osc/osc_packet.h"
#include "osc/osc_server.h"

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

// Keeps what it receives; a server may deliver on its queue while the test reads.
struct RecordingDestination : OSCPacketDestination, OSCDebugDelegate {
    void handleMessage(std::shared_ptr<OSCMessage> m) override {
        std::lock_guard lock(mutex);
        addresses.emplace_back(m->addressPattern());
        messages.push_back(std::move(m));
    }
    void handleBundle(std::shared_ptr<OSCBundle> b) override {
        std::lock_guard lock(mutex);
        addresses.push_back("#bundle");
        bundles.push_back(std::move(b));
    }
    void handleDebugMessage(std::string_view line) override {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return addresses;
    }
    bool hasLine(std::string_view prefix) {
        std::lock_guard lock(mutex);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return line.starts_with(prefix); });
    }

    std::mutex mutex;
    std::vector<std::shared_ptr<OSCMessage>> messages;
    std::vector<std::shared_ptr<OSCBundle>> bundles;
    std::vector<std::string> addresses;  // in arrival order, "#bundle" for a bundle
    std::vector<std::string> lines;      // debug lines
};

}  // namespace pavonix::osc::testing
