// Random material for secrets, identifiers and nonces, from the system's secure generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pavonix::crypto {

// `count` bytes from OpenSSL's RAND_bytes (seeded from getrandom); nothing when the generator
// cannot deliver. Callers report "Unable to generate secure random bytes." in that case.
std::optional<std::vector<std::uint8_t>> secureRandomBytes(std::size_t count);

}  // namespace pavonix::crypto
