// The byte rules shared by the encoders and the parser: big-endian 32-bit words and the 4-byte
// alignment of strings and blobs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace pavonix::osc {

// "#bundle" as an OSC string: the first 8 bytes of every bundle.
inline constexpr std::uint8_t kOSCBundleHeader[8] = {'#', 'b', 'u', 'n', 'd', 'l', 'e', 0};

inline std::uint32_t readUInt32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

inline void writeUInt32(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value >> 24);
    p[1] = static_cast<std::uint8_t>(value >> 16);
    p[2] = static_cast<std::uint8_t>(value >> 8);
    p[3] = static_cast<std::uint8_t>(value);
}

// A string always ends in 1 to 4 NULs: one that is already a multiple of 4 long gets four.
constexpr std::size_t oscStringSize(std::size_t textBytes) { return textBytes + 4 - textBytes % 4; }
// A blob is its 4-byte count, its bytes and 0 to 3 NULs.
constexpr std::size_t oscBlobSize(std::size_t bytes) { return 4 + (bytes + 3) / 4 * 4; }

// The writers below write their padding too and return the position after what they wrote.
inline std::uint8_t* writeOSCString(std::uint8_t* p, std::string_view text) {
    const std::size_t size = oscStringSize(text.size());
    std::memset(p + size - 4, 0, 4);  // covers the 1 to 4 NULs
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    return p + size;
}

inline std::uint8_t* writeOSCBlob(std::uint8_t* p, std::span<const std::uint8_t> bytes) {
    const std::size_t size = oscBlobSize(bytes.size());
    writeUInt32(p, static_cast<std::uint32_t>(bytes.size()));
    if (size > 4) std::memset(p + size - 4, 0, 4);
    if (!bytes.empty()) std::memcpy(p + 4, bytes.data(), bytes.size());
    return p + size;
}

// A packet's bytes in one allocation: Packet has encodedSize() and encode(room of that size).
template <typename Packet>
std::vector<std::uint8_t> encodedBytes(const Packet& packet) {
    std::vector<std::uint8_t> bytes(packet.encodedSize());
    packet.encode(bytes.data());
    return bytes;
}

}  // namespace pavonix::osc
