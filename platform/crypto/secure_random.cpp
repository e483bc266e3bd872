#include "platform/crypto/secure_random.h"

#include <openssl/rand.h>

#include <climits>

namespace pavonix::crypto {

std::optional<std::vector<std::uint8_t>> secureRandomBytes(std::size_t count) {
    if (count > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    std::vector<std::uint8_t> bytes(count);
    if (count == 0) return bytes;
    if (RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) return std::nullopt;
    return bytes;
}

}  // namespace pavonix::crypto
