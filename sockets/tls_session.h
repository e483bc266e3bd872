// One side of a TLS connection over OpenSSL, fed and drained through memory buffers: the socket
// moves bytes between these buffers and its descriptor itself, so the TLS engine never touches
// the descriptor and never blocks the socket queue. Used on the socket queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <openssl/types.h>

#include "sockets/socket_error.h"
#include "sockets/tls_settings.h"

namespace pavonix::sockets {

// Status codes of the TLS layer, as reported in errors of the TLS domain.
inline constexpr int kTlsProtocolFailure = -9800;
inline constexpr int kTlsWouldBlock = -9803;
inline constexpr int kTlsClosedAbort = -9806;
inline constexpr int kTlsCertificateChainInvalid = -9807;
inline constexpr int kTlsBadPeerCertificate = -9825;
inline constexpr int kTlsPeerAuthCompleted = -9841;

// An error of the TLS domain for a status; `reason` tells the engine's own cause, if any.
SocketError tlsError(int status, std::string reason = {});

// What a delegate gets to decide trust on: the peer's certificates (DER, its own first) and
// what the standard verification against the system's roots said of them.
struct TlsPeerTrust {
    std::vector<std::vector<std::uint8_t>> certificates;
    bool verified = false;
    std::string verification;
};

class TlsSession {
public:
    // A session configured by `settings`; null with the socket's error (code 8 and the text of
    // the failing setting) when a setting is refused, malformed or cannot be applied.
    static std::unique_ptr<TlsSession> make(const TlsSettings& settings, SocketError& error);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Answers the trust question; the next handshake step goes on (or fails) accordingly.
    void decideTrust(bool trusted) { trustDecision_ = trusted; }

    // Bytes from the wire.
    void feed(const std::uint8_t* data, std::size_t length);
    // Wire bytes still held: undecrypted input or decrypted bytes not yet read.
    bool hasBufferedInput() const;
    // Bytes for the wire, in order; the caller sends a prefix and consumes it.
    std::span<const std::uint8_t> output();
    void consumeOutput(std::size_t length);
    bool hasOutput();

    // One handshake step: 0 when done, kTlsWouldBlock when it needs more input,
    // kTlsPeerAuthCompleted when the server's certificates wait for a trust decision, else a
    // failure status (with the engine's reason).
    int handshake(std::string& reason);
    // Decrypted bytes into `buffer`: the count, 0 with `status` kTlsWouldBlock when no complete
    // record is there, 0 with status 0 at the peer's orderly end, or a failure status.
    std::size_t read(std::uint8_t* buffer, std::size_t length, int& status, std::string& reason);
    // Encrypts up to one record of plain bytes; the count taken, 0 on failure.
    std::size_t write(const std::uint8_t* data, std::size_t length);
    // Queues the closing alert for the wire.
    void shutdown();
    // The peer's closing alert has arrived: its stream ended on purpose.
    bool peerClosed() const;
    // The server's certificates, while the handshake waits for a trust decision.
    TlsPeerTrust peerTrust() const { return peerTrust_; }

private:
    struct Handles;
    TlsSession();
    int failure(int result, std::string& reason);
    static int verifyCallback(int preverified, X509_STORE_CTX* context);

    std::unique_ptr<Handles> handles_;
    std::vector<std::uint8_t> outbox_;
    std::size_t outboxStart_ = 0;
    std::vector<std::uint8_t> alpn_;  // wire format, for the server's choice
    bool manualTrust_ = false;
    std::optional<bool> trustDecision_;
    TlsPeerTrust peerTrust_;
};

}  // namespace pavonix::sockets
