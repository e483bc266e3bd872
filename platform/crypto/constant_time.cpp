#include "platform/crypto/constant_time.h"

#include <openssl/crypto.h>

namespace pavonix::crypto {

bool constantTimeEqual(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace pavonix::crypto
