#include "platform/crypto/digest.h"

#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

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

// EVP_sha256() hands out a legacy descriptor that libcrypto resolves again ("fetches") on every
// use; fetching once keeps a digest of a short text several times cheaper. Fetched descriptors
// are immutable and safe to share between threads.
const EVP_MD* sha256Descriptor() {
    static EVP_MD* const descriptor = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) fail("fetching SHA-256");
        return fetched;
    }();
    return descriptor;
}

}  // namespace

Sha256Digest sha256(std::span<const std::uint8_t> data) {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, sha256Descriptor(), nullptr) != 1 ||
        length != kSha256Size) {
        fail("SHA-256");
    }
    return digest;
}

Sha256Digest sha256(std::string_view data) {
    return sha256(std::span(asBytes(data), data.size()));
}

Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data) {
    // The one-shot HMAC() fetches the MAC and the digest anew on every call, which costs more than
    // the hashing itself for a short canonical text. Each thread keeps one HMAC context with the
    // digest already set and only re-keys it per call.
    struct ContextDeleter {
        void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
    };
    thread_local const std::unique_ptr<EVP_MAC_CTX, ContextDeleter> context = [] {
        EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        if (mac == nullptr) fail("fetching HMAC");
        EVP_MAC_CTX* created = EVP_MAC_CTX_new(mac);
        EVP_MAC_free(mac);  // the context holds its own reference
        char digestName[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                                     OSSL_PARAM_construct_end()};
        if (created == nullptr || EVP_MAC_CTX_set_params(created, params) != 1) fail("setting up HMAC-SHA256");
        return std::unique_ptr<EVP_MAC_CTX, ContextDeleter>(created);
    }();
    // An empty key is a valid HMAC key, but libcrypto wants a non-null pointer for it.
    static const std::uint8_t kEmpty = 0;
    Sha256Digest digest{};
    std::size_t length = 0;
    if (EVP_MAC_init(context.get(), key.empty() ? &kEmpty : key.data(), key.size(), nullptr) != 1 ||
        EVP_MAC_update(context.get(), data.empty() ? &kEmpty : data.data(), data.size()) != 1 ||
        EVP_MAC_final(context.get(), digest.data(), &length, digest.size()) != 1 || length != kSha256Size) {
        fail("HMAC-SHA256");
    }
    return digest;
}

Sha256Digest hmacSha256(std::span<const std::uint8_t> key, std::string_view data) {
    return hmacSha256(key, std::span(asBytes(data), data.size()));
}

}  // namespace pavonix::crypto
