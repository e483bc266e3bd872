// Base64 in the two forms the signing scheme and the wire payloads use.
//
// The decoders are deliberately strict: a signature, secret or body that arrives with stray
// characters, broken padding or non-canonical trailing bits is refused instead of being read
// "close enough", so that one byte string has exactly one accepted text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace pavonix::crypto {

using Bytes = std::vector<std::uint8_t>;

// Standard alphabet with "=" padding (RFC 4648 section 4).
std::string base64Encode(std::span<const std::uint8_t> bytes);
std::string base64Encode(std::string_view bytes);

// Strict standard base64: the length is a multiple of four, only the standard alphabet, at most
// two "=" and only at the end, and the unused bits of the last character are zero. No white space.
std::optional<Bytes> base64Decode(std::string_view text);

// Unpadded base64url: standard base64 with "+" as "-", "/" as "_" and every "=" removed.
std::string base64urlEncode(std::span<const std::uint8_t> bytes);
std::string base64urlEncode(std::string_view bytes);

// Restores the standard alphabet and the padding, then decodes strictly. Text already in the
// standard alphabet, or already padded, decodes as well.
std::optional<Bytes> base64urlDecode(std::string_view text);

}  // namespace pavonix::crypto
