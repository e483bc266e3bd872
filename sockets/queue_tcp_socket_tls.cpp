// QueueTcpSocket: switching a connected stream to TLS, the handshake and the trust decision.
// The TLS layer works on memory buffers; this file moves its bytes to and from the descriptor
// with the socket's own non-blocking reads and writes.
#include <sys/socket.h>

#include <cstring>

#include "sockets/queue_tcp_socket_internal.h"

namespace pavonix::sockets {

using namespace tcp;

namespace {

constexpr std::size_t kTlsReadChunk = 16384;

}  // namespace

void QueueTcpSocket::startTLS(TlsSettings settings) {
    auto shared = std::make_shared<const TlsSettings>(std::move(settings));
    socketQueue_->async([self = shared_from_this(), shared = std::move(shared)] {
        if (!(self->flags_ & kSocketStarted) || (self->flags_ & (kQueuedTLS | kForbidReadsWrites))) return;
        auto read = std::make_shared<TcpReadPacket>(nullptr, 0, 0, -1, 0, std::nullopt, 0);
        read->tls = shared;
        self->readQueue_.push_back(std::move(read));
        self->writeQueue_.push_back(std::make_shared<TcpWritePacket>(
            TcpWritePacket{std::make_shared<const Bytes>(), 0, 0, -1, shared}));
        self->flags_ |= kQueuedTLS;
        self->maybeDequeueRead();
        self->maybeDequeueWrite();
    });
}

void QueueTcpSocket::maybeStartTLS() {
    if ((flags_ & (kStartingReadTLS | kStartingWriteTLS)) != (kStartingReadTLS | kStartingWriteTLS) || tls_) return;
    if (!currentRead_ || !currentRead_->tls) {
        closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::other, "Logic error"));
        return;
    }
    SocketError error;
    tls_ = TlsSession::make(*currentRead_->tls, error);
    if (!tls_) {
        closeWithError(std::move(error));
        return;
    }
    // Bytes read ahead in plain text were the start of the peer's TLS stream.
    if (preBuffer_.availableBytes() > 0) {
        tls_->feed(preBuffer_.readBuffer(), preBuffer_.availableBytes());
        preBuffer_.reset();
    }
    lastTlsHandshakeStatus_ = 0;
    continueTlsHandshake();
}

void QueueTcpSocket::tlsHandshakeRead() {
    if (!tls_ || lastTlsHandshakeStatus_ == kTlsPeerAuthCompleted) {
        // Waiting for the other side of the switch or for the delegate: leave the bytes waiting.
        suspendReadSource();
        return;
    }
    std::uint8_t chunk[kTlsReadChunk];
    const ssize_t got = readFromDescriptor(chunk, sizeof chunk);
    socketFDBytesAvailable_ = 0;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        resumeReadSource();
        return;
    }
    if (got <= 0) {
        closeWithError(tlsError(kTlsClosedAbort));
        return;
    }
    tls_->feed(chunk, static_cast<std::size_t>(got));
    continueTlsHandshake();
}

void QueueTcpSocket::continueTlsHandshake() {
    std::string reason;
    const int status = tls_->handshake(reason);
    lastTlsHandshakeStatus_ = status;
    std::optional<SocketError> error;
    // A failing handshake may still have an alert for the peer; send it before closing.
    flushTlsOutput(error);
    if (status != 0 && status != kTlsWouldBlock && status != kTlsPeerAuthCompleted) {
        closeWithError(tlsError(status, std::move(reason)));
    } else if (error) {
        closeWithError(std::move(error));
    } else if (status == 0) {
        finishTlsHandshake();
    } else if (status == kTlsPeerAuthCompleted) {
        askTrust();
    } else {
        resumeReadSource();
    }
}

void QueueTcpSocket::askTrust() {
    const auto delegate = delegate_.lock();
    const std::uint64_t generation = ++stateIndex_;
    const auto self = shared_from_this();
    const auto refuse = [self, generation] {
        if (generation != self->stateIndex_) return;
        self->closeWithError(queueTcpSocketError(
            QueueTcpSocketErrorCode::other,
            "QueueTcpSocketManuallyEvaluateTrust specified in tlsSettings, but delegate doesn't implement "
            "socket:shouldTrustPeer:"));
    };
    if (!delegate || !delegateQueue_) {
        refuse();
        return;
    }
    std::function<void(bool)> completion = [weak = weak_from_this(), generation](bool trusted) {
        if (const auto socket = weak.lock())
            socket->socketQueue_->async([socket, generation, trusted] { socket->trustDecided(generation, trusted); });
    };
    delegateQueue_->async([delegate, self, refuse, trust = tls_->peerTrust(), completion = std::move(completion)] {
        if (!delegate->socketDidReceiveTrust(self, trust, completion)) self->socketQueue_->async(refuse);
    });
}

void QueueTcpSocket::trustDecided(std::uint64_t generation, bool trusted) {
    // A second answer, or one for a socket closed meanwhile, finds the generation moved on.
    if (generation != stateIndex_ || !tls_) return;
    ++stateIndex_;
    if (lastTlsHandshakeStatus_ != kTlsPeerAuthCompleted) {
        const std::string text = "ssl_shouldTrustPeer called when last error is " +
                                 std::to_string(lastTlsHandshakeStatus_) + " and not errSSLPeerAuthCompleted";
        dispatch::preconditionFailure(text.c_str());
    }
    tls_->decideTrust(trusted);
    if (trusted) {
        continueTlsHandshake();
        return;
    }
    // One more step only to tell the server why the handshake ends.
    std::string ignored;
    tls_->handshake(ignored);
    std::optional<SocketError> unsent;
    flushTlsOutput(unsent);
    closeWithError(tlsError(kTlsBadPeerCertificate));
}

void QueueTcpSocket::finishTlsHandshake() {
    flags_ &= ~(kStartingReadTLS | kStartingWriteTLS);
    flags_ |= kSocketSecure;
    report([](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) { delegate.socketDidSecure(self); });
    endCurrentRead();
    endCurrentWrite();
    maybeDequeueRead();
    if (!(flags_ & kConnected)) return;
    maybeDequeueWrite();
    // Application data may have come with the peer's last handshake flight.
    if (tls_ && !currentRead_ && (tls_->hasBufferedInput() || socketFDBytesAvailable_ > 0)) resumeReadSource();
}

bool QueueTcpSocket::flushTlsOutput(std::optional<SocketError>& error) {
    while (true) {
        const auto pending = tls_->output();
        if (pending.empty()) return true;
        const ssize_t sent = writeToDescriptor(pending.data(), pending.size());
        if (sent < 0) {
            const int status = errno;
            if (status == EAGAIN || status == EWOULDBLOCK || status == EINTR) {
                flags_ &= ~kSocketCanAcceptBytes;
                resumeWriteSource();
            } else {
                error = SocketError::posix(status, "Error in write() function");
            }
            return false;
        }
        tls_->consumeOutput(static_cast<std::size_t>(sent));
        if (static_cast<std::size_t>(sent) < pending.size()) {
            flags_ &= ~kSocketCanAcceptBytes;
            resumeWriteSource();
            return false;
        }
    }
}

void QueueTcpSocket::fillPreBufferFromTls(std::size_t estimate, bool& eof, std::optional<SocketError>& error) {
    while (estimate > 0) {
        std::uint8_t chunk[kTlsReadChunk];
        const ssize_t got = readFromDescriptor(chunk, std::min(estimate, sizeof chunk));
        if (got < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) eof = true;
            break;
        }
        if (got == 0) {
            eof = true;
            break;
        }
        tls_->feed(chunk, static_cast<std::size_t>(got));
        estimate -= std::min(estimate, static_cast<std::size_t>(got));
    }
    socketFDBytesAvailable_ = 0;

    // The whole input is decrypted now, so no record waits inside the TLS layer unseen.
    while (true) {
        preBuffer_.ensureCapacityForWrite(kTlsReadChunk);
        int status = 0;
        std::string reason;
        const std::size_t got = tls_->read(preBuffer_.writeBuffer(), kTlsReadChunk, status, reason);
        preBuffer_.didWrite(got);
        if (got > 0) continue;
        if (status == 0) {
            eof = true;  // the peer's orderly end
        } else if (status != kTlsWouldBlock) {
            error = tlsError(status, std::move(reason));
        }
        break;
    }
    // Reading may have produced an answer for the peer (a key update, the closing alert).
    std::optional<SocketError> ignored;
    flushTlsOutput(ignored);
}

}  // namespace pavonix::sockets
