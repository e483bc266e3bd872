#include "platform/dispatch/reactor.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace pavonix::dispatch::detail {

namespace {

constexpr std::uint64_t kWakeId = ~std::uint64_t{0};
constexpr std::size_t kNotInHeap = static_cast<std::size_t>(-1);

bool earlier(const TimerNode* a, const TimerNode* b) {
    if (a->deadline != b->deadline) return a->deadline < b->deadline;
    return a->sequence < b->sequence;
}

}  // namespace

struct Reactor::Impl {
    struct Registration {
        const ReadyTarget* key;
        std::weak_ptr<ReadyTarget> target;
        std::uint32_t events;
        bool armed;
    };
    struct Entry {
        std::uint64_t id;
        int fd;
        dev_t dev;
        ino_t ino;
        bool inEpoll = false;
        bool alwaysReady = false;  // a descriptor epoll refuses (regular file): always ready
        std::uint32_t kernelMask = 0;  // what the kernel registration is enabled for now
        std::vector<Registration> registrations;
    };

    int epollFd = -1;
    int wakeFd = -1;
    std::mutex mutex;
    std::unordered_map<int, Entry*> byFd;
    std::unordered_map<std::uint64_t, std::unique_ptr<Entry>> byId;
    std::uint64_t nextId = 1;
    std::vector<TimerNode*> heap;
    std::uint64_t nextSequence = 0;
    // The deadline the reactor thread sleeps towards; min() while it is not sleeping.
    Clock::time_point sleepingUntil = Clock::time_point::min();
    std::vector<std::weak_ptr<ReadyTarget>> alwaysReadyFires;

    void wake() {
        std::uint64_t one = 1;
        ssize_t r = ::write(wakeFd, &one, sizeof one);
        (void)r;  // EAGAIN: the counter is already non-zero, the thread wakes anyway
    }

    // ---- timer heap (under mutex) ----
    void place(std::size_t i) {
        heap[i]->heapIndex = i;
    }
    void siftUp(std::size_t i) {
        while (i > 0) {
            std::size_t parent = (i - 1) / 2;
            if (!earlier(heap[i], heap[parent])) break;
            std::swap(heap[i], heap[parent]);
            place(i);
            place(parent);
            i = parent;
        }
    }
    void siftDown(std::size_t i) {
        for (;;) {
            std::size_t l = 2 * i + 1, r = l + 1, m = i;
            if (l < heap.size() && earlier(heap[l], heap[m])) m = l;
            if (r < heap.size() && earlier(heap[r], heap[m])) m = r;
            if (m == i) break;
            std::swap(heap[i], heap[m]);
            place(i);
            place(m);
            i = m;
        }
    }
    void heapInsert(TimerNode* node) {
        heap.push_back(node);
        place(heap.size() - 1);
        siftUp(heap.size() - 1);
    }
    void heapRemove(TimerNode* node) {
        std::size_t i = node->heapIndex;
        node->heapIndex = kNotInHeap;
        TimerNode* last = heap.back();
        heap.pop_back();
        if (i == heap.size()) return;
        heap[i] = last;
        place(i);
        siftUp(i);
        siftDown(last->heapIndex);
    }
    void wakeIfEarlier(Clock::time_point deadline) {
        if (deadline < sleepingUntil) {
            sleepingUntil = Clock::time_point::min();
            wake();
        }
    }

    // ---- descriptors (under mutex) ----
    void fireAlwaysReady(Entry& entry) {
        for (auto& reg : entry.registrations) {
            if (!reg.armed) continue;
            reg.armed = false;
            alwaysReadyFires.push_back(reg.target);
        }
        wake();
    }

    void updateKernel(Entry& entry) {
        if (entry.alwaysReady) {
            fireAlwaysReady(entry);
            return;
        }
        std::uint32_t mask = 0;
        for (const auto& reg : entry.registrations)
            if (reg.armed) mask |= reg.events;
        if (mask == entry.kernelMask) return;
        epoll_event ev{};
        ev.events = mask | EPOLLONESHOT;
        ev.data.u64 = entry.id;
        if (entry.inEpoll) {
            if (::epoll_ctl(epollFd, EPOLL_CTL_MOD, entry.fd, &ev) == 0) {
                entry.kernelMask = mask;
                return;
            }
            entry.inEpoll = false;  // gone from the kernel's set (descriptor closed): add anew
        }
        if (mask == 0) return;
        // A number closed under its sources may name another file by now: never watch that one.
        struct stat st {};
        if (::fstat(entry.fd, &st) != 0 || st.st_dev != entry.dev || st.st_ino != entry.ino) return;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, entry.fd, &ev) == 0) {
            entry.inEpoll = true;
            entry.kernelMask = mask;
        } else if (errno == EPERM) {
            entry.alwaysReady = true;
            fireAlwaysReady(entry);
        }
        // Any other failure (a closed descriptor) leaves the source without events; its owner
        // finds the error on its next own call.
    }

    void removeEntry(Entry& entry) {
        if (entry.inEpoll) ::epoll_ctl(epollFd, EPOLL_CTL_DEL, entry.fd, nullptr);
        auto it = byFd.find(entry.fd);
        if (it != byFd.end() && it->second == &entry) byFd.erase(it);
        byId.erase(entry.id);  // destroys entry
    }

    Entry* find(std::uint64_t id) {
        auto it = byId.find(id);
        return it == byId.end() ? nullptr : it->second.get();
    }

    void handleEvent(std::uint64_t id, std::uint32_t revents,
                     std::vector<std::weak_ptr<ReadyTarget>>& fires) {
        Entry* entry = find(id);
        if (!entry) return;  // detached meanwhile, or a number reused since
        entry->kernelMask = 0;  // one shot: the kernel disabled the registration
        const bool all = revents & (EPOLLERR | EPOLLHUP);
        for (auto& reg : entry->registrations) {
            if (!reg.armed || !(all || (reg.events & revents))) continue;
            reg.armed = false;
            fires.push_back(reg.target);
        }
        updateKernel(*entry);
    }

    void run();
};

Reactor& Reactor::instance() {
    static Reactor* reactor = new Reactor();  // never destroyed: its thread outlives main()
    return *reactor;
}

Reactor::Reactor() : impl_(new Impl) {
    impl_->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    impl_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (impl_->epollFd < 0 || impl_->wakeFd < 0) preconditionFailure("The dispatch reactor cannot start");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeId;
    ::epoll_ctl(impl_->epollFd, EPOLL_CTL_ADD, impl_->wakeFd, &ev);
    std::thread([impl = impl_] { impl->run(); }).detach();
}

std::uint64_t Reactor::attach(int fd, std::uint32_t events, const std::weak_ptr<ReadyTarget>& target,
                              const ReadyTarget* key) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return 0;
    std::lock_guard lock(impl_->mutex);
    Impl::Entry* entry = nullptr;
    if (auto it = impl_->byFd.find(fd); it != impl_->byFd.end()) {
        entry = it->second;
        if (entry->dev != st.st_dev || entry->ino != st.st_ino) {
            // The number was closed under its sources and reused: they never fire again.
            impl_->removeEntry(*entry);
            entry = nullptr;
        }
    }
    if (!entry) {
        auto owned = std::make_unique<Impl::Entry>();
        entry = owned.get();
        entry->id = impl_->nextId++;
        entry->fd = fd;
        entry->dev = st.st_dev;
        entry->ino = st.st_ino;
        impl_->byId.emplace(entry->id, std::move(owned));
        impl_->byFd[fd] = entry;
    }
    entry->registrations.push_back({key, target, events, false});
    return entry->id;
}

void Reactor::arm(std::uint64_t id, const ReadyTarget* key) {
    std::lock_guard lock(impl_->mutex);
    Impl::Entry* entry = impl_->find(id);
    if (!entry) return;
    for (auto& reg : entry->registrations) {
        if (reg.key != key) continue;
        if (reg.armed) return;
        reg.armed = true;
        impl_->updateKernel(*entry);
        return;
    }
}

void Reactor::detach(std::uint64_t id, const ReadyTarget* key) {
    std::lock_guard lock(impl_->mutex);
    Impl::Entry* entry = impl_->find(id);
    if (!entry) return;
    auto& regs = entry->registrations;
    regs.erase(std::remove_if(regs.begin(), regs.end(), [key](const auto& r) { return r.key == key; }),
               regs.end());
    if (regs.empty()) {
        impl_->removeEntry(*entry);
    } else {
        impl_->updateKernel(*entry);
    }
}

std::uint64_t Reactor::setTimer(TimerNode& node, Clock::time_point deadline) {
    std::lock_guard lock(impl_->mutex);
    node.deadline = deadline;
    node.sequence = impl_->nextSequence++;
    ++node.generation;
    if (node.heapIndex == kNotInHeap) {
        impl_->heapInsert(&node);
    } else {
        impl_->siftUp(node.heapIndex);
        impl_->siftDown(node.heapIndex);
    }
    if (impl_->heap.front() == &node) impl_->wakeIfEarlier(deadline);
    return node.generation;
}

void Reactor::removeTimer(TimerNode& node) {
    std::lock_guard lock(impl_->mutex);
    ++node.generation;
    if (node.heapIndex != kNotInHeap) impl_->heapRemove(&node);
}

void Reactor::after(Clock::time_point deadline, QueuePtr queue, Block block) {
    auto* node = new TimerNode;
    node->queue = std::move(queue);
    node->block = std::move(block);
    std::lock_guard lock(impl_->mutex);
    node->deadline = deadline;
    node->sequence = impl_->nextSequence++;
    impl_->heapInsert(node);
    if (impl_->heap.front() == node) impl_->wakeIfEarlier(deadline);
}

void Reactor::Impl::run() {
    epoll_event events[64];
    std::vector<std::weak_ptr<ReadyTarget>> fires;
    std::vector<std::pair<std::weak_ptr<ReadyTarget>, std::uint64_t>> timers;
    std::vector<TimerNode*> afters;
    bool havePwait2 = true;
    for (;;) {
        Clock::time_point deadline;
        {
            std::lock_guard lock(mutex);
            deadline = heap.empty() ? Clock::time_point::max() : heap.front()->deadline;
            sleepingUntil = deadline;
        }
        int n;
        if (deadline == Clock::time_point::max()) {
            n = ::epoll_wait(epollFd, events, 64, -1);
        } else {
            auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
            auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            n = -1;
            errno = ENOSYS;
            if (havePwait2) {
                timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
                n = ::epoll_pwait2(epollFd, events, 64, &ts, nullptr);
                if (n < 0 && errno == ENOSYS) havePwait2 = false;
            }
            if (!havePwait2) {
                // Rounded up: a timer may fire late, never early.
                n = ::epoll_wait(epollFd, events, 64, static_cast<int>((ns + 999999) / 1000000));
            }
        }
        if (n < 0) n = 0;  // EINTR
        {
            std::lock_guard lock(mutex);
            sleepingUntil = Clock::time_point::min();
            for (int i = 0; i < n; ++i) {
                if (events[i].data.u64 == kWakeId) {
                    std::uint64_t value;
                    ssize_t r = ::read(wakeFd, &value, sizeof value);
                    (void)r;
                    continue;
                }
                handleEvent(events[i].data.u64, events[i].events, fires);
            }
            const auto now = Clock::now();
            while (!heap.empty() && heap.front()->deadline <= now) {
                TimerNode* node = heap.front();
                heapRemove(node);
                if (node->queue) {
                    afters.push_back(node);
                } else {
                    timers.emplace_back(node->owner, node->generation);
                }
            }
            for (auto& f : alwaysReadyFires) fires.push_back(std::move(f));
            alwaysReadyFires.clear();
        }
        for (auto& weak : fires)
            if (auto target = weak.lock()) target->onReady();
        fires.clear();
        for (auto& [weak, generation] : timers)
            if (auto target = weak.lock()) target->onTimer(generation);
        timers.clear();
        for (TimerNode* node : afters) {
            node->queue->async(std::move(node->block));
            delete node;
        }
        afters.clear();
    }
}

}  // namespace pavonix::dispatch::detail
