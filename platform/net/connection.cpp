#include "platform/net/connection.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pavonix::net {

namespace {

// Closes the descriptor when the last holder lets go: the connection and the cancel handlers of
// its sources, so the descriptor is out of the reactor before it is closed.
struct OwnedFd {
    explicit OwnedFd(int value) : fd(value) {}
    ~OwnedFd() {
        if (fd >= 0) ::close(fd);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int fd;
};

std::error_code lastError() { return {errno, std::system_category()}; }

}  // namespace

// One coarse timer for the deadlines of every connection: a connection costs an entry here rather
// than a timer of its own, and nothing ticks while no deadline is set.
class DeadlineReaper {
public:
    static DeadlineReaper& shared() {
        static auto* reaper = new DeadlineReaper;  // lives as long as the process; never torn down
        return *reaper;
    }

    std::uint64_t add(dispatch::Clock::time_point when, std::weak_ptr<Connection> connection) {
        std::lock_guard lock(mutex_);
        const std::uint64_t token = nextToken_++;
        entries_.emplace(Key{when, token}, std::move(connection));
        byToken_.emplace(token, when);
        scheduleLocked();
        return token;
    }

    void remove(std::uint64_t token) {
        std::lock_guard lock(mutex_);
        auto found = byToken_.find(token);
        if (found == byToken_.end()) return;
        entries_.erase(Key{found->second, token});
        byToken_.erase(found);
    }

private:
    using Key = std::pair<dispatch::Clock::time_point, std::uint64_t>;
    static constexpr auto kTick = std::chrono::milliseconds(25);

    DeadlineReaper() : queue_(dispatch::makeSerialQueue("pavonix.net.deadlines")) {}

    void scheduleLocked() {
        if (tickPending_ || entries_.empty()) return;
        tickPending_ = true;
        const auto untilFirst = entries_.begin()->first.first - dispatch::Clock::now();
        const auto delay = std::clamp<dispatch::Clock::duration>(untilFirst, std::chrono::milliseconds(1), kTick);
        queue_->after(delay, [this] { tick(); });
    }

    void tick() {
        std::vector<std::pair<std::uint64_t, std::weak_ptr<Connection>>> expired;
        {
            std::lock_guard lock(mutex_);
            tickPending_ = false;
            const auto now = dispatch::Clock::now();
            while (!entries_.empty() && entries_.begin()->first.first <= now) {
                auto first = entries_.begin();
                expired.emplace_back(first->first.second, std::move(first->second));
                byToken_.erase(first->first.second);
                entries_.erase(first);
            }
            scheduleLocked();
        }
        for (auto& [token, weak] : expired) {
            if (auto connection = weak.lock()) connection->fireDeadline(token);
        }
    }

    std::mutex mutex_;
    std::map<Key, std::weak_ptr<Connection>> entries_;
    std::unordered_map<std::uint64_t, dispatch::Clock::time_point> byToken_;
    std::uint64_t nextToken_ = 1;
    bool tickPending_ = false;
    dispatch::QueuePtr queue_;
};

struct Connection::Impl {
    struct PendingSend {
        std::string data;
        std::size_t offset = 0;
        bool isComplete = false;
        SendCompletion completion;
    };

    std::shared_ptr<OwnedFd> fd;
    StateHandler stateHandler;

    dispatch::SourcePtr readSource;
    bool readArmed = false;
    bool inReadLoop = false;
    dispatch::SourcePtr writeSource;
    bool writeArmed = false;

    ReceiveCompletion pendingReceive;
    std::size_t minimum = 1;
    std::size_t maximum = 65536;
    std::string received;

    std::deque<PendingSend> sends;

    bool started = false;
    bool closed = false;
    bool readEnded = false;
    bool writeShut = false;
    bool draining = false;
    std::size_t drained = 0;

    std::uint64_t deadlineToken = 0;
    dispatch::Block deadlineHandler;

    // From start() until closed the connection keeps itself alive, as its owner may let go of it
    // while it still drains or waits for a deadline.
    std::shared_ptr<Connection> keepAlive;
};

std::shared_ptr<Connection> Connection::adopt(int fd, Endpoint remote) {
    return std::shared_ptr<Connection>(new Connection(fd, remote));
}

Connection::Connection(int fd, Endpoint remote) : remote_(remote), impl_(std::make_unique<Impl>()) {
    impl_->fd = std::make_shared<OwnedFd>(fd);
}

Connection::~Connection() {
    if (impl_->deadlineToken != 0) DeadlineReaper::shared().remove(impl_->deadlineToken);
    for (auto* source : {&impl_->readSource, &impl_->writeSource}) {
        if (!*source) continue;
        const bool armed = source == &impl_->readSource ? impl_->readArmed : impl_->writeArmed;
        if (!armed) (*source)->resume();
        (*source)->cancel();
    }
}

void Connection::onQueue(dispatch::Block block) {
    if (!queue_ || queue_->isCurrent()) {
        block();
        return;
    }
    queue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

void Connection::setStateHandler(StateHandler handler) { impl_->stateHandler = std::move(handler); }

void Connection::start(dispatch::QueuePtr queue) {
    queue_ = std::move(queue);
    onQueue([this] {
        if (impl_->started || impl_->closed) return;
        impl_->started = true;
        impl_->keepAlive = shared_from_this();
        std::weak_ptr<Connection> weak = weak_from_this();
        impl_->readSource = dispatch::Source::makeRead(impl_->fd->fd, queue_);
        impl_->readSource->setEventHandler([weak] {
            if (auto self = weak.lock()) self->handleReadable();
        });
        impl_->readSource->setCancelHandler([fd = impl_->fd] {});
        reportState(State::ready, {});
    });
}

void Connection::armRead() {
    if (impl_->readArmed || !impl_->readSource) return;
    impl_->readArmed = true;
    impl_->readSource->resume();
}

void Connection::disarmRead() {
    if (!impl_->readArmed) return;
    impl_->readArmed = false;
    impl_->readSource->suspend();
}

void Connection::receive(std::size_t minimum, std::size_t maximum, ReceiveCompletion completion) {
    onQueue([this, minimum, maximum, completion = std::move(completion)]() mutable {
        if (impl_->closed || !impl_->started) {
            completion({}, false, std::make_error_code(std::errc::operation_canceled));
            return;
        }
        impl_->pendingReceive = std::move(completion);
        impl_->maximum = std::max<std::size_t>(1, maximum);
        impl_->minimum = std::clamp<std::size_t>(minimum, 1, impl_->maximum);
        if (!impl_->inReadLoop) handleReadable();
    });
}

void Connection::deliverReceive(bool isComplete, std::error_code error) {
    auto completion = std::move(impl_->pendingReceive);
    impl_->pendingReceive = nullptr;
    std::string data;
    data.swap(impl_->received);
    completion(std::move(data), isComplete, error);
}

void Connection::handleReadable() {
    if (impl_->closed) return;
    const int fd = impl_->fd->fd;
    if (impl_->draining) {
        char scratch[16384];
        for (;;) {
            const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
            if (n > 0) {
                impl_->drained += static_cast<std::size_t>(n);
                if (impl_->drained > kDrainBytes) break;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                armRead();
                return;
            }
            break;  // end of stream, an error or too much: we are done listening
        }
        close(State::cancelled, {});
        return;
    }

    auto self = shared_from_this();  // a completion may drop the last outside reference
    impl_->inReadLoop = true;
    while (impl_->pendingReceive && !impl_->closed) {
        if (impl_->readEnded) {
            deliverReceive(true, {});
            continue;
        }
        // Read into a scratch buffer and keep only what arrived: growing the delivery buffer to
        // the full read size first would clear 64 KiB for every 40-byte request.
        thread_local char scratch[65536];
        auto& buffer = impl_->received;
        const std::size_t want = std::min(impl_->maximum - buffer.size(), sizeof scratch);
        const ssize_t n = ::recv(fd, scratch, want, 0);
        if (n > 0) buffer.append(scratch, static_cast<std::size_t>(n));
        if (n > 0) {
            if (buffer.size() >= impl_->minimum) deliverReceive(false, {});
            continue;
        }
        if (n == 0) {
            impl_->readEnded = true;
            deliverReceive(true, {});
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            armRead();
            impl_->inReadLoop = false;
            return;
        }
        const auto error = lastError();
        deliverReceive(false, error);
        fail(error);
    }
    impl_->inReadLoop = false;
    if (impl_->closed) return;
    if (impl_->draining) {
        handleReadable();  // cancelled from inside a completion: start draining now
        return;
    }
    if (!impl_->pendingReceive) disarmRead();
}

void Connection::send(std::string data, bool isComplete, SendCompletion completion) {
    onQueue([this, data = std::move(data), isComplete, completion = std::move(completion)]() mutable {
        if (impl_->closed || !impl_->started) {
            if (completion) completion(std::make_error_code(std::errc::operation_canceled));
            return;
        }
        if (impl_->writeShut) {
            if (completion) completion(std::make_error_code(std::errc::broken_pipe));
            return;
        }
        impl_->sends.push_back({std::move(data), 0, isComplete, std::move(completion)});
        if (impl_->sends.size() == 1) flush();
    });
}

void Connection::flush() {
    auto self = shared_from_this();
    const int fd = impl_->fd->fd;
    while (!impl_->sends.empty() && !impl_->closed) {
        auto& front = impl_->sends.front();
        if (front.offset < front.data.size()) {
            const ssize_t n = ::send(fd, front.data.data() + front.offset, front.data.size() - front.offset,
                                     MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    if (!impl_->writeSource) {
                        std::weak_ptr<Connection> weak = weak_from_this();
                        impl_->writeSource = dispatch::Source::makeWrite(fd, queue_);
                        impl_->writeSource->setEventHandler([weak] {
                            if (auto strong = weak.lock()) strong->flush();
                        });
                        impl_->writeSource->setCancelHandler([owned = impl_->fd] {});
                    }
                    if (!impl_->writeArmed) {
                        impl_->writeArmed = true;
                        impl_->writeSource->resume();
                    }
                    return;
                }
                const auto error = lastError();
                auto failed = std::move(impl_->sends);
                impl_->sends.clear();
                for (auto& pending : failed) {
                    if (pending.completion) pending.completion(error);
                }
                fail(error);
                return;
            }
            front.offset += static_cast<std::size_t>(n);
            continue;
        }
        auto done = std::move(front);
        impl_->sends.pop_front();
        if (done.isComplete) {
            ::shutdown(fd, SHUT_WR);
            impl_->writeShut = true;
        }
        if (done.completion) done.completion({});
    }
    if (impl_->writeArmed && impl_->sends.empty() && !impl_->closed) {
        impl_->writeArmed = false;
        impl_->writeSource->suspend();
    }
}

void Connection::cancel() {
    onQueue([this] {
        if (impl_->closed) return;
        const bool replied = impl_->writeShut && impl_->sends.empty() && impl_->started;
        if (!replied || impl_->readEnded) {
            close(State::cancelled, {});
            return;
        }
        if (impl_->draining) return;
        impl_->draining = true;
        impl_->pendingReceive = nullptr;
        impl_->received.clear();
        impl_->received.shrink_to_fit();
        std::weak_ptr<Connection> weak = weak_from_this();
        setDeadline(kDrainTime, [weak] {
            if (auto self = weak.lock()) self->close(State::cancelled, {});
        });
        if (!impl_->inReadLoop) handleReadable();
    });
}

void Connection::forceCancel() {
    onQueue([this] {
        if (!impl_->closed) close(State::cancelled, {});
    });
}

void Connection::setDeadline(dispatch::Clock::duration delay, dispatch::Block onExpire) {
    onQueue([this, delay, onExpire = std::move(onExpire)]() mutable {
        if (impl_->closed) return;
        if (impl_->deadlineToken != 0) DeadlineReaper::shared().remove(impl_->deadlineToken);
        impl_->deadlineHandler = std::move(onExpire);
        impl_->deadlineToken = DeadlineReaper::shared().add(dispatch::Clock::now() + delay, weak_from_this());
    });
}

void Connection::clearDeadline() {
    onQueue([this] {
        if (impl_->deadlineToken != 0) DeadlineReaper::shared().remove(impl_->deadlineToken);
        impl_->deadlineToken = 0;
        impl_->deadlineHandler = nullptr;
    });
}

void Connection::fireDeadline(std::uint64_t token) {
    onQueue([this, token] {
        if (impl_->closed || token != impl_->deadlineToken) return;
        impl_->deadlineToken = 0;
        auto handler = std::move(impl_->deadlineHandler);
        impl_->deadlineHandler = nullptr;
        if (handler) handler();
    });
}

void Connection::fail(std::error_code error) {
    if (impl_->closed) return;
    if (!impl_->stateHandler) {
        close(State::cancelled, error);
        return;
    }
    reportState(State::failed, error);
}

void Connection::close(State finalState, std::error_code error) {
    if (impl_->closed) return;
    auto self = shared_from_this();
    impl_->closed = true;
    if (impl_->deadlineToken != 0) DeadlineReaper::shared().remove(impl_->deadlineToken);
    impl_->deadlineToken = 0;
    impl_->deadlineHandler = nullptr;
    if (impl_->readSource) {
        if (!impl_->readArmed) impl_->readSource->resume();
        impl_->readArmed = true;
        impl_->readSource->cancel();
    }
    if (impl_->writeSource) {
        if (!impl_->writeArmed) impl_->writeSource->resume();
        impl_->writeArmed = true;
        impl_->writeSource->cancel();
    }
    impl_->readSource.reset();
    impl_->writeSource.reset();
    impl_->fd.reset();  // closed once the sources' cancel handlers have let go
    impl_->pendingReceive = nullptr;
    auto sends = std::move(impl_->sends);
    impl_->sends.clear();
    for (auto& pending : sends) {
        if (pending.completion) pending.completion(std::make_error_code(std::errc::operation_canceled));
    }
    reportState(finalState, error);
    impl_->stateHandler = nullptr;
    impl_->keepAlive.reset();
}

void Connection::reportState(State state, std::error_code error) {
    if (!impl_->stateHandler) return;
    auto handler = impl_->stateHandler;  // the handler may replace itself
    handler(state, error);
}

}  // namespace pavonix::net
