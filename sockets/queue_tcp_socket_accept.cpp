// QueueTcpSocket: listening and accepting.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "sockets/queue_tcp_socket_internal.h"

namespace pavonix::sockets {

using namespace tcp;

namespace {

// Accepts per read event before other work on the queue gets its turn; the source fires again
// while connections wait.
constexpr int kMaxAcceptsPerEvent = 64;
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

SocketError configError(std::string text) {
    return queueTcpSocketError(QueueTcpSocketErrorCode::badConfig, std::move(text));
}

SocketError paramError(std::string text) {
    return queueTcpSocketError(QueueTcpSocketErrorCode::badParam, std::move(text));
}

}  // namespace

std::optional<SocketError> QueueTcpSocket::startPreconditions(bool accepting, bool checkFamilies) const {
    const std::string verb = accepting ? "accept" : "connect";
    if (delegate_.expired())
        return configError("Attempting to " + verb + " without a delegate. Set a delegate first.");
    if (!delegateQueue_)
        return configError("Attempting to " + verb + " without a delegate queue. Set a delegate queue first.");
    const bool bothDisabled = checkFamilies && (config_ & kIPv4Disabled) && (config_ & kIPv6Disabled);
    const auto familiesError = [] {
        return configError("Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    };
    if (accepting && bothDisabled) return familiesError();
    if (flags_ & kSocketStarted)
        return configError("Attempting to " + verb +
                           " while connected or accepting connections. Disconnect first.");
    if (bothDisabled) return familiesError();
    return std::nullopt;
}

int QueueTcpSocket::createListeningSocket(int domain, const Bytes& address, SocketError& error) {
    const int fd = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        error = SocketError::posix(errno, "Error in socket() function");
        return -1;
    }
    const auto fail = [&](const char* reason) {
        error = SocketError::posix(errno, reason);
        ::close(fd);
        return -1;
    };
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) == -1) return fail("Error enabling non-blocking IO on socket (fcntl)");
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1)
        return fail("Error enabling address reuse (setsockopt)");
    // Without it Linux lets the IPv6 wildcard take IPv4 too, and the IPv4 listener on the same
    // port could not bind.
    if (domain == AF_INET6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == -1)
        return fail("Error enabling IPv6-only mode (setsockopt)");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(address.data()), static_cast<socklen_t>(address.size())) == -1)
        return fail("Error in bind() function");
    if (::listen(fd, 1024) == -1) return fail("Error in listen() function");
    return fd;
}

dispatch::SourcePtr QueueTcpSocket::makeAcceptSource(int fd) {
    auto source = dispatch::Source::makeRead(fd, socketQueue_);
    source->setEventHandler([weak = weak_from_this(), fd, weakSource = std::weak_ptr(source)] {
        const auto self = weak.lock();
        if (!self) return;
        int status = 0;
        for (int i = 0; i < kMaxAcceptsPerEvent && !self->acceptGateClosed() && (status = self->doAccept(fd)) == 0;
             ++i) {
        }
        self->updateAcceptGate();
        // Out of descriptors or memory, the pending connection stays queued and the source would
        // fire again at once: pause instead of spinning. The held source is resumed even if it
        // was cancelled meanwhile, so its cancel handler still closes the descriptor.
        if (status == EMFILE || status == ENFILE || status == ENOBUFS || status == ENOMEM) {
            if (const auto paused = weakSource.lock()) {
                paused->suspend();
                self->socketQueue_->after(kAcceptPause, [paused] { paused->resume(); });
            }
        }
    });
    source->setCancelHandler([fd] { ::close(fd); });
    source->resume();
    return source;
}

// Once closed, the gate opens again only at half the bound, so that each opening takes a batch of
// connections rather than one per round trip through the reactor.
constexpr std::size_t kAcceptsAwaitingToGoOn = QueueTcpSocket::kMaxAcceptsAwaitingHandOver / 2;

bool QueueTcpSocket::acceptGateClosed() const {
    const std::size_t awaiting = acceptsAwaitingHandOver_.load();
    return awaiting >= (acceptSourcesSuspended_ ? kAcceptsAwaitingToGoOn + 1 : kMaxAcceptsAwaitingHandOver);
}

void QueueTcpSocket::updateAcceptGate() {
    assertOnSocketQueue();
    const bool close = acceptGateClosed();
    if (close == acceptSourcesSuspended_ || (!accept4Source_ && !accept6Source_ && !acceptUNSource_)) return;
    for (const auto* source : {&accept4Source_, &accept6Source_, &acceptUNSource_}) {
        if (*source) close ? (*source)->suspend() : (*source)->resume();
    }
    acceptSourcesSuspended_ = close;
}

bool QueueTcpSocket::acceptOnPort(std::uint16_t port, SocketError* error) {
    return acceptOnInterface({}, port, error);
}

bool QueueTcpSocket::acceptOnInterface(std::string_view interface, std::uint16_t port, SocketError* error) {
    std::optional<SocketError> failure;
    performBlock([&] {
        failure = startPreconditions(true, true);
        if (failure) return;
        emptyQueues();
        auto addresses = resolveInterfaceDescription(interface, port);
        if (addresses.empty()) {
            failure = paramError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return;
        }
        if ((config_ & kIPv4Disabled) && !addresses.ipv6) {
            failure = paramError("IPv4 has been disabled and specified interface doesn't support IPv6.");
            return;
        }
        if ((config_ & kIPv6Disabled) && !addresses.ipv4) {
            failure = paramError("IPv6 has been disabled and specified interface doesn't support IPv4.");
            return;
        }
        const bool use4 = !(config_ & kIPv4Disabled) && addresses.ipv4;
        const bool use6 = !(config_ & kIPv6Disabled) && addresses.ipv6;
        SocketError created;
        if (use4) {
            socket4FD_ = createListeningSocket(AF_INET, *addresses.ipv4, created);
            if (socket4FD_ == -1) {
                failure = created;
                return;
            }
        }
        if (use6) {
            // Both families share the port the system chose for IPv4.
            if (use4 && portFromAddress(*addresses.ipv6) == 0) setPortOfAddress(*addresses.ipv6, sockPort(socket4FD_));
            socket6FD_ = createListeningSocket(AF_INET6, *addresses.ipv6, created);
            if (socket6FD_ == -1) {
                if (socket4FD_ != -1) ::close(socket4FD_);
                socket4FD_ = -1;
                failure = created;
                return;
            }
        }
        if (use4) accept4Source_ = makeAcceptSource(socket4FD_);
        if (use6) accept6Source_ = makeAcceptSource(socket6FD_);
        updateAcceptGate();
        flags_ |= kSocketStarted;
    });
    if (failure && error) *error = *failure;
    return !failure;
}

bool QueueTcpSocket::acceptOnUrl(std::string_view path, SocketError* error) {
    std::optional<SocketError> failure;
    performBlock([&] {
        failure = startPreconditions(true, false);
        if (failure) return;
        emptyQueues();
        // A path too long for sun_path is refused, never cut short to name another file.
        const auto address = unixAddressFromPath(path);
        if (!address) {
            failure = paramError(
                "Invalid unix domain url. Specify a valid file url that does not exist (e.g. \"file:///tmp/socket\")");
            return;
        }
        const std::string pathText(path);
        // Only a socket left by an earlier listener is removed; any other file stays, and bind
        // then reports that the address is in use.
        struct stat status {};
        if (::lstat(pathText.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
            ::unlink(pathText.c_str()) != 0) {
            failure = queueTcpSocketError(QueueTcpSocketErrorCode::other,
                                          "Could not remove previous unix domain socket at given url.");
            return;
        }
        SocketError created;
        socketUN_ = createListeningSocket(AF_UNIX, *address, created);
        if (socketUN_ == -1) {
            failure = created;
            return;
        }
        socketPath_ = pathText;
        acceptUNSource_ = makeAcceptSource(socketUN_);
        updateAcceptGate();
        flags_ |= kSocketStarted;
    });
    if (failure && error) *error = *failure;
    return !failure;
}

int QueueTcpSocket::doAccept(int listenFD) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int childFD = ::accept4(listenFD, reinterpret_cast<sockaddr*>(&peer), &length,
                                  SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (childFD == -1) return errno;
    Bytes peerAddress = addressFromSockaddr(reinterpret_cast<const sockaddr*>(&peer),
                                            std::min<socklen_t>(length, sizeof peer));
    // Nobody could ever own this connection.
    if (!delegateQueue_) {
        ::close(childFD);
        return 0;
    }
    enum class Family { v4, v6, unix };
    const Family family = listenFD == socket4FD_ ? Family::v4 : listenFD == socket6FD_ ? Family::v6 : Family::unix;
    ++acceptsAwaitingHandOver_;
    delegateQueue_->async([self = shared_from_this(), delegate = delegate_.lock(), delegateWeak = delegate_,
                           delegateQueue = delegateQueue_, childFD, family, peerAddress = std::move(peerAddress)] {
        dispatch::QueuePtr childQueue;
        if (delegate) childQueue = delegate->newSocketQueueForConnection(peerAddress, self);
        auto child = create(delegateWeak, delegateQueue, std::move(childQueue));
        // Nobody else knows the new socket yet; its queue sees these fields after the hop below.
        (family == Family::v4 ? child->socket4FD_ : family == Family::v6 ? child->socket6FD_ : child->socketUN_) =
            childFD;
        child->flags_ = kSocketStarted | kConnected;
        // Queued before the report, so whatever the delegate asks of the new socket finds its
        // sources in place.
        child->socketQueue_->async([weakChild = std::weak_ptr<QueueTcpSocket>(child), childFD] {
            if (const auto c = weakChild.lock()) c->setupReadAndWriteSources(childFD);
        });
        if (delegate) delegate->socketDidAcceptNewSocket(self, child);
        // The hand-over that brought the count down far enough lets a paused listener go on.
        if (self->acceptsAwaitingHandOver_.fetch_sub(1) == kAcceptsAwaitingToGoOn + 1) {
            self->socketQueue_->async([weak = std::weak_ptr<QueueTcpSocket>(self)] {
                if (const auto listener = weak.lock()) listener->updateAcceptGate();
            });
        }
    });
    return 0;
}

}  // namespace pavonix::sockets
