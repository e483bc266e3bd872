// Comparison of secret-derived bytes whose running time does not depend on where they differ.
#pragma once

#include <cstdint>
#include <span>

namespace pavonix::crypto {

// Lengths are compared first (a length is not secret); equal-length inputs are compared in
// time that depends only on the length.
bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b);

}  // namespace pavonix::crypto
