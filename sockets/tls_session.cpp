#include "sockets/tls_session.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>

#include "sockets/queue_tcp_socket.h"

namespace pavonix::sockets {

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMaxRecordPlaintext = 16384;

SocketError settingError(std::string text) {
    return queueTcpSocketError(QueueTcpSocketErrorCode::other, std::move(text));
}

std::string takeEngineReason() {
    std::string reason;
    while (const unsigned long code = ::ERR_get_error()) {
        char text[256];
        ::ERR_error_string_n(code, text, sizeof text);
        if (!reason.empty()) reason += "; ";
        reason += text;
    }
    return reason;
}

// The protocol numbers callers know, as OpenSSL versions; 0 for an unknown one.
int protocolVersion(std::int64_t number) {
    switch (number) {
    case 2: return SSL3_VERSION;
    case 4: return TLS1_VERSION;
    case 7: return TLS1_1_VERSION;
    case 8: return TLS1_2_VERSION;
    case 10:
    case 999: return TLS1_3_VERSION;
    default: return 0;
    }
}

std::optional<std::int64_t> number(const TlsValue& value) {
    if (const auto* n = std::get_if<std::int64_t>(&value.value)) return *n;
    if (const auto* b = std::get_if<bool>(&value.value)) return *b ? 1 : 0;
    return std::nullopt;
}

BIO* memoryReader(const Bytes& data) { return ::BIO_new_mem_buf(data.data(), static_cast<int>(data.size())); }

}  // namespace

SocketError tlsError(int status, std::string reason) {
    SocketError error = SocketError::make(kSSLErrorDomain, status, {});
    error.failureReason = std::move(reason);
    error.recoverySuggestion = "Error code definition can be found in Apple's SecureTransport.h";
    return error;
}

struct TlsSession::Handles {
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* input = nullptr;   // owned by ssl
    BIO* output = nullptr;  // owned by ssl
    ~Handles() {
        if (ssl) ::SSL_free(ssl);
        if (context) ::SSL_CTX_free(context);
    }
};

TlsSession::TlsSession() : handles_(std::make_unique<Handles>()) {}
TlsSession::~TlsSession() = default;

std::unique_ptr<TlsSession> TlsSession::make(const TlsSettings& settings, SocketError& error) {
    for (const auto& refused : kRefusedTlsKeys) {
        if (settings.contains(refused.key)) {
            error = settingError("Security option unavailable - " + std::string(refused.key));
            return nullptr;
        }
    }
    const auto find = [&](std::string_view key) -> const TlsValue* {
        const auto it = settings.find(key);
        return it == settings.end() ? nullptr : &it->second;
    };
    const auto invalid = [&](std::string_view key) {
        error = settingError("Invalid value for " + std::string(key) + ".");
        return nullptr;
    };
    const auto failed = [&](std::string text) {
        error = settingError(std::move(text));
        ::ERR_clear_error();
        return nullptr;
    };

    bool isServer = false;
    if (const auto* value = find(kTlsIsServer)) {
        const auto flag = number(*value);
        if (!flag) return invalid(kTlsIsServer);
        isServer = *flag != 0;
    }

    std::unique_ptr<TlsSession> session(new TlsSession());
    Handles& h = *session->handles_;
    h.context = ::SSL_CTX_new(isServer ? ::TLS_server_method() : ::TLS_client_method());
    if (!h.context) return failed("Error in SSLCreateContext");
    h.ssl = ::SSL_new(h.context);
    h.input = ::BIO_new(::BIO_s_mem());
    h.output = ::BIO_new(::BIO_s_mem());
    if (!h.ssl || !h.input || !h.output) {
        if (h.input) ::BIO_free(h.input);
        if (h.output) ::BIO_free(h.output);
        return failed("Error in SSLSetIOFuncs");
    }
    // An empty input buffer means "no bytes yet", not the end of the stream.
    BIO_set_mem_eof_return(h.input, -1);
    ::SSL_set_bio(h.ssl, h.input, h.output);
    if (isServer) {
        ::SSL_set_accept_state(h.ssl);
    } else {
        ::SSL_set_connect_state(h.ssl);
    }

    if (const auto* value = find(kTlsManuallyEvaluateTrust)) {
        const auto flag = number(*value);
        if (!flag) return invalid(kTlsManuallyEvaluateTrust);
        if (*flag != 0 && isServer) return failed("Manual trust validation is not supported for server sockets");
        session->manualTrust_ = *flag != 0;
    }
    if (!isServer) {
        // With manual trust the handshake stops at the server's certificates until the delegate
        // has decided; a distrust then ends it with an alert, as a failed verification does.
        SSL_set_app_data(h.ssl, session.get());
        ::SSL_set_verify(h.ssl, SSL_VERIFY_PEER, session->manualTrust_ ? &TlsSession::verifyCallback : nullptr);
        if (::SSL_CTX_set_default_verify_paths(h.context) != 1) ::ERR_clear_error();
    }

    if (const auto* value = find(kTlsPeerName)) {
        const auto* name = std::get_if<std::string>(&value->value);
        if (!name) return invalid(kTlsPeerName);
        if (::SSL_set1_host(h.ssl, name->c_str()) != 1 ||
            (!isServer && SSL_set_tlsext_host_name(h.ssl, name->c_str()) != 1))
            return failed("Error in SSLSetPeerDomainName");
    }

    if (const auto* value = find(kTlsCertificates)) {
        const auto* items = std::get_if<TlsArray>(&value->value);
        if (!items) return invalid(kTlsCertificates);
        bool applied = !items->empty();
        for (std::size_t i = 0; applied && i < items->size(); ++i) {
            const auto* pem = std::get_if<Bytes>(&(*items)[i].value);
            if (!pem) return invalid(kTlsCertificates);
            BIO* reader = memoryReader(*pem);
            if (i == 0) {
                EVP_PKEY* key = ::PEM_read_bio_PrivateKey(reader, nullptr, nullptr, nullptr);
                BIO_reset(reader);
                X509* leaf = ::PEM_read_bio_X509(reader, nullptr, nullptr, nullptr);
                applied = key && leaf && ::SSL_use_certificate(h.ssl, leaf) == 1 &&
                          ::SSL_use_PrivateKey(h.ssl, key) == 1 && ::SSL_check_private_key(h.ssl) == 1;
                ::EVP_PKEY_free(key);
                ::X509_free(leaf);
            }
            // Every further certificate, in this item or the next ones, joins the chain.
            while (applied) {
                X509* chain = ::PEM_read_bio_X509(reader, nullptr, nullptr, nullptr);
                if (!chain) break;
                applied = SSL_add0_chain_cert(h.ssl, chain) == 1;
                if (!applied) ::X509_free(chain);
            }
            ::BIO_free(reader);
        }
        if (!applied) return failed("Error in SSLSetCertificate");
        ::ERR_clear_error();  // the end of each PEM list leaves a "no start line" behind
    }

    if (const auto* value = find(kTlsPeerID)) {
        // OpenSSL resumes sessions by its own session cache; a caller's identity has no place.
        if (!std::holds_alternative<Bytes>(value->value)) return invalid(kTlsPeerID);
    }

    for (const auto& [key, isMin] : {std::pair{kTlsProtocolVersionMin, true}, std::pair{kTlsProtocolVersionMax, false}}) {
        const auto* value = find(key);
        if (!value) continue;
        const auto chosen = number(*value);
        if (!chosen) return invalid(key);
        if (*chosen == 0) continue;
        const int version = protocolVersion(*chosen);
        const int ok = version == 0 ? 0
                       : isMin      ? ::SSL_set_min_proto_version(h.ssl, version)
                                    : ::SSL_set_max_proto_version(h.ssl, version);
        if (ok != 1)
            return failed(isMin ? "Error in SSLSetProtocolVersionMin" : "Error in SSLSetProtocolVersionMax");
    }

    // OpenSSL has neither option; both only change timing, never what is sent or checked.
    for (const auto key : {kTlsFalseStart, kTlsSendOneByteRecord})
        if (const auto* value = find(key); value && !number(*value)) return invalid(key);

    if (const auto* value = find(kTlsCipherSuites)) {
        const auto* codes = std::get_if<TlsArray>(&value->value);
        if (!codes) return invalid(kTlsCipherSuites);
        std::string tls12, tls13;
        for (const auto& item : *codes) {
            const auto code = number(item);
            if (!code) return invalid(kTlsCipherSuites);
            const unsigned char wire[2] = {static_cast<unsigned char>((*code >> 8) & 0xff),
                                           static_cast<unsigned char>(*code & 0xff)};
            const SSL_CIPHER* cipher = ::SSL_CIPHER_find(h.ssl, wire);
            if (!cipher) continue;  // a suite this engine does not know cannot be enabled
            std::string& list = std::string_view(::SSL_CIPHER_get_version(cipher)) == "TLSv1.3" ? tls13 : tls12;
            list += (list.empty() ? "" : ":") + std::string(::SSL_CIPHER_get_name(cipher));
        }
        const bool ok = (!tls12.empty() || !tls13.empty()) &&
                        (tls12.empty() || ::SSL_set_cipher_list(h.ssl, tls12.c_str()) == 1) &&
                        ::SSL_set_ciphersuites(h.ssl, tls13.c_str()) == 1;
        if (!ok) return failed("Error in SSLSetEnabledCiphers");
    }

    if (const auto* value = find(kTlsDiffieHellmanParameters)) {
        const auto* data = std::get_if<Bytes>(&value->value);
        if (!data) return invalid(kTlsDiffieHellmanParameters);
        BIO* reader = memoryReader(*data);
        EVP_PKEY* parameters = ::PEM_read_bio_Parameters(reader, nullptr);
        ::BIO_free(reader);
        if (!parameters) {
            const unsigned char* der = data->data();
            parameters = ::d2i_KeyParams(EVP_PKEY_DH, nullptr, &der, static_cast<long>(data->size()));
        }
        if (!parameters || ::SSL_CTX_set0_tmp_dh_pkey(h.context, parameters) != 1) {
            ::EVP_PKEY_free(parameters);
            return failed("Error in SSLSetDiffieHellmanParams");
        }
    }

    if (const auto* value = find(kTlsALPN)) {
        const auto* protocols = std::get_if<TlsArray>(&value->value);
        if (!protocols) return invalid(kTlsALPN);
        for (const auto& item : *protocols) {
            const auto* name = std::get_if<std::string>(&item.value);
            if (!name) return invalid(kTlsALPN);
            if (name->empty() || name->size() > 255) return failed("Error in SSLSetALPNProtocols");
            session->alpn_.push_back(static_cast<std::uint8_t>(name->size()));
            session->alpn_.insert(session->alpn_.end(), name->begin(), name->end());
        }
        if (isServer) {
            ::SSL_CTX_set_alpn_select_cb(
                h.context,
                [](SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* offered,
                   unsigned int offeredLength, void* arg) {
                    const auto& own = static_cast<TlsSession*>(arg)->alpn_;
                    unsigned char* chosen = nullptr;
                    if (::SSL_select_next_proto(&chosen, outLength, own.data(), static_cast<unsigned>(own.size()),
                                                offered, offeredLength) != OPENSSL_NPN_NEGOTIATED)
                        return SSL_TLSEXT_ERR_NOACK;
                    *out = chosen;
                    return SSL_TLSEXT_ERR_OK;
                },
                session.get());
        } else if (::SSL_set_alpn_protos(h.ssl, session->alpn_.data(), static_cast<unsigned>(session->alpn_.size())) !=
                   0) {
            return failed("Error in SSLSetALPNProtocols");
        }
    }
    return session;
}

void TlsSession::feed(const std::uint8_t* data, std::size_t length) {
    if (length > 0) ::BIO_write(handles_->input, data, static_cast<int>(length));
}

bool TlsSession::hasBufferedInput() const {
    return ::BIO_ctrl_pending(handles_->input) > 0 || ::SSL_has_pending(handles_->ssl) == 1;
}

std::span<const std::uint8_t> TlsSession::output() {
    // Move whatever the engine produced behind what is still unsent.
    const std::size_t pending = ::BIO_ctrl_pending(handles_->output);
    if (pending > 0) {
        if (outboxStart_ == outbox_.size()) {
            outbox_.clear();
            outboxStart_ = 0;
        }
        const std::size_t at = outbox_.size();
        outbox_.resize(at + pending);
        const int got = ::BIO_read(handles_->output, outbox_.data() + at, static_cast<int>(pending));
        outbox_.resize(at + static_cast<std::size_t>(std::max(got, 0)));
    }
    return {outbox_.data() + outboxStart_, outbox_.size() - outboxStart_};
}

void TlsSession::consumeOutput(std::size_t length) {
    outboxStart_ = std::min(outbox_.size(), outboxStart_ + length);
    if (outboxStart_ == outbox_.size()) {
        outbox_.clear();
        outboxStart_ = 0;
    }
}

bool TlsSession::hasOutput() { return !output().empty(); }

int TlsSession::failure(int result, std::string& reason) {
    const int code = ::SSL_get_error(handles_->ssl, result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return kTlsWouldBlock;
    if (code == SSL_ERROR_WANT_RETRY_VERIFY) return kTlsPeerAuthCompleted;
    const long verification = ::SSL_get_verify_result(handles_->ssl);
    reason = takeEngineReason();
    if (verification != X509_V_OK) {
        reason = ::X509_verify_cert_error_string(verification);
        return kTlsCertificateChainInvalid;
    }
    return kTlsProtocolFailure;
}

int TlsSession::handshake(std::string& reason) {
    const int result = ::SSL_do_handshake(handles_->ssl);
    return result == 1 ? 0 : failure(result, reason);
}

std::size_t TlsSession::read(std::uint8_t* buffer, std::size_t length, int& status, std::string& reason) {
    std::size_t done = 0;
    const int result = ::SSL_read_ex(handles_->ssl, buffer, length, &done);
    if (result == 1) {
        status = 0;
        return done;
    }
    status = ::SSL_get_error(handles_->ssl, result) == SSL_ERROR_ZERO_RETURN ? 0 : failure(result, reason);
    return 0;
}

std::size_t TlsSession::write(const std::uint8_t* data, std::size_t length) {
    std::size_t done = 0;
    if (::SSL_write_ex(handles_->ssl, data, std::min(length, kMaxRecordPlaintext), &done) != 1) {
        ::ERR_clear_error();
        return 0;
    }
    return done;
}

void TlsSession::shutdown() {
    if (::SSL_is_init_finished(handles_->ssl)) ::SSL_shutdown(handles_->ssl);
    ::ERR_clear_error();
}

bool TlsSession::peerClosed() const { return (::SSL_get_shutdown(handles_->ssl) & SSL_RECEIVED_SHUTDOWN) != 0; }

int TlsSession::verifyCallback(int preverified, X509_STORE_CTX* context) {
    SSL* ssl = static_cast<SSL*>(::X509_STORE_CTX_get_ex_data(context, ::SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* session = static_cast<TlsSession*>(SSL_get_app_data(ssl));
    if (session->trustDecision_) return *session->trustDecision_ ? 1 : 0;
    if (session->peerTrust_.certificates.empty()) {
        if (STACK_OF(X509)* chain = ::X509_STORE_CTX_get0_untrusted(context)) {
            for (int i = 0; i < sk_X509_num(chain); ++i) {
                unsigned char* der = nullptr;
                const int length = ::i2d_X509(sk_X509_value(chain, i), &der);
                if (length <= 0) continue;
                session->peerTrust_.certificates.emplace_back(der, der + length);
                OPENSSL_free(der);
            }
        }
        const int verification = preverified ? X509_V_OK : ::X509_STORE_CTX_get_error(context);
        session->peerTrust_.verified = verification == X509_V_OK;
        session->peerTrust_.verification = ::X509_verify_cert_error_string(verification);
    }
    return SSL_set_retry_verify(ssl);
}

}  // namespace pavonix::sockets
