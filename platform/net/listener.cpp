#include "platform/net/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pavonix::net {

namespace {

std::error_code lastError() { return {errno, std::system_category()}; }

// Binds and listens; returns the descriptor or -1 with errno set.
int bindAndListen(int family, const sockaddr* address, socklen_t length, int backlog) {
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int on = 1;
    // A listener that was just stopped leaves its socket bound for a moment; SO_REUSEADDR lets
    // the next one take the port while that socket no longer listens.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    if (::bind(fd, address, length) != 0 || ::listen(fd, backlog) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

std::shared_ptr<Listener> Listener::make(Parameters parameters) {
    return std::shared_ptr<Listener>(new Listener(std::move(parameters)));
}

Listener::Listener(Parameters parameters) : parameters_(std::move(parameters)) {}

Listener::~Listener() {
    if (source_) {
        if (sourceSuspended_) source_->resume();
        source_->cancel();
    } else if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Listener::setStateHandler(StateHandler handler) {
    std::lock_guard lock(mutex_);
    stateHandler_ = std::move(handler);
}

void Listener::setNewConnectionHandler(ConnectionHandler handler) {
    std::lock_guard lock(mutex_);
    connectionHandler_ = std::move(handler);
}

std::uint16_t Listener::port() const {
    std::lock_guard lock(mutex_);
    return boundPort_;
}

std::error_code Listener::openSocket() {
    const int backlog = parameters_.backlog;
    int fd = -1;
    if (parameters_.localAddress) {
        auto local = Endpoint::fromNumericHost(*parameters_.localAddress, parameters_.port);
        if (!local) return std::make_error_code(std::errc::invalid_argument);
        if (local->family == Endpoint::Family::ipv4) {
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_port = htons(parameters_.port);
            std::memcpy(&in.sin_addr, local->address.data(), 4);
            fd = bindAndListen(AF_INET, reinterpret_cast<sockaddr*>(&in), sizeof in, backlog);
        } else {
            sockaddr_in6 in6{};
            in6.sin6_family = AF_INET6;
            in6.sin6_port = htons(parameters_.port);
            std::memcpy(&in6.sin6_addr, local->address.data(), 16);
            fd = bindAndListen(AF_INET6, reinterpret_cast<sockaddr*>(&in6), sizeof in6, backlog);
        }
        if (fd < 0) return lastError();
    } else {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(parameters_.port);
        in6.sin6_addr = in6addr_any;
        fd = bindAndListen(AF_INET6, reinterpret_cast<sockaddr*>(&in6), sizeof in6, backlog);
        if (fd < 0 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL || errno == EPROTONOSUPPORT)) {
            // No IPv6 on this machine: all interfaces means all IPv4 interfaces.
            sockaddr_in in{};
            in.sin_family = AF_INET;
            in.sin_port = htons(parameters_.port);
            in.sin_addr.s_addr = htonl(INADDR_ANY);
            fd = bindAndListen(AF_INET, reinterpret_cast<sockaddr*>(&in), sizeof in, backlog);
        }
        if (fd < 0) return lastError();
    }

    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    std::uint16_t port = parameters_.port;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        if (auto endpoint = Endpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), length)) {
            port = endpoint->port;
        }
    }
    std::lock_guard lock(mutex_);
    fd_ = fd;
    boundPort_ = port;
    return {};
}

void Listener::start(dispatch::QueuePtr queue) {
    {
        std::lock_guard lock(mutex_);
        if (queue_ || cancelled_) return;
        queue_ = queue;
    }
    auto self = shared_from_this();
    queue->async([self] { self->report(State::setup, {}); });
    const std::error_code error = openSocket();
    if (error) {
        queue->async([self, error] { self->report(State::failed, error); });
        return;
    }
    queue->async([self] {
        {
            std::lock_guard lock(self->mutex_);
            if (self->cancelled_) return;
        }
        std::weak_ptr<Listener> weak = self;
        self->source_ = dispatch::Source::makeRead(self->fd_, self->queue_);
        self->source_->setEventHandler([weak] {
            if (auto strong = weak.lock()) strong->handleAcceptable();
        });
        self->source_->setCancelHandler([fd = self->fd_] { ::close(fd); });
        self->sourceSuspended_ = false;
        self->source_->resume();
        self->report(State::ready, {});
    });
}

void Listener::handleAcceptable() {
    int fd;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        fd = fd_;
    }
    // A bounded batch per wake-up so that one busy listener cannot starve the queue.
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int client = ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: the pending connection stays queued, and the level-triggered
                // source would fire again at once. Pause instead of spinning.
                if (!sourceSuspended_) {
                    sourceSuspended_ = true;
                    source_->suspend();
                    std::weak_ptr<Listener> weak = weak_from_this();
                    queue_->after(std::chrono::milliseconds(100), [weak] {
                        auto self = weak.lock();
                        if (!self || !self->sourceSuspended_ || !self->source_) return;
                        std::lock_guard lock(self->mutex_);
                        if (self->cancelled_) return;
                        self->sourceSuspended_ = false;
                        self->source_->resume();
                    });
                }
            }
            return;
        }
        auto remote = Endpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&peer), length).value_or(Endpoint{});
        auto connection = Connection::adopt(client, remote);
        ConnectionHandler handler;
        {
            std::lock_guard lock(mutex_);
            handler = connectionHandler_;
        }
        if (handler) {
            handler(std::move(connection));
        }
        // Without a handler the connection object goes away here and closes the socket.
    }
}

void Listener::cancel() {
    dispatch::QueuePtr queue;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return;
        cancelled_ = true;
        queue = queue_;
        // Shutting a listening socket down takes it out of the listening state at once, so a
        // new listener can bind the port before this call returns.
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    if (!queue) {
        report(State::cancelled, {});
        return;
    }
    queue->async([self = shared_from_this()] {
        int fd;
        {
            std::lock_guard lock(self->mutex_);
            fd = self->fd_;
            self->fd_ = -1;
        }
        if (self->source_) {
            if (self->sourceSuspended_) self->source_->resume();
            self->sourceSuspended_ = false;
            self->source_->cancel();  // its cancel handler closes the socket
            self->source_.reset();
        } else if (fd >= 0) {
            ::close(fd);
        }
        self->report(State::cancelled, {});
    });
}

void Listener::report(State state, std::error_code error) {
    StateHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = stateHandler_;
    }
    if (handler) handler(state, error);
}

}  // namespace pavonix::net
