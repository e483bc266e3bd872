// QueueTcpSocket: the read and write queues of a connected socket, their packets, the pre-buffer
// and the time-outs.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "sockets/queue_tcp_socket_internal.h"

namespace pavonix::sockets {

using namespace tcp;

// ---- Sources and transport ------------------------------------------------------------------------

int QueueTcpSocket::connectedFD() const {
    if (socket4FD_ != -1) return socket4FD_;
    if (socket6FD_ != -1) return socket6FD_;
    return socketUN_;
}

ssize_t QueueTcpSocket::readFromDescriptor(std::uint8_t* buffer, std::size_t length) {
    return ::recv(connectedFD(), buffer, length, 0);
}

ssize_t QueueTcpSocket::writeToDescriptor(const std::uint8_t* buffer, std::size_t length) {
    // A peer that reset the connection gives EPIPE here, never a SIGPIPE that ends the program.
    return ::send(connectedFD(), buffer, length, MSG_NOSIGNAL);
}

void QueueTcpSocket::setupReadAndWriteSources(int fd) {
    assertOnSocketQueue();
    if (!(flags_ & kConnected) || readSource_ || fd != connectedFD()) return;
    readSource_ = dispatch::Source::makeRead(fd, socketQueue_);
    writeSource_ = dispatch::Source::makeWrite(fd, socketQueue_);
    readSource_->setEventHandler([weak = weak_from_this(), source = std::weak_ptr(readSource_)] {
        const auto self = weak.lock();
        const auto read = source.lock();
        if (!self || !read) return;
        self->socketFDBytesAvailable_ = read->data();
        if (self->socketFDBytesAvailable_ > 0) {
            self->doReadData();
        } else {
            self->doReadEOF();
        }
    });
    writeSource_->setEventHandler([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->flags_ |= kSocketCanAcceptBytes;
        self->doWriteData();
    });
    // The descriptor closes once both sources are gone, so neither can meet a reused number.
    const auto sourcesLeft = std::make_shared<int>(2);
    const auto closeWhenLast = [sourcesLeft, fd] {
        if (--*sourcesLeft == 0) ::close(fd);
    };
    readSource_->setCancelHandler(closeWhenLast);
    writeSource_->setCancelHandler(closeWhenLast);

    socketFDBytesAvailable_ = 0;
    flags_ &= ~kReadSourceSuspended;
    readSource_->resume();
    flags_ |= kSocketCanAcceptBytes | kWriteSourceSuspended;
}

void QueueTcpSocket::suspendReadSource() {
    if (readSource_ && !(flags_ & kReadSourceSuspended)) {
        readSource_->suspend();
        flags_ |= kReadSourceSuspended;
    }
}

void QueueTcpSocket::resumeReadSource() {
    if (readSource_ && (flags_ & kReadSourceSuspended)) {
        readSource_->resume();
        flags_ &= ~kReadSourceSuspended;
    }
}

void QueueTcpSocket::suspendWriteSource() {
    if (writeSource_ && !(flags_ & kWriteSourceSuspended)) {
        writeSource_->suspend();
        flags_ |= kWriteSourceSuspended;
    }
}

void QueueTcpSocket::resumeWriteSource() {
    if (writeSource_ && (flags_ & kWriteSourceSuspended)) {
        writeSource_->resume();
        flags_ &= ~kWriteSourceSuspended;
    }
}

// ---- Requests -------------------------------------------------------------------------------------

void QueueTcpSocket::readData(double timeout, std::int64_t tag) {
    enqueueRead(std::make_shared<TcpReadPacket>(nullptr, 0, 0, timeout, 0, std::nullopt, tag));
}

void QueueTcpSocket::readData(double timeout, std::shared_ptr<Bytes> buffer, std::size_t offset,
                              std::int64_t tag, std::size_t maxLength) {
    if (buffer && offset > buffer->size()) return;
    enqueueRead(std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0, std::nullopt, tag));
}

void QueueTcpSocket::readDataToLength(std::size_t length, double timeout, std::int64_t tag,
                                      std::shared_ptr<Bytes> buffer, std::size_t offset) {
    if (length == 0 || (buffer && offset > buffer->size())) return;
    enqueueRead(std::make_shared<TcpReadPacket>(std::move(buffer), offset, 0, timeout, length, std::nullopt, tag));
}

void QueueTcpSocket::readDataToData(Bytes terminator, double timeout, std::int64_t tag, std::size_t maxLength,
                                    std::shared_ptr<Bytes> buffer, std::size_t offset) {
    if (terminator.empty() || (maxLength > 0 && maxLength < terminator.size())) return;
    if (buffer && offset > buffer->size()) return;
    enqueueRead(std::make_shared<TcpReadPacket>(std::move(buffer), offset, maxLength, timeout, 0,
                                                std::move(terminator), tag));
}

void QueueTcpSocket::enqueueRead(std::shared_ptr<TcpReadPacket> packet) {
    socketQueue_->async([self = shared_from_this(), packet = std::move(packet)] {
        if (!(self->flags_ & kSocketStarted) || (self->flags_ & kForbidReadsWrites)) return;
        self->readQueue_.push_back(packet);
        self->maybeDequeueRead();
    });
}

void QueueTcpSocket::writeData(Bytes data, double timeout, std::int64_t tag) {
    writeData(std::make_shared<const Bytes>(std::move(data)), timeout, tag);
}

void QueueTcpSocket::writeData(std::shared_ptr<const Bytes> data, double timeout, std::int64_t tag) {
    if (!data || data->empty()) return;
    auto packet = std::make_shared<TcpWritePacket>(TcpWritePacket{std::move(data), 0, tag, timeout, nullptr});
    socketQueue_->async([self = shared_from_this(), packet = std::move(packet)] {
        if (!(self->flags_ & kSocketStarted) || (self->flags_ & kForbidReadsWrites)) return;
        self->writeQueue_.push_back(packet);
        self->maybeDequeueWrite();
    });
}

TcpProgress QueueTcpSocket::progressOfRead() const {
    return onSocketQueue([this] {
        TcpProgress progress;
        if (!currentRead_) {
            progress.fraction = std::numeric_limits<float>::quiet_NaN();
            return progress;
        }
        progress.tag = currentRead_->tag;
        progress.bytesDone = currentRead_->bytesDone;
        progress.total = currentRead_->readLength;
        progress.fraction = progress.total > 0 ? static_cast<float>(progress.bytesDone) / progress.total : 1.0F;
        return progress;
    });
}

TcpProgress QueueTcpSocket::progressOfWrite() const {
    return onSocketQueue([this] {
        TcpProgress progress;
        if (!currentWrite_) {
            progress.fraction = std::numeric_limits<float>::quiet_NaN();
            return progress;
        }
        progress.tag = currentWrite_->tag;
        progress.bytesDone = currentWrite_->bytesDone;
        progress.total = currentWrite_->buffer->size();
        progress.fraction = static_cast<float>(progress.bytesDone) / progress.total;
        return progress;
    });
}

// ---- Reading --------------------------------------------------------------------------------------

void QueueTcpSocket::maybeDequeueRead() {
    assertOnSocketQueue();
    if (currentRead_ || !(flags_ & kConnected)) return;
    if (!readQueue_.empty()) {
        currentRead_ = std::move(readQueue_.front());
        readQueue_.pop_front();
        if (currentRead_->tls) {
            flags_ |= kStartingReadTLS;
            maybeStartTLS();
            if (!tls_ && (flags_ & kConnected)) suspendReadSource();
            return;
        }
        if (currentRead_->timeout >= 0) readTimer_ = makeTimeoutTimer(true, currentRead_->timeout);
        doReadData();
    } else if (flags_ & kDisconnectAfterReads) {
        maybeClose();
    }
}

void QueueTcpSocket::doReadData() {
    if (!currentRead_ || (flags_ & kReadsPaused)) {
        // Data nobody wants yet: stop the source from firing over and over.
        if (socketFDBytesAvailable_ > 0) suspendReadSource();
        return;
    }
    if (currentRead_->tls) {
        tlsHandshakeRead();
        return;
    }
    const bool secure = (flags_ & kSocketSecure) != 0;
    const std::size_t estimate = socketFDBytesAvailable_;
    if (estimate == 0 && preBuffer_.availableBytes() == 0 && !(secure && tls_->hasBufferedInput())) {
        resumeReadSource();
        return;
    }

    TcpReadPacket& packet = *currentRead_;
    const std::int64_t tag = packet.tag;
    bool done = false;
    bool waiting = false;
    bool socketEOF = (flags_ & kSocketHasReadEOF) != 0;
    std::optional<SocketError> error;
    std::size_t totalBytesRead = 0;

    const auto copyFromPreBuffer = [&](std::size_t length) {
        packet.ensureCapacityForAdditionalData(length);
        std::memcpy(packet.writePointer(), preBuffer_.readBuffer(), length);
        preBuffer_.didRead(length);
        packet.bytesDone += length;
        totalBytesRead += length;
    };
    const auto checkMaxedOut = [&] {
        if (!done && packet.maxLength > 0 && packet.bytesDone >= packet.maxLength)
            error = queueTcpSocketError(QueueTcpSocketErrorCode::readMaxedOut);
    };

    const auto takeFromPreBuffer = [&] {
        if (preBuffer_.availableBytes() == 0) return;
        copyFromPreBuffer(packet.term ? packet.readLengthForTermWithPreBuffer(preBuffer_, done)
                                      : packet.readLengthForNonTermWithHint(preBuffer_.availableBytes()));
        if (packet.readLength > 0) {
            done = packet.bytesDone == packet.readLength;
        } else if (packet.term) {
            checkMaxedOut();
        } else {
            done = packet.maxLength > 0 && packet.bytesDone == packet.maxLength;
        }
    };

    // Bytes read ahead earlier come first.
    takeFromPreBuffer();

    if (secure && !done && !error && !socketEOF) {
        // Decrypted bytes arrive in the pre-buffer, then go the same way as bytes read ahead.
        fillPreBufferFromTls(estimate, socketEOF, error);
        takeFromPreBuffer();
        waiting = !socketEOF;
    } else if (!done && !error && !socketEOF && estimate > 0) {
        // Then one read from the descriptor, sized from what the source reported.
        if (preBuffer_.availableBytes() > 0) dispatch::preconditionFailure("Invalid logic");
        bool readIntoPreBuffer = false;
        const std::size_t bytesToRead = packet.term ? packet.readLengthForTermWithHint(estimate, readIntoPreBuffer)
                                                    : packet.readLengthForNonTermWithHint(estimate);
        std::uint8_t* buffer;
        if (readIntoPreBuffer) {
            preBuffer_.ensureCapacityForWrite(bytesToRead);
            buffer = preBuffer_.writeBuffer();
        } else {
            packet.ensureCapacityForAdditionalData(bytesToRead);
            buffer = packet.writePointer();
        }
        const ssize_t result = readFromDescriptor(buffer, bytesToRead);
        std::size_t bytesRead = 0;
        if (result < 0) {
            const int status = errno;
            if (status == EAGAIN || status == EWOULDBLOCK || status == EINTR) {
                waiting = true;
            } else {
                error = SocketError::posix(status, "Error in read() function");
            }
            socketFDBytesAvailable_ = 0;
        } else if (result == 0) {
            socketEOF = true;
            socketFDBytesAvailable_ = 0;
        } else {
            bytesRead = static_cast<std::size_t>(result);
            if (bytesRead < bytesToRead || bytesRead >= socketFDBytesAvailable_) {
                socketFDBytesAvailable_ = 0;
            } else {
                socketFDBytesAvailable_ -= bytesRead;
            }
            waiting = socketFDBytesAvailable_ == 0;
        }

        if (bytesRead > 0 && packet.readLength > 0) {
            packet.bytesDone += bytesRead;
            totalBytesRead += bytesRead;
            done = packet.bytesDone == packet.readLength;
        } else if (bytesRead > 0 && packet.term) {
            if (readIntoPreBuffer) {
                preBuffer_.didWrite(bytesRead);
                copyFromPreBuffer(packet.readLengthForTermWithPreBuffer(preBuffer_, done));
            } else {
                const ssize_t overflow = packet.searchForTermAfterPreBuffering(bytesRead);
                std::size_t taken = bytesRead;
                if (overflow >= 0) {
                    // Bytes after the terminator wait in the pre-buffer for the next read.
                    taken = bytesRead - static_cast<std::size_t>(overflow);
                    preBuffer_.ensureCapacityForWrite(static_cast<std::size_t>(overflow));
                    std::memcpy(preBuffer_.writeBuffer(), packet.writePointer() + taken,
                                static_cast<std::size_t>(overflow));
                    preBuffer_.didWrite(static_cast<std::size_t>(overflow));
                    done = true;
                }
                packet.bytesDone += taken;
                totalBytesRead += taken;
            }
            checkMaxedOut();
        } else if (bytesRead > 0) {
            packet.bytesDone += bytesRead;
            totalBytesRead += bytesRead;
            done = true;
        }
    }

    // A read of whatever is available is done with whatever came.
    if (!done && packet.readLength == 0 && !packet.term) done = totalBytesRead > 0;

    if (done) {
        completeCurrentRead();
        if (!error && (!socketEOF || preBuffer_.availableBytes() > 0)) {
            maybeDequeueRead();
            // The next read may have closed the socket already.
            if (!(flags_ & kConnected)) return;
        }
    } else if (totalBytesRead > 0) {
        report([totalBytesRead, tag](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
            delegate.socketDidReadPartialData(self, totalBytesRead, tag);
        });
    }

    if (error) {
        closeWithError(std::move(error));
    } else if (socketEOF) {
        doReadEOF();
    } else if (waiting) {
        resumeReadSource();
    }
}

void QueueTcpSocket::doReadEOF() {
    // Either side may have reached the switch: the other one still ends plain, but the stream
    // was promised to go on in TLS.
    if (flags_ & (kStartingReadTLS | kStartingWriteTLS)) {
        closeWithError(tlsError(kTlsClosedAbort));
        return;
    }
    flags_ |= kSocketHasReadEOF;
    // Bytes still buffered stay readable; the close comes when a read finds nothing more.
    if (preBuffer_.availableBytes() > 0 || (flags_ & kReadStreamClosed)) {
        suspendReadSource();
        return;
    }
    if (config_ & kAllowHalfDuplexConnection) {
        pollfd writable{connectedFD(), POLLOUT, 0};
        if (::poll(&writable, 1, 0) > 0 && (writable.revents & POLLOUT)) {
            flags_ |= kReadStreamClosed;
            report([](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
                delegate.socketDidCloseReadStream(self);
            });
            suspendReadSource();
            return;
        }
    }
    // A secure stream that ends without the peer's closing alert may have been cut short.
    if (tls_ && (flags_ & kSocketSecure) && !tls_->peerClosed()) {
        closeWithError(tlsError(kTlsClosedAbort));
        return;
    }
    closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::closed));
}

void QueueTcpSocket::completeCurrentRead() {
    if (!currentRead_)
        dispatch::preconditionFailure("Trying to complete current read when there is no current read.");
    TcpReadPacket& packet = *currentRead_;
    ReadData result;
    if (packet.bufferOwner) {
        packet.buffer->resize(packet.bytesDone);
        result = ReadData(packet.buffer, 0, packet.bytesDone);
    } else {
        // The caller's buffer grew while reading; give back what the read did not use.
        const std::size_t used = packet.startOffset + packet.bytesDone;
        if (packet.buffer->size() > used && packet.buffer->size() > packet.originalBufferLength)
            packet.buffer->resize(std::max(used, packet.originalBufferLength));
        result = ReadData(packet.buffer, packet.startOffset, packet.bytesDone);
    }
    report([result = std::move(result), tag = packet.tag](QueueTcpSocketDelegate& delegate,
                                                          const QueueTcpSocketPtr& self) {
        delegate.socketDidReadData(self, result, tag);
    });
    endCurrentRead();
}

void QueueTcpSocket::endCurrentRead() {
    if (readTimer_) {
        readTimer_->cancel();
        readTimer_.reset();
    }
    currentRead_.reset();
}

// ---- Writing --------------------------------------------------------------------------------------

void QueueTcpSocket::maybeDequeueWrite() {
    assertOnSocketQueue();
    if (currentWrite_ || !(flags_ & kConnected)) return;
    if (!writeQueue_.empty()) {
        currentWrite_ = std::move(writeQueue_.front());
        writeQueue_.pop_front();
        if (currentWrite_->tls) {
            flags_ |= kStartingWriteTLS;
            maybeStartTLS();
            return;
        }
        if (currentWrite_->timeout >= 0) writeTimer_ = makeTimeoutTimer(false, currentWrite_->timeout);
        doWriteData();
    } else if (flags_ & kDisconnectAfterWrites) {
        maybeClose();
    }
}

void QueueTcpSocket::doWriteData() {
    if (!currentWrite_ || (flags_ & kWritesPaused)) {
        if (flags_ & kSocketCanAcceptBytes) suspendWriteSource();
        return;
    }
    if (!(flags_ & kSocketCanAcceptBytes)) {
        resumeWriteSource();
        return;
    }
    std::optional<SocketError> error;
    if (currentWrite_->tls) {
        // The handshake's own bytes go out as the descriptor takes them.
        if (!tls_) {
            suspendWriteSource();
        } else if (flushTlsOutput(error) && !(flags_ & kSocketCanAcceptBytes)) {
            suspendWriteSource();
        }
        if (error) closeWithError(std::move(error));
        return;
    }
    const bool secure = (flags_ & kSocketSecure) != 0;
    TcpWritePacket& packet = *currentWrite_;
    const std::int64_t tag = packet.tag;
    const std::size_t remaining = packet.buffer->size() - packet.bytesDone;
    ssize_t result = 0;
    if (!secure) {
        result = writeToDescriptor(packet.buffer->data() + packet.bytesDone, remaining);
    } else {
        // A batch of records per send (one record per send would meet the peer's delayed
        // acknowledgements), and the next batch only once this one is on the wire, so encrypted
        // bytes never pile up in memory ahead of the descriptor.
        constexpr std::size_t kTlsWriteBatch = 64 * 1024;
        std::size_t taken = 0;
        bool flushed = flushTlsOutput(error);
        while (flushed && !error && taken < remaining) {
            for (std::size_t batch = 0; taken < remaining && batch < kTlsWriteBatch;) {
                const std::size_t took =
                    tls_->write(packet.buffer->data() + packet.bytesDone + taken, remaining - taken);
                if (took == 0) {
                    error = tlsError(kTlsProtocolFailure);
                    break;
                }
                taken += took;
                batch += took;
            }
            if (!error) flushed = flushTlsOutput(error);
        }
        result = static_cast<ssize_t>(taken);
        if (taken == 0 && !flushed) {
            result = -1;
            errno = EAGAIN;
        }
    }
    bool waiting = false;
    std::size_t bytesWritten = 0;
    if (error) {
        result = 0;
    } else if (result < 0) {
        const int status = errno;
        if (status == EAGAIN || status == EWOULDBLOCK || status == EINTR) {
            waiting = true;
        } else {
            error = SocketError::posix(status, "Error in write() function");
        }
    } else {
        bytesWritten = static_cast<std::size_t>(result);
    }
    if (waiting) {
        flags_ &= ~kSocketCanAcceptBytes;
        resumeWriteSource();
    }
    packet.bytesDone += bytesWritten;
    if (packet.bytesDone == packet.buffer->size() && !(secure && tls_->hasOutput())) {
        completeCurrentWrite();
        socketQueue_->async([weak = weak_from_this()] {
            if (const auto self = weak.lock()) self->maybeDequeueWrite();
        });
    } else if (!error) {
        // A partial write means the kernel's buffer is full: wait until it drains.
        if (!waiting) {
            flags_ &= ~kSocketCanAcceptBytes;
            resumeWriteSource();
        }
        if (bytesWritten > 0) {
            report([bytesWritten, tag](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
                delegate.socketDidWritePartialData(self, bytesWritten, tag);
            });
        }
    }
    if (error) closeWithError(std::move(error));
}

void QueueTcpSocket::completeCurrentWrite() {
    if (!currentWrite_)
        dispatch::preconditionFailure("Trying to complete current write when there is no current write.");
    report([tag = currentWrite_->tag](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
        delegate.socketDidWriteData(self, tag);
    });
    endCurrentWrite();
}

void QueueTcpSocket::endCurrentWrite() {
    if (writeTimer_) {
        writeTimer_->cancel();
        writeTimer_.reset();
    }
    currentWrite_.reset();
}

// ---- Time-outs ------------------------------------------------------------------------------------

dispatch::SourcePtr QueueTcpSocket::makeTimeoutTimer(bool forRead, double timeout) {
    auto timer = dispatch::Source::makeTimer(socketQueue_);
    timer->setEventHandler([weak = weak_from_this(), forRead] {
        const auto self = weak.lock();
        if (!self) return;
        if (forRead) {
            self->doReadTimeout();
        } else {
            self->doWriteTimeout();
        }
    });
    timer->setTimer(seconds(timeout));
    timer->resume();
    return timer;
}

// The question goes to the delegate queue and the answer comes back by a second hop, so the
// socket never waits for its delegate.
void QueueTcpSocket::doReadTimeout() {
    if (!currentRead_) return;
    flags_ |= kReadsPaused;
    const auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        readTimeoutAnswered(currentRead_, 0);
        return;
    }
    delegateQueue_->async([delegate, self = shared_from_this(), packet = std::weak_ptr(currentRead_),
                           tag = currentRead_->tag, elapsed = currentRead_->timeout,
                           bytesDone = currentRead_->bytesDone] {
        const double extension = delegate->shouldTimeoutRead(self, tag, elapsed, bytesDone);
        self->socketQueue_->async([self, packet, extension] { self->readTimeoutAnswered(packet, extension); });
    });
}

void QueueTcpSocket::readTimeoutAnswered(const std::weak_ptr<TcpReadPacket>& packet, double extension) {
    const auto answered = packet.lock();
    if (!answered || answered != currentRead_ || !(flags_ & kReadsPaused)) return;
    if (extension > 0) {
        answered->timeout += extension;
        readTimer_->setTimer(seconds(extension));
        flags_ &= ~kReadsPaused;
        doReadData();
    } else {
        closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::readTimeout));
    }
}

void QueueTcpSocket::doWriteTimeout() {
    if (!currentWrite_) return;
    flags_ |= kWritesPaused;
    const auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        writeTimeoutAnswered(currentWrite_, 0);
        return;
    }
    delegateQueue_->async([delegate, self = shared_from_this(), packet = std::weak_ptr(currentWrite_),
                           tag = currentWrite_->tag, elapsed = currentWrite_->timeout,
                           bytesDone = currentWrite_->bytesDone] {
        const double extension = delegate->shouldTimeoutWrite(self, tag, elapsed, bytesDone);
        self->socketQueue_->async([self, packet, extension] { self->writeTimeoutAnswered(packet, extension); });
    });
}

void QueueTcpSocket::writeTimeoutAnswered(const std::weak_ptr<TcpWritePacket>& packet, double extension) {
    const auto answered = packet.lock();
    if (!answered || answered != currentWrite_ || !(flags_ & kWritesPaused)) return;
    if (extension > 0) {
        answered->timeout += extension;
        writeTimer_->setTimer(seconds(extension));
        flags_ &= ~kWritesPaused;
        doWriteData();
    } else {
        closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::writeTimeout));
    }
}

}  // namespace pavonix::sockets
