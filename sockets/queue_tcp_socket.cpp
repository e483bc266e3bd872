// QueueTcpSocket: creation, queue rules, configuration, state queries and closing.
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

#include "sockets/queue_tcp_socket_internal.h"

namespace pavonix::sockets {

using namespace tcp;

SocketError queueTcpSocketError(QueueTcpSocketErrorCode code, std::string description) {
    if (description.empty()) {
        switch (code) {
            case QueueTcpSocketErrorCode::connectTimeout:
                description = "Attempt to connect to host timed out";
                break;
            case QueueTcpSocketErrorCode::readTimeout:
                description = "Read operation timed out";
                break;
            case QueueTcpSocketErrorCode::writeTimeout:
                description = "Write operation timed out";
                break;
            case QueueTcpSocketErrorCode::readMaxedOut:
                description = "Read operation reached set maximum length";
                break;
            case QueueTcpSocketErrorCode::closed:
                description = "Socket closed by remote peer";
                break;
            default:
                break;
        }
    }
    return SocketError::make(kQueueTcpSocketErrorDomain, static_cast<int>(code), std::move(description));
}

// ---- Creation -------------------------------------------------------------------------------------

QueueTcpSocketPtr QueueTcpSocket::create(QueueTcpSocketDelegateWeak delegate,
                                         dispatch::QueuePtr delegateQueue,
                                         dispatch::QueuePtr socketQueue) {
    return std::make_shared<QueueTcpSocket>(Private{}, std::move(delegate), std::move(delegateQueue),
                                            std::move(socketQueue));
}

QueueTcpSocket::QueueTcpSocket(Private, QueueTcpSocketDelegateWeak delegate,
                               dispatch::QueuePtr delegateQueue, dispatch::QueuePtr socketQueue)
    : delegate_(std::move(delegate)),
      delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue) : dispatch::makeSerialQueue("QueueTcpSocket")) {
    if (socketQueue_->isConcurrent())
        dispatch::preconditionFailure("The given socketQueue parameter must not be a concurrent queue.");
    // A non-owning marker: the queue must not keep the socket alive.
    socketQueue_->setSpecific(&isOnSocketQueueKey_,
                              std::shared_ptr<void>(std::shared_ptr<void>(), const_cast<char*>(&isOnSocketQueueKey_)));
}

QueueTcpSocket::~QueueTcpSocket() {
    const auto closeNow = [this] {
        flags_ |= kDealloc;
        closeWithError(std::nullopt);
    };
    if (isOnSocketQueue()) {
        closeNow();
    } else {
        socketQueue_->sync(closeNow);
    }
    socketQueue_->setSpecific(&isOnSocketQueueKey_, nullptr);
}

QueueTcpSocketPtr QueueTcpSocket::fromConnectedSocketFD(int fd, QueueTcpSocketDelegateWeak delegate,
                                                        dispatch::QueuePtr delegateQueue,
                                                        dispatch::QueuePtr socketQueue, SocketError* error) {
    auto socket = create(std::move(delegate), std::move(delegateQueue), std::move(socketQueue));
    std::optional<SocketError> failure;
    socket->performBlock([&] {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
            failure = queueTcpSocketError(QueueTcpSocketErrorCode::other,
                                          "Attempt to create socket from socket FD failed. getpeername() failed");
        } else if (peer.ss_family == AF_INET) {
            socket->socket4FD_ = fd;
        } else if (peer.ss_family == AF_INET6) {
            socket->socket6FD_ = fd;
        } else {
            failure = queueTcpSocketError(
                QueueTcpSocketErrorCode::other,
                "Attempt to create socket from socket FD failed. socket FD is neither IPv4 nor IPv6");
        }
        if (failure) return;
        socket->flags_ = kSocketStarted;
        socket->didConnect(socket->stateIndex_);
    });
    if (failure) {
        if (error) *error = *failure;
        return nullptr;
    }
    return socket;
}

// ---- Queue rules ----------------------------------------------------------------------------------

bool QueueTcpSocket::isOnSocketQueue() const {
    return dispatch::Queue::currentSpecific(&isOnSocketQueueKey_) != nullptr;
}

void QueueTcpSocket::assertOnSocketQueue() const {
    if (!isOnSocketQueue()) dispatch::preconditionFailure(kNotOnSocketQueueText);
}

void QueueTcpSocket::inlineOrAsync(dispatch::Block block) {
    if (isOnSocketQueue()) {
        block();
    } else {
        socketQueue_->async(std::move(block));
    }
}

void QueueTcpSocket::performBlock(const dispatch::Block& block) {
    if (isOnSocketQueue()) {
        block();
    } else {
        socketQueue_->sync(block);
    }
}

void QueueTcpSocket::markSocketQueueTargetQueue(const dispatch::QueuePtr& queue) {
    queue->setSpecific(&isOnSocketQueueKey_,
                       std::shared_ptr<void>(std::shared_ptr<void>(), const_cast<char*>(&isOnSocketQueueKey_)));
}

void QueueTcpSocket::unmarkSocketQueueTargetQueue(const dispatch::QueuePtr& queue) {
    queue->setSpecific(&isOnSocketQueueKey_, nullptr);
}

// ---- Delegate and configuration ---------------------------------------------------------------------

std::shared_ptr<QueueTcpSocketDelegate> QueueTcpSocket::delegate() const {
    return onSocketQueue([this] { return delegate_.lock(); });
}

dispatch::QueuePtr QueueTcpSocket::delegateQueue() const {
    return onSocketQueue([this] { return delegateQueue_; });
}

void QueueTcpSocket::setDelegate(QueueTcpSocketDelegateWeak delegate, bool synchronously) {
    auto block = [self = shared_from_this(), delegate = std::move(delegate)] { self->delegate_ = delegate; };
    if (isOnSocketQueue()) {
        block();
    } else if (synchronously) {
        socketQueue_->sync(block);
    } else {
        socketQueue_->async(std::move(block));
    }
}

void QueueTcpSocket::setDelegateQueue(dispatch::QueuePtr queue, bool synchronously) {
    auto block = [self = shared_from_this(), queue = std::move(queue)] { self->delegateQueue_ = queue; };
    if (isOnSocketQueue()) {
        block();
    } else if (synchronously) {
        socketQueue_->sync(block);
    } else {
        socketQueue_->async(std::move(block));
    }
}

void QueueTcpSocket::setDelegateAndQueue(QueueTcpSocketDelegateWeak delegate, dispatch::QueuePtr queue,
                                         bool synchronously) {
    auto block = [self = shared_from_this(), delegate = std::move(delegate), queue = std::move(queue)] {
        self->delegate_ = delegate;
        self->delegateQueue_ = queue;
    };
    if (isOnSocketQueue()) {
        block();
    } else if (synchronously) {
        socketQueue_->sync(block);
    } else {
        socketQueue_->async(std::move(block));
    }
}

bool QueueTcpSocket::configBitClear(std::uint16_t bit) const {
    return onSocketQueue([this, bit] { return (config_ & bit) == 0; });
}
void QueueTcpSocket::setConfigBitClear(std::uint16_t bit, bool clear) {
    inlineOrAsync([self = shared_from_this(), bit, clear] {
        self->config_ = static_cast<std::uint16_t>(clear ? (self->config_ & ~bit) : (self->config_ | bit));
    });
}

bool QueueTcpSocket::isIPv4Enabled() const { return configBitClear(kIPv4Disabled); }
void QueueTcpSocket::setIPv4Enabled(bool enabled) { setConfigBitClear(kIPv4Disabled, enabled); }
bool QueueTcpSocket::isIPv6Enabled() const { return configBitClear(kIPv6Disabled); }
void QueueTcpSocket::setIPv6Enabled(bool enabled) { setConfigBitClear(kIPv6Disabled, enabled); }
bool QueueTcpSocket::isIPv4PreferredOverIPv6() const { return configBitClear(kPreferIPv6); }
void QueueTcpSocket::setIPv4PreferredOverIPv6(bool preferred) { setConfigBitClear(kPreferIPv6, preferred); }
bool QueueTcpSocket::autoDisconnectOnClosedReadStream() const { return configBitClear(kAllowHalfDuplexConnection); }
void QueueTcpSocket::setAutoDisconnectOnClosedReadStream(bool enabled) {
    setConfigBitClear(kAllowHalfDuplexConnection, enabled);
}
double QueueTcpSocket::alternateAddressDelay() const {
    return onSocketQueue([this] { return alternateAddressDelay_; });
}
void QueueTcpSocket::setAlternateAddressDelay(double seconds) {
    inlineOrAsync([self = shared_from_this(), seconds] { self->alternateAddressDelay_ = seconds; });
}
std::shared_ptr<void> QueueTcpSocket::userData() const {
    return onSocketQueue([this] { return userData_; });
}
void QueueTcpSocket::setUserData(std::shared_ptr<void> data) {
    inlineOrAsync([self = shared_from_this(), data = std::move(data)] {
        if (self->userData_ != data) self->userData_ = data;
    });
}

// ---- State queries --------------------------------------------------------------------------------

namespace {

std::optional<Bytes> addressOf(int fd, bool peer) {
    if (fd == -1) return std::nullopt;
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto* address = reinterpret_cast<sockaddr*>(&storage);
    const int result = peer ? ::getpeername(fd, address, &length) : ::getsockname(fd, address, &length);
    if (result != 0) return std::nullopt;
    return addressFromSockaddr(address, std::min<socklen_t>(length, sizeof storage));
}

std::optional<std::string> hostOf(int fd, bool peer) {
    const auto address = addressOf(fd, peer);
    if (!address) return std::nullopt;
    auto parts = hostAndPortFromAddress(*address);
    if (!parts) return std::nullopt;
    return std::move(parts->host);
}

std::uint16_t portOf(int fd, bool peer) {
    const auto address = addressOf(fd, peer);
    return address ? portFromAddress(*address) : 0;
}

}  // namespace

std::optional<std::string> QueueTcpSocket::peerHost(int fd) const { return hostOf(fd, true); }
std::uint16_t QueueTcpSocket::peerPort(int fd) const { return portOf(fd, true); }
std::optional<std::string> QueueTcpSocket::sockHost(int fd) const { return hostOf(fd, false); }
std::uint16_t QueueTcpSocket::sockPort(int fd) const { return portOf(fd, false); }

bool QueueTcpSocket::isDisconnected() const {
    return onSocketQueue([this] { return (flags_ & kSocketStarted) == 0; });
}
bool QueueTcpSocket::isConnected() const {
    return onSocketQueue([this] { return (flags_ & kConnected) != 0; });
}
bool QueueTcpSocket::isIPv4() const {
    return onSocketQueue([this] { return socket4FD_ != -1; });
}
bool QueueTcpSocket::isIPv6() const {
    return onSocketQueue([this] { return socket6FD_ != -1; });
}
bool QueueTcpSocket::isSecure() const {
    return onSocketQueue([this] { return (flags_ & kSocketSecure) != 0; });
}

std::optional<std::string> QueueTcpSocket::connectedHost() const {
    return onSocketQueue([this] { return peerHost(socket4FD_ != -1 ? socket4FD_ : socket6FD_); });
}
std::uint16_t QueueTcpSocket::connectedPort() const {
    return onSocketQueue([this] { return peerPort(socket4FD_ != -1 ? socket4FD_ : socket6FD_); });
}
std::optional<std::string> QueueTcpSocket::localHost() const {
    return onSocketQueue([this] { return sockHost(socket4FD_ != -1 ? socket4FD_ : socket6FD_); });
}
std::uint16_t QueueTcpSocket::localPort() const {
    return onSocketQueue([this] { return sockPort(socket4FD_ != -1 ? socket4FD_ : socket6FD_); });
}
std::optional<Bytes> QueueTcpSocket::connectedAddress() const {
    return onSocketQueue([this] { return addressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_, true); });
}
std::optional<Bytes> QueueTcpSocket::localAddress() const {
    return onSocketQueue([this] { return addressOf(socket6FD_ != -1 ? socket6FD_ : socket4FD_, false); });
}
std::optional<std::string> QueueTcpSocket::connectedUrl() const {
    return onSocketQueue([this]() -> std::optional<std::string> {
        const auto address = addressOf(socketUN_, true);
        if (!address) return std::nullopt;
        return pathFromUnixAddress(*address);
    });
}

std::optional<std::string> QueueTcpSocket::connectedHost4() const {
    return isOnSocketQueue() ? peerHost(socket4FD_) : std::nullopt;
}
std::optional<std::string> QueueTcpSocket::connectedHost6() const {
    return isOnSocketQueue() ? peerHost(socket6FD_) : std::nullopt;
}
std::uint16_t QueueTcpSocket::connectedPort4() const { return isOnSocketQueue() ? peerPort(socket4FD_) : 0; }
std::uint16_t QueueTcpSocket::connectedPort6() const { return isOnSocketQueue() ? peerPort(socket6FD_) : 0; }
std::optional<std::string> QueueTcpSocket::localHost4() const {
    return isOnSocketQueue() ? sockHost(socket4FD_) : std::nullopt;
}
std::optional<std::string> QueueTcpSocket::localHost6() const {
    return isOnSocketQueue() ? sockHost(socket6FD_) : std::nullopt;
}
std::uint16_t QueueTcpSocket::localPort4() const { return isOnSocketQueue() ? sockPort(socket4FD_) : 0; }
std::uint16_t QueueTcpSocket::localPort6() const { return isOnSocketQueue() ? sockPort(socket6FD_) : 0; }
int QueueTcpSocket::socketFD() const {
    if (!isOnSocketQueue()) return -1;
    return socket4FD_ != -1 ? socket4FD_ : socket6FD_;
}
int QueueTcpSocket::socket4FD() const { return isOnSocketQueue() ? socket4FD_ : -1; }
int QueueTcpSocket::socket6FD() const { return isOnSocketQueue() ? socket6FD_ : -1; }

// ---- Closing --------------------------------------------------------------------------------------

void QueueTcpSocket::emptyQueues() {
    readQueue_.clear();
    writeQueue_.clear();
}

void QueueTcpSocket::closeWithError(std::optional<SocketError> error) {
    assertOnSocketQueue();
    endConnectTimeout();
    for (const auto& attempt : std::vector(attempts_)) dropAttempt(attempt);
    endCurrentRead();
    endCurrentWrite();
    emptyQueues();
    preBuffer_.reset();
    if (tls_) {
        // Tell the peer the stream ends on purpose, as far as the descriptor takes it now.
        if (flags_ & kSocketSecure) {
            tls_->shutdown();
            std::optional<SocketError> ignored;
            flushTlsOutput(ignored);
        }
        tls_.reset();
        lastTlsHandshakeStatus_ = 0;
    }

    // Cancel handlers close the descriptors once a source is gone, so no handler still running
    // on another thread can meet a closed (or reused) descriptor.
    if (accept4Source_ || accept6Source_ || acceptUNSource_ || readSource_ || writeSource_) {
        for (auto* source : {&accept4Source_, &accept6Source_, &acceptUNSource_}) {
            if (!*source) continue;
            (*source)->cancel();
            // A paused source would never run its cancel handler, which closes the descriptor.
            if (acceptSourcesSuspended_) (*source)->resume();
            source->reset();
        }
        if (readSource_) {
            readSource_->cancel();
            if (flags_ & kReadSourceSuspended) readSource_->resume();
            readSource_.reset();
        }
        if (writeSource_) {
            writeSource_->cancel();
            if (flags_ & kWriteSourceSuspended) writeSource_->resume();
            writeSource_.reset();
        }
    } else {
        for (const int fd : {socket4FD_, socket6FD_, socketUN_})
            if (fd != -1) ::close(fd);
    }
    socket4FD_ = socket6FD_ = socketUN_ = -1;
    socketPath_.clear();
    acceptSourcesSuspended_ = false;

    const bool wasStarted = (flags_ & kSocketStarted) != 0;
    socketFDBytesAvailable_ = 0;
    flags_ = 0;
    if (wasStarted) {
        report([error = std::move(error)](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
            delegate.socketDidDisconnect(self, error);
        });
    }
}

void QueueTcpSocket::maybeClose() {
    assertOnSocketQueue();
    const bool readsDone = readQueue_.empty() && !currentRead_;
    const bool writesDone = writeQueue_.empty() && !currentWrite_;
    bool shouldClose = false;
    if (flags_ & kDisconnectAfterReads) {
        shouldClose = readsDone && (!(flags_ & kDisconnectAfterWrites) || writesDone);
    } else if (flags_ & kDisconnectAfterWrites) {
        shouldClose = writesDone;
    }
    if (shouldClose) closeWithError(std::nullopt);
}

void QueueTcpSocket::disconnect() {
    performBlock([this] {
        if (flags_ & kSocketStarted) closeWithError(std::nullopt);
    });
}

void QueueTcpSocket::disconnectAfter(std::uint32_t bits) {
    socketQueue_->async([self = shared_from_this(), bits] {
        if (!(self->flags_ & kSocketStarted)) return;
        self->flags_ |= kForbidReadsWrites | bits;
        self->maybeClose();
    });
}

void QueueTcpSocket::disconnectAfterReading() { disconnectAfter(kDisconnectAfterReads); }
void QueueTcpSocket::disconnectAfterWriting() { disconnectAfter(kDisconnectAfterWrites); }
void QueueTcpSocket::disconnectAfterReadingAndWriting() {
    disconnectAfter(kDisconnectAfterReads | kDisconnectAfterWrites);
}

}  // namespace pavonix::sockets
