#include "platform/crypto/digest.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdlib>
#include <cstdio>

namespace pavonix::crypto {
namespace {

const std::uint8_t* asBytes(std::string_view text) {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

[[noreturn]] void fail(const char* what) {
    // libcrypto fails here only when it cannot allocate or is broken; there is no sound answer to
    // return instead of a digest, and a wrong digest would be worse than stopping.
    std::fprintf(stderr, "pavonix: %s failed in libcrypto\n", what);
    std::abort();
}

}  // namespace

Sha256Digest sha256(std::span<const std::uint8_t> data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1 ||
        length != kSha256Size) {
        fail("SHA-256");
    }
    return digest;
}

Sha256Digest sha256(std::string_view data) {
    return sha256(std::span(asBytes(data), data.size()));
}

Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    // HMAC() refuses a null key pointer even with length zero; an empty key is still a valid key.
    static const std::uint8_t kEmpty = 0;
    const void* keyData = key.empty() ? &kEmpty : key.data();
    if (HMAC(EVP_sha256(), keyData, static_cast<int>(key.size()), data.empty() ? &kEmpty : data.data(),
             data.size(), digest.data(), &length) == nullptr ||
        length != kSha256Size) {
        fail("HMAC-SHA256");
    }
    return digest;
}

Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::string_view data) {
    return hmacSha256(key, std::span(asBytes(data), data.size()));
}

}  // namespace pavonix::crypto
