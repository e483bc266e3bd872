// QueueUdpSocket: life cycle, configuration, binding, receiving and closing.
#include "sockets/queue_udp_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sockets/udp_internal.h"

namespace pavonix::sockets {

using namespace udp;

namespace {

// Datagrams read per turn of the socket queue; the level-triggered read source brings the
// socket back for the rest, so one busy socket cannot hold its queue.
constexpr int kReceiveBatch = 64;
// What a datagram in flight costs beside its bytes (its address and the delivery's block).
constexpr std::size_t kInFlightOverhead = 128;
// Reading stops above the high mark and starts again once deliveries bring it under the low one.
constexpr std::size_t kInFlightHigh = 8u << 20;
constexpr std::size_t kInFlightLow = 4u << 20;

bool sameEndpoint(const Bytes& a, const Bytes& b) {
    const auto endA = hostAndPortFromAddress(a), endB = hostAndPortFromAddress(b);
    return endA && endB && endA->family == endB->family && endA->port == endB->port && endA->host == endB->host;
}

}  // namespace

namespace udp {

SocketError badConfigError(std::string message) {
    return SocketError::make(kQueueUdpSocketErrorDomain, static_cast<int>(QueueUdpSocketErrorCode::badConfig),
                             std::move(message));
}
SocketError badParamError(std::string message) {
    return SocketError::make(kQueueUdpSocketErrorDomain, static_cast<int>(QueueUdpSocketErrorCode::badParam),
                             std::move(message));
}
SocketError sendTimeoutError() {
    return SocketError::make(kQueueUdpSocketErrorDomain, static_cast<int>(QueueUdpSocketErrorCode::sendTimeout),
                             "Send operation timed out");
}
SocketError socketClosedError() {
    return SocketError::make(kQueueUdpSocketErrorDomain, static_cast<int>(QueueUdpSocketErrorCode::closed),
                             "Socket closed");
}
SocketError otherError(std::string message) {
    return SocketError::make(kQueueUdpSocketErrorDomain, static_cast<int>(QueueUdpSocketErrorCode::other),
                             std::move(message));
}

std::optional<Bytes> exactAddress(ByteView address) {
    const auto parsed = hostAndPortFromAddress(address);
    if (!parsed) return std::nullopt;
    const std::size_t size = parsed->family == AF_INET ? kIPv4AddressSize : kIPv6AddressSize;
    return Bytes(address.begin(), address.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace udp

// ---- Life cycle ---------------------------------------------------------------------------------

std::shared_ptr<QueueUdpSocket> QueueUdpSocket::make(std::weak_ptr<QueueUdpSocketDelegate> delegate,
                                                     dispatch::QueuePtr delegateQueue,
                                                     dispatch::QueuePtr socketQueue) {
    if (socketQueue && socketQueue->isConcurrent())
        dispatch::preconditionFailure("The given socketQueue parameter must not be a concurrent queue.");
    return std::make_shared<QueueUdpSocket>(Token{}, std::move(delegate), std::move(delegateQueue),
                                            std::move(socketQueue));
}

QueueUdpSocket::QueueUdpSocket(Token, std::weak_ptr<QueueUdpSocketDelegate> delegate,
                               dispatch::QueuePtr delegateQueue, dispatch::QueuePtr socketQueue)
    : delegate_(std::move(delegate)), delegateQueue_(std::move(delegateQueue)),
      socketQueue_(socketQueue ? std::move(socketQueue) : dispatch::makeSerialQueue("QueueUdpSocket")) {
    // The key is the socket itself, so several sockets may share one queue.
    socketQueue_->setSpecific(this, std::shared_ptr<void>(std::shared_ptr<void>(), this));
}

QueueUdpSocket::~QueueUdpSocket() {
    runSync([this] { closeWithError(std::nullopt, /*report=*/false); });
    socketQueue_->setSpecific(this, nullptr);
}

bool QueueUdpSocket::onSocketQueue() const { return dispatch::Queue::currentSpecific(this) != nullptr; }

void QueueUdpSocket::assertOnSocketQueue() const {
    if (!onSocketQueue()) dispatch::preconditionFailure(kNotOnSocketQueueText);
}

void QueueUdpSocket::runAsync(dispatch::Block block) {
    if (onSocketQueue()) {
        block();
        return;
    }
    // Weakly held: a block still queued when the owner lets go must not outlive the socket.
    socketQueue_->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block();
    });
}

// ---- Delegate, queues and configuration --------------------------------------------------------

std::weak_ptr<QueueUdpSocketDelegate> QueueUdpSocket::delegate() const {
    return runSync([this] { return delegate_; });
}

void QueueUdpSocket::setDelegate(std::weak_ptr<QueueUdpSocketDelegate> delegate, bool synchronously) {
    auto apply = [this, delegate = std::move(delegate)] { delegate_ = delegate; };
    synchronously ? runSync(apply) : runAsync(apply);
}

dispatch::QueuePtr QueueUdpSocket::delegateQueue() const {
    return runSync([this] { return delegateQueue_; });
}

void QueueUdpSocket::setDelegateQueue(dispatch::QueuePtr queue, bool synchronously) {
    auto apply = [this, queue = std::move(queue)] { delegateQueue_ = queue; };
    synchronously ? runSync(apply) : runAsync(apply);
}

void QueueUdpSocket::setDelegate(std::weak_ptr<QueueUdpSocketDelegate> delegate, dispatch::QueuePtr queue,
                                 bool synchronously) {
    auto apply = [this, delegate = std::move(delegate), queue = std::move(queue)] {
        delegate_ = delegate;
        delegateQueue_ = queue;
    };
    synchronously ? runSync(apply) : runAsync(apply);
}

bool QueueUdpSocket::isIPv4Enabled() const {
    return runSync([this] { return (config_ & kIPv4Disabled) == 0; });
}
void QueueUdpSocket::setIPv4Enabled(bool enabled) {
    runAsync([this, enabled] { config_ = enabled ? (config_ & ~kIPv4Disabled) : (config_ | kIPv4Disabled); });
}
bool QueueUdpSocket::isIPv6Enabled() const {
    return runSync([this] { return (config_ & kIPv6Disabled) == 0; });
}
void QueueUdpSocket::setIPv6Enabled(bool enabled) {
    runAsync([this, enabled] { config_ = enabled ? (config_ & ~kIPv6Disabled) : (config_ | kIPv6Disabled); });
}
bool QueueUdpSocket::isIPv4Preferred() const {
    return runSync([this] { return (config_ & kPreferIPv4) != 0; });
}
bool QueueUdpSocket::isIPv6Preferred() const {
    return runSync([this] { return (config_ & kPreferIPv6) != 0; });
}
bool QueueUdpSocket::isIPVersionNeutral() const {
    return runSync([this] { return (config_ & (kPreferIPv4 | kPreferIPv6)) == 0; });
}
void QueueUdpSocket::setPreferIPv4() {
    runAsync([this] { config_ = (config_ | kPreferIPv4) & ~kPreferIPv6; });
}
void QueueUdpSocket::setPreferIPv6() {
    runAsync([this] { config_ = (config_ | kPreferIPv6) & ~kPreferIPv4; });
}
void QueueUdpSocket::setIPVersionNeutral() {
    runAsync([this] { config_ &= ~(kPreferIPv4 | kPreferIPv6); });
}
std::uint16_t QueueUdpSocket::maxReceiveIPv4BufferSize() const {
    return runSync([this] { return max4ReceiveSize_; });
}
void QueueUdpSocket::setMaxReceiveIPv4BufferSize(std::uint16_t size) {
    runAsync([this, size] { max4ReceiveSize_ = size; });
}
std::uint32_t QueueUdpSocket::maxReceiveIPv6BufferSize() const {
    return runSync([this] { return max6ReceiveSize_; });
}
void QueueUdpSocket::setMaxReceiveIPv6BufferSize(std::uint32_t size) {
    runAsync([this, size] { max6ReceiveSize_ = size; });
}
std::uint16_t QueueUdpSocket::maxSendBufferSize() const {
    return runSync([this] { return maxSendSize_; });
}
void QueueUdpSocket::setMaxSendBufferSize(std::uint16_t size) {
    runAsync([this, size] { maxSendSize_ = size; });
}
std::shared_ptr<void> QueueUdpSocket::userData() const {
    return runSync([this] { return userData_; });
}
void QueueUdpSocket::setUserData(std::shared_ptr<void> data) {
    runAsync([this, data = std::move(data)] {
        if (userData_ != data) userData_ = data;
    });
}

// ---- State ----------------------------------------------------------------------------------------

const QueueUdpSocket::FamilySocket& QueueUdpSocket::localEnd(int which) const {
    const int index = which >= 0 ? which : (sockets_[kIPv4].fd >= 0 ? kIPv4 : kIPv6);
    FamilySocket& s = sockets_[index];
    if (s.cachedLocalAddress.empty() && (flags_ & kBound) != 0 && s.fd >= 0) {
        sockaddr_storage address{};
        socklen_t length = index == kIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (::getsockname(s.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            s.cachedLocalAddress = addressFromSockaddr(reinterpret_cast<const sockaddr*>(&address), length);
            s.cachedLocalHost = hostFromAddress(s.cachedLocalAddress);
            s.cachedLocalPort = portFromAddress(s.cachedLocalAddress);
        }
    }
    return s;
}

QueueUdpSocket::Bytes QueueUdpSocket::localAddress() const {
    return runSync([this] { return localEnd(-1).cachedLocalAddress; });
}
std::string QueueUdpSocket::localHost() const {
    return runSync([this] { return localEnd(-1).cachedLocalHost; });
}
std::uint16_t QueueUdpSocket::localPort() const {
    return runSync([this] { return localEnd(-1).cachedLocalPort; });
}
QueueUdpSocket::Bytes QueueUdpSocket::localAddressIPv4() const {
    return runSync([this] { return localEnd(kIPv4).cachedLocalAddress; });
}
std::string QueueUdpSocket::localHostIPv4() const {
    return runSync([this] { return localEnd(kIPv4).cachedLocalHost; });
}
std::uint16_t QueueUdpSocket::localPortIPv4() const {
    return runSync([this] { return localEnd(kIPv4).cachedLocalPort; });
}
QueueUdpSocket::Bytes QueueUdpSocket::localAddressIPv6() const {
    return runSync([this] { return localEnd(kIPv6).cachedLocalAddress; });
}
std::string QueueUdpSocket::localHostIPv6() const {
    return runSync([this] { return localEnd(kIPv6).cachedLocalHost; });
}
std::uint16_t QueueUdpSocket::localPortIPv6() const {
    return runSync([this] { return localEnd(kIPv6).cachedLocalPort; });
}

bool QueueUdpSocket::isConnected() const {
    return runSync([this] { return (flags_ & kConnected) != 0; });
}
bool QueueUdpSocket::isClosed() const {
    return runSync([this] { return (flags_ & kSocketsCreated) == 0; });
}
bool QueueUdpSocket::isIPv4() const {
    return runSync([this] {
        return (flags_ & kSocketsCreated) ? sockets_[kIPv4].fd >= 0 : (config_ & kIPv4Disabled) == 0;
    });
}
bool QueueUdpSocket::isIPv6() const {
    return runSync([this] {
        return (flags_ & kSocketsCreated) ? sockets_[kIPv6].fd >= 0 : (config_ & kIPv6Disabled) == 0;
    });
}

// ---- Checks and socket creation -------------------------------------------------------------------

bool QueueUdpSocket::preOp(SocketError* error) const {
    if (delegate_.expired())
        return fail(error, badConfigError("Attempting to use socket without a delegate. Set a delegate first."));
    if (!delegateQueue_)
        return fail(error,
                    badConfigError("Attempting to use socket without a delegate queue. Set a delegate queue first."));
    return true;
}

bool QueueUdpSocket::preBind(SocketError* error) const {
    if (!preOp(error)) return false;
    if (flags_ & kBound) return fail(error, badConfigError("Cannot bind a socket more than once."));
    if (flags_ & (kConnecting | kConnected))
        return fail(error, badConfigError("Cannot bind after connecting. If needed, bind first, then connect."));
    if ((config_ & (kIPv4Disabled | kIPv6Disabled)) == (kIPv4Disabled | kIPv6Disabled))
        return fail(error, badConfigError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first."));
    return true;
}

bool QueueUdpSocket::createSocketsForEnabledFamilies(SocketError* error) {
    return createSockets((config_ & kIPv4Disabled) == 0, (config_ & kIPv6Disabled) == 0, error);
}

bool QueueUdpSocket::preOpWithSockets(SocketError* error) {
    if (!preOp(error)) return false;
    return (flags_ & kSocketsCreated) != 0 || createSocketsForEnabledFamilies(error);
}

bool QueueUdpSocket::createSockets(bool ipv4, bool ipv6, SocketError* error) {
    assertOnSocketQueue();
    if (flags_ & kSocketsCreated) dispatch::preconditionFailure("Sockets have already been created");

    auto createOne = [this, error](int domain) -> int {
        const int fd = ::socket(domain, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            fail(error, SocketError::posix(errno, "Error in socket() function"));
            return -1;
        }
        auto refuse = [fd, error](const char* reason) {
            const int code = errno;
            ::close(fd);
            fail(error, SocketError::posix(code, reason));
            return -1;
        };
        const int one = 1;
        const int bufferSize = maxSendSize_;
        if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) return refuse("Error enabling non-blocking IO on socket (fcntl)");
        // IPv4 peers then reach the IPv4 socket, never the IPv6 one as mapped addresses.
        if (domain == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0)
            return refuse("Error disabling IPv4 on the IPv6 socket (setsockopt)");
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize) != 0)
            return refuse("Error setting send buffer size (setsockopt)");
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize) != 0)
            return refuse("Error setting receive buffer size (setsockopt)");
        return fd;
    };

    int fd4 = -1;
    if (ipv4 && (fd4 = createOne(AF_INET)) < 0) return false;
    int fd6 = -1;
    if (ipv6 && (fd6 = createOne(AF_INET6)) < 0) {
        if (fd4 >= 0) ::close(fd4);
        return false;
    }
    sockets_[kIPv4].fd = fd4;
    sockets_[kIPv6].fd = fd6;
    if (fd4 >= 0) setUpSources(kIPv4);
    if (fd6 >= 0) setUpSources(kIPv6);
    flags_ |= kSocketsCreated;
    return true;
}

void QueueUdpSocket::setUpSources(int index) {
    FamilySocket& s = sockets_[index];
    s.sendSource = dispatch::Source::makeWrite(s.fd, socketQueue_);
    s.receiveSource = dispatch::Source::makeRead(s.fd, socketQueue_);
    s.sendSuspended = s.receiveSuspended = true;
    s.canAcceptBytes = true;
    s.bytesAvailable = 0;

    const std::weak_ptr<QueueUdpSocket> weak = weak_from_this();
    s.sendSource->setEventHandler([weak, index] {
        auto self = weak.lock();
        if (!self) return;
        FamilySocket& socket = self->sockets_[index];
        socket.canAcceptBytes = true;
        auto packet = std::dynamic_pointer_cast<QueueUdpSendPacket>(self->currentSend_);
        const int family = index == kIPv4 ? AF_INET : AF_INET6;
        if (packet && !packet->resolveInProgress && !packet->filterInProgress && packet->addressFamily == family) {
            self->doSend();
        } else {
            self->suspendWriteSource(index);
        }
    });
    dispatch::Source* readSource = s.receiveSource.get();
    s.receiveSource->setEventHandler([weak, index, readSource] {
        auto self = weak.lock();
        if (!self) return;
        // A datagram socket has no end of stream: the source counts even an empty datagram as
        // waiting, and reading it is what drops it.
        self->sockets_[index].bytesAvailable = std::max<std::size_t>(readSource->data(), 1);
        self->doReceive();
    });
    // Either cancel handler may run last; that one closes the descriptor.
    auto remaining = std::make_shared<std::atomic<int>>(2);
    auto closeLast = [remaining, fd = s.fd] {
        if (remaining->fetch_sub(1) == 1) ::close(fd);
    };
    s.sendSource->setCancelHandler(closeLast);
    s.receiveSource->setCancelHandler(closeLast);
}

namespace {
// Suspend and resume act only when the bit says the source is in the other state, so the
// source's own count never goes below zero or climbs past one.
void setSuspended(const dispatch::SourcePtr& source, bool& suspended, bool suspend) {
    if (!source || suspended == suspend) return;
    suspended = suspend;
    suspend ? source->suspend() : source->resume();
}
}  // namespace

void QueueUdpSocket::resumeReadSource(int index) {
    setSuspended(sockets_[index].receiveSource, sockets_[index].receiveSuspended, false);
}
void QueueUdpSocket::suspendReadSource(int index) {
    setSuspended(sockets_[index].receiveSource, sockets_[index].receiveSuspended, true);
}
void QueueUdpSocket::resumeWriteSource(int index) {
    setSuspended(sockets_[index].sendSource, sockets_[index].sendSuspended, false);
}
void QueueUdpSocket::suspendWriteSource(int index) {
    setSuspended(sockets_[index].sendSource, sockets_[index].sendSuspended, true);
}

void QueueUdpSocket::closeFamily(int index) {
    FamilySocket& s = sockets_[index];
    if (s.fd < 0) return;
    // The cancel handlers run only once the sources are resumed; the last one closes the descriptor.
    s.sendSource->cancel();
    s.receiveSource->cancel();
    if (s.sendSuspended) s.sendSource->resume();
    if (s.receiveSuspended) s.receiveSource->resume();
    s = FamilySocket{};
}

void QueueUdpSocket::closeSockets() {
    closeFamily(kIPv4);
    closeFamily(kIPv6);
    flags_ &= ~kSocketsCreated;
}

void QueueUdpSocket::closeWithError(std::optional<SocketError> error, bool report) {
    assertOnSocketQueue();
    endCurrentSend();
    sendQueue_.clear();
    const bool hadSockets = (flags_ & kSocketsCreated) != 0;
    closeSockets();
    flags_ = 0;
    cachedConnectedAddress_.clear();
    cachedConnectedHost_.clear();
    cachedConnectedPort_ = 0;
    cachedConnectedFamily_ = 0;
    throttled_ = false;
    if (hadSockets && report) notifyDidClose(std::move(error));
}

void QueueUdpSocket::notifyDidClose(std::optional<SocketError> error) {
    notify([error = std::move(error)](QueueUdpSocketDelegate& delegate, QueueUdpSocket& socket) {
        delegate.udpSocketDidClose(socket, error);
    });
}

void QueueUdpSocket::close() {
    runSync([this] { closeWithError(std::nullopt); });
}

// ---- Binding ----------------------------------------------------------------------------------

bool QueueUdpSocket::bindInternal(const std::optional<Bytes>& address4, const std::optional<Bytes>& address6,
                                  SocketError* error) {
    if (!(flags_ & kSocketsCreated) && !createSockets(address4.has_value(), address6.has_value(), error)) return false;
    const std::pair<int, const std::optional<Bytes>*> plan[] = {{kIPv4, &address4}, {kIPv6, &address6}};
    for (const auto& [index, address] : plan) {
        if (!*address) continue;
        if (::bind(sockets_[index].fd, reinterpret_cast<const sockaddr*>((*address)->data()),
                   static_cast<socklen_t>((*address)->size())) != 0) {
            const int code = errno;
            closeSockets();
            return fail(error, SocketError::posix(code, "Error in bind() function"));
        }
    }
    flags_ |= kBound;
    if (!address4) flags_ |= kIPv4Deactivated;
    if (!address6) flags_ |= kIPv6Deactivated;
    return true;
}

bool QueueUdpSocket::bindToPort(std::uint16_t port, SocketError* error) {
    return bindToPort(port, std::nullopt, error);
}

bool QueueUdpSocket::bindToPort(std::uint16_t port, const std::optional<std::string>& interface, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preBind(error)) return false;
        InterfaceAddresses addresses =
            resolveInterface(interface ? std::optional<std::string_view>(*interface) : std::nullopt, port);
        if (addresses.empty()) return fail(error, badParamError(kUnknownInterfaceText));
        if ((config_ & kIPv4Disabled) && !addresses.ipv6)
            return fail(error, badParamError("IPv4 has been disabled and specified interface doesn't support IPv6."));
        if ((config_ & kIPv6Disabled) && !addresses.ipv4)
            return fail(error, badParamError("IPv6 has been disabled and specified interface doesn't support IPv4."));
        if (config_ & kIPv4Disabled) addresses.ipv4.reset();
        if (config_ & kIPv6Disabled) addresses.ipv6.reset();
        return bindInternal(addresses.ipv4, addresses.ipv6, error);
    });
}

bool QueueUdpSocket::bindToAddress(const Bytes& address, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preBind(error)) return false;
        const std::optional<Bytes> exact = exactAddress(address);
        if (!exact) return fail(error, badParamError("A valid IPv4 or IPv6 address was not given"));
        const bool ipv4 = familyFromAddress(*exact) == AF_INET;
        if (ipv4 && (config_ & kIPv4Disabled))
            return fail(error, badParamError("IPv4 has been disabled and an IPv4 address was passed."));
        if (!ipv4 && (config_ & kIPv6Disabled))
            return fail(error, badParamError("IPv6 has been disabled and an IPv6 address was passed."));
        return bindInternal(ipv4 ? exact : std::nullopt, ipv4 ? std::nullopt : exact, error);
    });
}

bool QueueUdpSocket::enableReusePort(bool flag, SocketError* error) {
    return runSync([&]() -> bool {
        if (!preOpWithSockets(error)) return false;
        const int value = flag ? 1 : 0;
        bool ok = false;
        for (int index : {kIPv4, kIPv6}) {
            if (sockets_[index].fd < 0) continue;
            if (::setsockopt(sockets_[index].fd, SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) != 0) {
                fail(error, SocketError::posix(errno, "Error in setsockopt() function"));
                return ok;
            }
            ok = true;
        }
        return ok;
    });
}

// ---- Receiving ----------------------------------------------------------------------------------

bool QueueUdpSocket::startReceiving(std::uint32_t mode, SocketError* error) {
    return runSync([&]() -> bool {
        if (flags_ & mode) return true;
        if (!(flags_ & kSocketsCreated))
            return fail(error, badConfigError("Must bind socket before you can receive data. You can do this "
                                              "explicitly via bind, or implicitly via connect or by sending data."));
        flags_ = (flags_ & ~(kReceiveOnce | kReceiveContinuous)) | mode;
        socketQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->doReceive();
        });
        return true;
    });
}

bool QueueUdpSocket::receiveOnce(SocketError* error) { return startReceiving(kReceiveOnce, error); }
bool QueueUdpSocket::beginReceiving(SocketError* error) { return startReceiving(kReceiveContinuous, error); }

void QueueUdpSocket::pauseReceiving() {
    runAsync([this] {
        flags_ &= ~(kReceiveOnce | kReceiveContinuous);
        suspendReadSource(kIPv4);
        suspendReadSource(kIPv6);
    });
}

void QueueUdpSocket::setReceiveFilter(ReceiveFilter filter, dispatch::QueuePtr queue, bool isAsynchronous) {
    if (filter && !queue) dispatch::preconditionFailure(kFilterQueueText);
    if (!filter) queue = nullptr;
    runAsync([this, filter = std::move(filter), queue = std::move(queue), isAsynchronous] {
        receiveFilter_ = filter;
        receiveFilterQueue_ = queue;
        receiveFilterAsync_ = isAsynchronous;
    });
}

void QueueUdpSocket::doReceive() {
    assertOnSocketQueue();
    receiveLoop();
    // One hop to the delegate queue for everything this turn read.
    flushDeliveries();
}

void QueueUdpSocket::receiveLoop() {
    for (int budget = kReceiveBatch;;) {
        const bool receiving = (flags_ & (kReceiveOnce | kReceiveContinuous)) != 0;
        if (!receiving || ((flags_ & kReceiveOnce) && pendingFilterOperations_ > 0) || throttled_) {
            // Level-triggered sources would fire again and again for data nobody reads.
            suspendReadSource(kIPv4);
            suspendReadSource(kIPv6);
            return;
        }
        const bool have4 = sockets_[kIPv4].fd >= 0 && sockets_[kIPv4].bytesAvailable > 0;
        const bool have6 = sockets_[kIPv6].fd >= 0 && sockets_[kIPv6].bytesAvailable > 0;
        if ((!have4 && !have6) || budget-- == 0) {
            resumeReadSource(kIPv4);
            resumeReadSource(kIPv6);
            return;
        }
        int index = have4 ? kIPv4 : kIPv6;
        if (have4 && have6) {
            index = (flags_ & kReceiveFlipFlop) ? kIPv4 : kIPv6;
            flags_ ^= kReceiveFlipFlop;
        }
        const ReadResult result = readOne(index);
        if (result == ReadResult::failed) return;
        if (result == ReadResult::delivered && (flags_ & kReceiveOnce)) flags_ &= ~(kReceiveOnce | kReceiveContinuous);
        // wouldBlock, dropped, filtering: the loop decides with the new state.
    }
}

QueueUdpSocket::ReadResult QueueUdpSocket::readOne(int index) {
    FamilySocket& s = sockets_[index];
    // No datagram is longer than 65535 bytes (jumbograms aside), so a larger IPv6 limit buys nothing.
    const std::size_t limit = index == kIPv4 ? max4ReceiveSize_ : std::min<std::uint32_t>(max6ReceiveSize_, 65535);
    if (s.receiveBuffer.size() != limit) s.receiveBuffer.resize(limit);
    sockaddr_storage from{};
    socklen_t fromLength = index == kIPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    ssize_t result;
    do {
        result = ::recvfrom(s.fd, s.receiveBuffer.data(), limit, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            s.bytesAvailable = 0;
            return ReadResult::wouldBlock;
        }
        closeWithError(SocketError::posix(errno, "Error in recvfrom() function"));
        return ReadResult::failed;
    }
    // An empty datagram carries nothing to deliver; the next one may be waiting behind it.
    if (result == 0) return ReadResult::dropped;

    const auto* fromBytes = reinterpret_cast<const std::uint8_t*>(&from);
    Bytes address(fromBytes, fromBytes + fromLength);
    if ((flags_ & kConnected) && !sameEndpoint(address, cachedConnectedAddress_)) return ReadResult::dropped;
    // Copied out of the reusable buffer: a datagram held by the delegate then costs its own size.
    Bytes data(s.receiveBuffer.begin(), s.receiveBuffer.begin() + result);

    const std::size_t cost = data.size() + kInFlightOverhead;
    if (inFlightBytes_.fetch_add(cost) + cost > kInFlightHigh) {
        throttled_ = true;
        // Deliveries may have drained everything before the flag was up; then nobody would lift it.
        if (inFlightBytes_.load() <= kInFlightLow) throttled_ = false;
    }

    if (!receiveFilter_ || !receiveFilterQueue_) {
        deliver(std::move(data), std::move(address), {});
        return ReadResult::delivered;
    }
    if (!receiveFilterAsync_) {
        std::any context;
        bool accepted = false;
        receiveFilterQueue_->sync([&] { accepted = receiveFilter_(data, address, context); });
        if (!accepted) {
            releaseInFlight(cost);
            return ReadResult::dropped;
        }
        deliver(std::move(data), std::move(address), std::move(context));
        return ReadResult::delivered;
    }
    ++pendingFilterOperations_;
    receiveFilterQueue_->async([weak = weak_from_this(), filter = receiveFilter_, queue = socketQueue_,
                                data = std::move(data), address = std::move(address), cost]() mutable {
        std::any context;
        const bool accepted = filter(data, address, context);
        queue->async([weak, accepted, data = std::move(data), address = std::move(address),
                      context = std::move(context), cost]() mutable {
            auto self = weak.lock();
            if (!self) return;
            --self->pendingFilterOperations_;
            if (accepted) {
                self->deliver(std::move(data), std::move(address), std::move(context));
                self->flushDeliveries();
            } else {
                self->releaseInFlight(cost);
            }
            self->afterAsyncFilter(accepted);
        });
    });
    return ReadResult::filtering;
}

void QueueUdpSocket::afterAsyncFilter(bool delivered) {
    if (!(flags_ & kReceiveOnce)) return;
    if (delivered) {
        flags_ &= ~kReceiveOnce;
    } else if (pendingFilterOperations_ == 0) {
        doReceive();
    }
}

void QueueUdpSocket::deliver(Bytes data, Bytes address, std::any context) {
    pendingDeliveries_.push_back(Delivery{std::move(data), std::move(address), std::move(context)});
}

void QueueUdpSocket::flushDeliveries() {
    if (pendingDeliveries_.empty()) return;
    std::vector<Delivery> batch;
    batch.swap(pendingDeliveries_);
    std::size_t cost = 0;
    for (const Delivery& d : batch) cost += d.data.size() + kInFlightOverhead;
    auto delegate = delegate_.lock();
    if (!delegate || !delegateQueue_) {
        releaseInFlight(cost);
        return;
    }
    delegateQueue_->async([self = shared_from_this(), delegate = std::move(delegate), batch = std::move(batch), cost] {
        for (const Delivery& d : batch) delegate->udpSocketDidReceive(*self, d.data, d.address, d.context);
        self->releaseInFlight(cost);
    });
}

void QueueUdpSocket::releaseInFlight(std::size_t bytes) {
    const std::size_t left = inFlightBytes_.fetch_sub(bytes) - bytes;
    if (left <= kInFlightLow && throttled_.exchange(false)) {
        socketQueue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->doReceive();
        });
    }
}

// ---- Queue access ---------------------------------------------------------------------------------

void QueueUdpSocket::markSocketQueueTargetQueue(const dispatch::QueuePtr& queue) {
    queue->setSpecific(this, std::shared_ptr<void>(std::shared_ptr<void>(), this));
}

void QueueUdpSocket::unmarkSocketQueueTargetQueue(const dispatch::QueuePtr& queue) { queue->setSpecific(this, nullptr); }

void QueueUdpSocket::performBlock(const dispatch::Block& block) { runSync(block); }

int QueueUdpSocket::socketFD() const {
    if (!onSocketQueue()) return -1;
    return sockets_[kIPv4].fd >= 0 ? sockets_[kIPv4].fd : sockets_[kIPv6].fd;
}
int QueueUdpSocket::socket4FD() const { return onSocketQueue() ? sockets_[kIPv4].fd : -1; }
int QueueUdpSocket::socket6FD() const { return onSocketQueue() ? sockets_[kIPv6].fd : -1; }

}  // namespace pavonix::sockets
