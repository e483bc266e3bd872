#include "platform/crypto/base64.h"

#include <array>

namespace pavonix::crypto {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeDecodeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& value : table) value = -1;
    for (std::size_t i = 0; i < kAlphabet.size(); ++i) {
        table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}
constexpr auto kDecode = makeDecodeTable();

std::string encode(const std::uint8_t* data, std::size_t size, bool url) {
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t n = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    const std::size_t rest = size - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t{data[i]} << 16;
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        if (!url) out += "==";
    } else if (rest == 2) {
        const std::uint32_t n = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        if (!url) out += '=';
    }
    if (url) {
        for (char& c : out) {
            if (c == '+') c = '-';
            else if (c == '/') c = '_';
        }
    }
    return out;
}

const std::uint8_t* asBytes(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

}  // namespace

std::string base64Encode(std::span<const std::uint8_t> bytes) {
    return encode(bytes.data(), bytes.size(), false);
}

std::string base64Encode(std::string_view bytes) {
    return encode(asBytes(bytes), bytes.size(), false);
}

std::string base64urlEncode(std::span<const std::uint8_t> bytes) {
    return encode(bytes.data(), bytes.size(), true);
}

std::string base64urlEncode(std::string_view bytes) {
    return encode(asBytes(bytes), bytes.size(), true);
}

std::optional<Bytes> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = 1;
        if (text[text.size() - 2] == '=') padding = 2;
    }
    const std::size_t symbols = text.size() - padding;
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < symbols; ++i) {
        const std::int8_t value = kDecode[static_cast<unsigned char>(text[i])];
        if (value < 0) return std::nullopt;  // includes a "=" before the end
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>(accumulator >> bits));
            accumulator &= (1u << bits) - 1;
        }
    }
    // Whatever bits are left over only pad the last byte; a canonical encoder writes them as zero.
    if (accumulator != 0) return std::nullopt;
    return out;
}

std::optional<Bytes> base64urlDecode(std::string_view text) {
    std::string standard(text);
    for (char& c : standard) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    while (standard.size() % 4 != 0) standard += '=';
    return base64Decode(standard);
}

}  // namespace pavonix::crypto
