// Read, write and timer sources over the reactor.
//
// A source delivers at most one event item at a time: the reactor registration is one shot and is
// re-armed only after the handler has returned (and only while resumed), which makes a read source
// level-triggered without ever running its handler concurrently or queueing a second fire.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/epoll.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/reactor.h"

namespace pavonix::dispatch {

namespace {

enum class FdType { none, stream, datagram, listening, other };

FdType fdTypeOf(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return FdType::other;
    if (type != SOCK_STREAM) return FdType::datagram;
    int listening = 0;
    len = sizeof listening;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) == 0 && listening)
        return FdType::listening;
    return FdType::stream;
}

// A socket error is pending (a reset, an ICMP error): poll shows it without clearing it.
bool errorPending(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLERR);
}

// Bytes waiting, or nothing when the wake-up was spurious (nothing to read and no end either).
std::optional<std::size_t> measureReadable(int fd, FdType type) {
    int n = 0;
    const bool counted = ::ioctl(fd, FIONREAD, &n) == 0;
    if (counted && n > 0) return static_cast<std::size_t>(n);
    // Linux refuses FIONREAD on a listening socket (one that began to listen after the source
    // was made is still typed a stream).
    if (type == FdType::listening || (type == FdType::stream && !counted && errno == EINVAL)) return 1;
    if (type == FdType::other || type == FdType::none) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) return std::nullopt;
        return counted ? 0 : 1;  // a pipe at its end counts 0; a descriptor without a count 1
    }
    // A pending error counts as something to read, so that the reader's own call reports it
    // (peeking would consume it and turn a reset into a quiet end of stream).
    if (errorPending(fd)) return 1;
    for (;;) {
        char byte;
        const ssize_t r = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return std::nullopt;
        if (type == FdType::datagram) return 1;  // even an empty datagram is not an end
        if (r > 0) return (::ioctl(fd, FIONREAD, &n) == 0 && n > 0) ? static_cast<std::size_t>(n) : 1;
        return r == 0 ? 0 : 1;  // 0: the peer really ended the stream
    }
}

class SourceImpl final : public Source, public detail::ReadyTarget {
public:
    SourceImpl(Kind kind, int fd, QueuePtr queue)
        : kind_(kind), fd_(fd), queue_(std::move(queue)),
          fdType_(kind == Kind::read ? fdTypeOf(fd) : FdType::none) {}

    ~SourceImpl() override {
        if (!cancelled_.load()) unregister();
    }

    void start() {
        if (kind_ == Kind::timer) {
            timer_.owner = std::static_pointer_cast<detail::ReadyTarget>(
                std::static_pointer_cast<SourceImpl>(shared_from_this()));
        } else {
            std::weak_ptr<detail::ReadyTarget> weak =
                std::static_pointer_cast<SourceImpl>(shared_from_this());
            regId_ = detail::Reactor::instance().attach(
                fd_, kind_ == Kind::read ? EPOLLIN : EPOLLOUT, weak, this);
        }
    }

    void setEventHandler(Block handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelStarted_) handler_ = std::make_shared<Block>(std::move(handler));
    }

    void setCancelHandler(Block handler) override {
        std::lock_guard lock(mutex_);
        if (!cancelStarted_) cancelHandler_ = std::make_shared<Block>(std::move(handler));
    }

    void setTimer(Clock::duration delay) override {
        if (kind_ != Kind::timer) preconditionFailure("Source::setTimer on a source that is not a timer");
        std::lock_guard lock(mutex_);
        if (cancelled_.load()) return;
        timerPending_ = false;
        timerGeneration_ = detail::Reactor::instance().setTimer(timer_, detail::deadlineAfter(delay));
    }

    void suspend() override {
        std::lock_guard lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        std::unique_lock lock(mutex_);
        if (suspendCount_ == 0) {
            lock.unlock();
            preconditionFailure(kOverResumeText);
        }
        if (--suspendCount_ > 0 || fireQueued_) return;
        if (cancelled_.load()) {
            startCancel(lock);
        } else {
            rearm(lock);
        }
    }

    void cancel() override {
        std::unique_lock lock(mutex_);
        if (cancelled_.exchange(true)) return;
        unregister();
        if (!fireQueued_ && suspendCount_ == 0) startCancel(lock);
    }

    bool isCancelled() const override { return cancelled_.load(); }
    std::size_t data() const override { return data_.load(std::memory_order_relaxed); }
    Kind kind() const override { return kind_; }
    int fd() const override { return fd_; }

    // Reactor thread: the descriptor is ready and the registration is now disarmed.
    void onReady() override {
        std::unique_lock lock(mutex_);
        if (cancelled_.load() || suspendCount_ > 0 || fireQueued_) return;  // resume() re-arms
        queueEvent(lock);
    }

    // Reactor thread: the deadline of `generation` passed.
    void onTimer(std::uint64_t generation) override {
        std::unique_lock lock(mutex_);
        if (cancelled_.load() || generation != timerGeneration_) return;
        timerPending_ = true;
        if (suspendCount_ == 0 && !fireQueued_) queueEvent(lock);
    }

private:
    std::shared_ptr<SourceImpl> self() { return std::static_pointer_cast<SourceImpl>(shared_from_this()); }

    void queueEvent(std::unique_lock<std::mutex>& lock) {
        fireQueued_ = true;
        lock.unlock();
        queue_->async([self = self()] { self->runEvent(); });
    }

    void startCancel(std::unique_lock<std::mutex>& lock) {
        if (cancelStarted_) return;
        cancelStarted_ = true;
        lock.unlock();
        queue_->async([self = self()] { self->runCancel(); });
    }

    // With the lock held, resumed, not cancelled, no event item pending.
    void rearm(std::unique_lock<std::mutex>& lock) {
        if (kind_ == Kind::timer) {
            if (timerPending_) queueEvent(lock);
        } else {
            detail::Reactor::instance().arm(regId_, this);
        }
    }

    void unregister() {
        if (kind_ == Kind::timer) {
            detail::Reactor::instance().removeTimer(timer_);
        } else if (regId_ != 0) {
            detail::Reactor::instance().detach(regId_, this);
        }
    }

    // On the queue.
    void runEvent() {
        std::shared_ptr<Block> handler;
        bool deliver = true;
        {
            std::unique_lock lock(mutex_);
            if (cancelled_.load()) {
                fireQueued_ = false;
                if (suspendCount_ == 0) startCancel(lock);
                return;
            }
            handler = handler_;
            if (kind_ == Kind::timer) {
                deliver = timerPending_;  // false when setTimer moved the deadline meanwhile
                timerPending_ = false;
            }
        }
        if (kind_ == Kind::read) {
            auto measured = measureReadable(fd_, fdType_);
            deliver = measured.has_value();
            if (measured) data_.store(*measured, std::memory_order_relaxed);
        } else {
            data_.store(1, std::memory_order_relaxed);
        }
        if (deliver && handler && *handler) (*handler)();

        std::unique_lock lock(mutex_);
        fireQueued_ = false;
        if (cancelled_.load()) {
            if (suspendCount_ == 0) startCancel(lock);
        } else if (suspendCount_ == 0) {
            rearm(lock);
        }
    }

    void runCancel() {
        std::shared_ptr<Block> cancelHandler;
        std::shared_ptr<Block> handler;  // released here, outside the lock
        {
            std::lock_guard lock(mutex_);
            cancelHandler = std::move(cancelHandler_);
            handler = std::move(handler_);
        }
        if (cancelHandler && *cancelHandler) (*cancelHandler)();
    }

    const Kind kind_;
    const int fd_;
    const QueuePtr queue_;
    const FdType fdType_;
    std::uint64_t regId_ = 0;
    detail::TimerNode timer_;

    mutable std::mutex mutex_;
    int suspendCount_ = 1;
    std::atomic<bool> cancelled_{false};
    bool fireQueued_ = false;  // an event item is queued or running
    bool cancelStarted_ = false;
    bool timerPending_ = false;
    std::uint64_t timerGeneration_ = 0;
    std::shared_ptr<Block> handler_;
    std::shared_ptr<Block> cancelHandler_;
    std::atomic<std::size_t> data_{0};
};

std::shared_ptr<Source> make(Source::Kind kind, int fd, QueuePtr queue) {
    if (!queue) preconditionFailure("A source needs a queue");
    auto source = std::make_shared<SourceImpl>(kind, fd, std::move(queue));
    source->start();
    return source;
}

}  // namespace

std::shared_ptr<Source> Source::makeRead(int fd, QueuePtr queue) { return make(Kind::read, fd, std::move(queue)); }
std::shared_ptr<Source> Source::makeWrite(int fd, QueuePtr queue) { return make(Kind::write, fd, std::move(queue)); }
std::shared_ptr<Source> Source::makeTimer(QueuePtr queue) { return make(Kind::timer, -1, std::move(queue)); }

}  // namespace pavonix::dispatch
