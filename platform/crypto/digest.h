// SHA-256 and HMAC-SHA256 over OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace pavonix::crypto {

inline constexpr std::size_t kSha256Size = 32;
using Sha256Digest = std::array<std::uint8_t, kSha256Size>;

Sha256Digest sha256(std::span<const std::uint8_t> data);
Sha256Digest sha256(std::string_view data);

// Keys of any length, the empty key included (RFC 2104).
Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);
Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::string_view data);

}  // namespace pavonix::crypto
