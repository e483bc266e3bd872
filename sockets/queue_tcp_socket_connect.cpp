// QueueTcpSocket: connecting to a host, an address or a unix-domain path.
//
// Every attempt is a non-blocking connect watched by a write source on the socket queue, so no
// thread waits for the kernel's own time-out, and each attempt's descriptor belongs to that
// attempt alone until it wins (then to the connection) or is dropped (then its source's cancel
// handler closes it, once). Only the name look-up blocks, on a global queue. Results carry the
// connect generation: a time-out, a close or a newer attempt makes every older result stale.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "sockets/queue_tcp_socket_internal.h"

namespace pavonix::sockets {

using namespace tcp;

struct QueueTcpSocket::ConnectAttempt {
    int fd = -1;
    int family = AF_UNSPEC;
    Bytes address;
    dispatch::SourcePtr source;
    // The descriptor the cancel handler closes; -1 once the connection took it over.
    std::shared_ptr<int> ownedFD;
    bool resumed = false;
};

namespace {

SocketError paramError(std::string text) {
    return queueTcpSocketError(QueueTcpSocketErrorCode::badParam, std::move(text));
}

}  // namespace

LookupResult QueueTcpSocket::lookupHost(std::string_view host, std::uint16_t port) {
    return sockets::lookupHost(host, port, SOCK_STREAM);
}

std::optional<SocketError> QueueTcpSocket::preConnect(std::string_view interface) {
    if (auto refusal = startPreconditions(false, true)) return refusal;
    if (!interface.empty()) {
        const auto addresses = resolveInterfaceDescription(interface, 0);
        if (addresses.empty())
            return paramError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
        if ((config_ & kIPv4Disabled) && !addresses.ipv6)
            return paramError("IPv4 has been disabled and specified interface doesn't support IPv6.");
        if ((config_ & kIPv6Disabled) && !addresses.ipv4)
            return paramError("IPv6 has been disabled and specified interface doesn't support IPv4.");
        connectInterface4_ = addresses.ipv4;
        connectInterface6_ = addresses.ipv6;
    }
    emptyQueues();
    return std::nullopt;
}

bool QueueTcpSocket::connectToHost(std::string_view host, std::uint16_t port, double timeout,
                                   std::string_view interface, SocketError* error) {
    std::optional<SocketError> failure;
    performBlock([&] {
        if (host.empty()) {
            failure = paramError("Invalid host parameter (nil or \"\"). Should be a domain name or IP address string.");
            return;
        }
        failure = preConnect(interface);
        if (failure) return;
        flags_ |= kSocketStarted;
        dispatch::globalQueue()->async([weak = weak_from_this(), queue = socketQueue_, host = std::string(host), port,
                                        generation = stateIndex_] {
            auto result = lookupHost(host, port);
            queue->async([weak, generation, result = std::move(result)]() mutable {
                if (const auto self = weak.lock()) self->lookupDidFinish(generation, std::move(result));
            });
        });
        startConnectTimeout(timeout);
    });
    if (failure && error) *error = *failure;
    return !failure;
}

void QueueTcpSocket::lookupDidFinish(std::uint64_t generation, LookupResult result) {
    if (generation != stateIndex_) return;
    if (result.error) {
        closeWithError(std::move(result.error));
        return;
    }
    if (result.addresses.empty()) dispatch::preconditionFailure("Expected at least one valid address");
    std::optional<Bytes> address4, address6;
    for (auto& address : result.addresses) {
        if (!address4 && isIPv4Address(address)) address4 = address;
        if (!address6 && isIPv6Address(address)) address6 = address;
    }
    // A disabled family's address never gets a descriptor.
    if (config_ & kIPv4Disabled) address4.reset();
    if (config_ & kIPv6Disabled) address6.reset();
    if (!address4 && !address6) {
        closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::other,
                                           (config_ & kIPv4Disabled)
                                               ? "IPv4 has been disabled and DNS lookup found no IPv6 address."
                                               : "IPv6 has been disabled and DNS lookup found no IPv4 address."));
        return;
    }
    SocketError error;
    if (!connectWithAddresses(address4, address6, error)) closeWithError(error);
}

bool QueueTcpSocket::connectToAddress(const Bytes& address, double timeout, std::string_view interface,
                                      SocketError* error) {
    std::optional<SocketError> failure;
    performBlock([&] {
        const bool v4 = isIPv4Address(address) && address.size() == kIPv4AddressSize;
        const bool v6 = isIPv6Address(address) && address.size() == kIPv6AddressSize;
        if (!v4 && !v6) {
            failure = paramError("A valid IPv4 or IPv6 address was not given");
        } else if (v4 && (config_ & kIPv4Disabled)) {
            failure = paramError("IPv4 has been disabled and an IPv4 address was passed.");
        } else if (v6 && (config_ & kIPv6Disabled)) {
            failure = paramError("IPv6 has been disabled and an IPv6 address was passed.");
        }
        if (!failure) failure = preConnect(interface);
        if (failure) return;
        SocketError created;
        if (!connectWithAddresses(v4 ? std::optional(address) : std::nullopt,
                                  v6 ? std::optional(address) : std::nullopt, created)) {
            connectInterface4_.reset();
            connectInterface6_.reset();
            failure = created;
            return;
        }
        flags_ |= kSocketStarted;
        startConnectTimeout(timeout);
    });
    if (failure && error) *error = *failure;
    return !failure;
}

bool QueueTcpSocket::connectToAddresses(const std::vector<Bytes>& addresses, SocketError* error) {
    SocketError last = paramError("A valid IPv4 or IPv6 address was not given");
    for (const auto& address : addresses) {
        if (connectToAddress(address, -1, {}, &last)) return true;
    }
    if (error) *error = last;
    return false;
}

bool QueueTcpSocket::connectToUrl(std::string_view path, double timeout, SocketError* error) {
    std::optional<SocketError> failure;
    performBlock([&] {
        if (path.empty()) {
            failure = paramError("Invalid unix domain socket url.");
            return;
        }
        failure = startPreconditions(false, false);
        if (failure) return;
        const auto address = unixAddressFromPath(path);
        if (!address) {
            failure = paramError("Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
            return;
        }
        emptyQueues();
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd == -1) {
            failure = SocketError::posix(errno, "Error in socket() function");
            return;
        }
        auto attempt = std::make_shared<ConnectAttempt>();
        attempt->fd = fd;
        attempt->family = AF_UNIX;
        attempt->address = *address;
        attempt->ownedFD = std::make_shared<int>(fd);
        attempt->source = dispatch::Source::makeWrite(fd, socketQueue_);
        attempt->source->setCancelHandler([owned = attempt->ownedFD] {
            if (*owned != -1) ::close(*owned);
        });
        flags_ |= kSocketStarted;
        attempts_.push_back(attempt);
        socketQueue_->async([weak = weak_from_this(), attempt, generation = stateIndex_] {
            if (const auto self = weak.lock()) self->startAttempt(attempt, generation);
        });
        startConnectTimeout(timeout);
    });
    if (failure && error) *error = *failure;
    return !failure;
}

bool QueueTcpSocket::connectWithAddresses(const std::optional<Bytes>& address4, const std::optional<Bytes>& address6,
                                          SocketError& error) {
    assertOnSocketQueue();
    std::shared_ptr<ConnectAttempt> made4, made6;
    const auto make = [&](const Bytes& address, int family, const std::optional<Bytes>& interface) {
        const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd == -1) {
            error = SocketError::posix(errno, "Error in socket() function");
            return std::shared_ptr<ConnectAttempt>();
        }
        if (interface) {
            const int on = 1;
            if (portFromAddress(*interface) != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
            if (::bind(fd, reinterpret_cast<const sockaddr*>(interface->data()),
                       static_cast<socklen_t>(interface->size())) == -1) {
                error = SocketError::posix(errno, "Error in bind() function");
                ::close(fd);
                return std::shared_ptr<ConnectAttempt>();
            }
        }
        auto attempt = std::make_shared<ConnectAttempt>();
        attempt->fd = fd;
        attempt->family = family;
        attempt->address = address;
        attempt->ownedFD = std::make_shared<int>(fd);
        attempt->source = dispatch::Source::makeWrite(fd, socketQueue_);
        attempt->source->setCancelHandler([owned = attempt->ownedFD] {
            if (*owned != -1) ::close(*owned);
        });
        return attempt;
    };
    if (address4) made4 = make(*address4, AF_INET, connectInterface4_);
    if (address6) made6 = make(*address6, AF_INET6, connectInterface6_);
    if (!made4 && !made6) return false;

    const bool preferIPv6 = (config_ & kPreferIPv6) != 0;
    auto first = made4 && !(preferIPv6 && made6) ? made4 : made6;
    auto alternate = first == made4 ? made6 : made4;
    const std::uint64_t generation = stateIndex_;
    attempts_.push_back(first);
    socketQueue_->async([weak = weak_from_this(), first, generation] {
        if (const auto self = weak.lock()) self->startAttempt(first, generation);
    });
    if (alternate) {
        attempts_.push_back(alternate);
        socketQueue_->after(seconds(alternateAddressDelay_), [weak = weak_from_this(), alternate, generation] {
            if (const auto self = weak.lock()) self->startAttempt(alternate, generation);
        });
    }
    return true;
}

void QueueTcpSocket::startAttempt(const std::shared_ptr<ConnectAttempt>& attempt, std::uint64_t generation) {
    if (generation != stateIndex_ || std::find(attempts_.begin(), attempts_.end(), attempt) == attempts_.end())
        return;
    if (flags_ & kConnected) {
        dropAttempt(attempt);
        return;
    }
    attempt->source->setEventHandler([weak = weak_from_this(), weakAttempt = std::weak_ptr(attempt), generation] {
        const auto self = weak.lock();
        const auto current = weakAttempt.lock();
        if (!self || !current) return;
        int status = 0;
        socklen_t length = sizeof status;
        if (::getsockopt(current->fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0) status = errno;
        self->attemptDidFinish(current, status, generation);
    });
    if (::connect(attempt->fd, reinterpret_cast<const sockaddr*>(attempt->address.data()),
                  static_cast<socklen_t>(attempt->address.size())) == 0) {
        attemptDidFinish(attempt, 0, generation);
        return;
    }
    const int status = errno;
    if (status == EINPROGRESS || status == EINTR) {
        attempt->resumed = true;
        attempt->source->resume();
        return;
    }
    attemptDidFinish(attempt, status, generation);
}

void QueueTcpSocket::attemptDidFinish(const std::shared_ptr<ConnectAttempt>& attempt, int errnoValue,
                                      std::uint64_t generation) {
    if (generation != stateIndex_ || std::find(attempts_.begin(), attempts_.end(), attempt) == attempts_.end())
        return;
    if (flags_ & kConnected) {
        dropAttempt(attempt);
        return;
    }
    if (errnoValue == 0) {
        *attempt->ownedFD = -1;
        (attempt->family == AF_INET ? socket4FD_ : attempt->family == AF_INET6 ? socket6FD_ : socketUN_) = attempt->fd;
        for (const auto& other : std::vector(attempts_)) dropAttempt(other);
        didConnect(generation);
        return;
    }
    auto error = SocketError::posix(errnoValue, "Error in connect() function");
    dropAttempt(attempt);
    if (attempts_.empty()) closeWithError(std::move(error));
}

void QueueTcpSocket::dropAttempt(const std::shared_ptr<ConnectAttempt>& attempt) {
    attempts_.erase(std::remove(attempts_.begin(), attempts_.end(), attempt), attempts_.end());
    if (attempt->source->isCancelled()) return;
    attempt->source->cancel();
    if (!attempt->resumed) attempt->source->resume();
}

void QueueTcpSocket::didConnect(std::uint64_t generation) {
    if (generation != stateIndex_) return;
    flags_ |= kConnected;
    endConnectTimeout();
    const int fd = connectedFD();
    if (socketUN_ != -1) {
        if (auto path = connectedUrl()) {
            report([path = *path](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
                delegate.socketDidConnectToUrl(self, path);
            });
        }
    } else if (auto host = peerHost(fd)) {
        report([host = *host, port = peerPort(fd)](QueueTcpSocketDelegate& delegate, const QueueTcpSocketPtr& self) {
            delegate.socketDidConnectToHost(self, host, port);
        });
    }
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags == -1 || ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == -1) {
        closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::other,
                                           "Error enabling non-blocking IO on socket (fcntl)"));
        return;
    }
    setupReadAndWriteSources(fd);
    maybeDequeueRead();
    maybeDequeueWrite();
}

void QueueTcpSocket::startConnectTimeout(double timeout) {
    if (timeout < 0) return;
    connectTimer_ = dispatch::Source::makeTimer(socketQueue_);
    connectTimer_->setEventHandler([weak = weak_from_this(), generation = stateIndex_] {
        const auto self = weak.lock();
        if (!self || generation != self->stateIndex_) return;
        self->endConnectTimeout();
        self->closeWithError(queueTcpSocketError(QueueTcpSocketErrorCode::connectTimeout));
    });
    connectTimer_->setTimer(seconds(timeout));
    connectTimer_->resume();
}

void QueueTcpSocket::endConnectTimeout() {
    if (connectTimer_) {
        connectTimer_->cancel();
        connectTimer_.reset();
    }
    ++stateIndex_;
    connectInterface4_.reset();
    connectInterface6_.reset();
}

}  // namespace pavonix::sockets
