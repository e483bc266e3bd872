// Test support: a self-signed identity for "localhost" and 127.0.0.1, made at run time with the
// OpenSSL API so that no key ever lives in the repository.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <string>
#include <vector>

namespace pavonix::sockets::testing {

struct TlsIdentity {
    std::string keyPem;
    std::string certificatePem;
    // Key and certificate in one, as the certificates setting takes it.
    std::vector<std::uint8_t> identity() const {
        const std::string both = keyPem + certificatePem;
        return {both.begin(), both.end()};
    }
};

inline TlsIdentity makeTlsIdentity() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(certificate, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    if (X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name,
                                                     "DNS:localhost,IP:127.0.0.1")) {
        X509_add_ext(certificate, names, -1);
        X509_EXTENSION_free(names);
    }
    X509_sign(certificate, key, EVP_sha256());

    const auto pem = [](auto write) {
        BIO* out = BIO_new(BIO_s_mem());
        write(out);
        char* data = nullptr;
        const long length = BIO_get_mem_data(out, &data);
        std::string text(data, static_cast<std::size_t>(length));
        BIO_free(out);
        return text;
    };
    TlsIdentity identity{pem([&](BIO* out) { PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr); }),
                         pem([&](BIO* out) { PEM_write_bio_X509(out, certificate); })};
    X509_free(certificate);
    EVP_PKEY_free(key);
    return identity;
}

}  // namespace pavonix::sockets::testing
