// The one epoll thread behind every source and every Queue::after. Internal to platform/dispatch.
//
// Descriptors are registered with EPOLLONESHOT under an entry id that is never reused, so an
// event that was already fetched for a descriptor number that has since been closed and reused
// finds no entry and is dropped. One entry per descriptor carries every source watching it (a
// read and a write source on one socket share the kernel registration). Deadlines live in a
// min-heap on the steady (CLOCK_MONOTONIC) clock and become the epoll time-out.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/dispatch/dispatch.h"

namespace pavonix::dispatch::detail {

// Implemented by the sources; called on the reactor thread, never under the reactor's lock.
class ReadyTarget {
public:
    virtual ~ReadyTarget() = default;
    virtual void onReady() = 0;
    virtual void onTimer(std::uint64_t generation) = 0;
};

struct TimerNode {
    Clock::time_point deadline{};
    std::size_t heapIndex = static_cast<std::size_t>(-1);
    std::uint64_t sequence = 0;
    std::uint64_t generation = 0;
    // Either a source's timer (owner) or a one-off Queue::after (queue + block, owned by the heap).
    std::weak_ptr<ReadyTarget> owner;
    QueuePtr queue;
    Block block;
};

// now + delay, saturated so that a huge delay means "never" rather than an overflow.
inline Clock::time_point deadlineAfter(Clock::duration delay) {
    const auto now = Clock::now();
    if (delay <= Clock::duration::zero()) return now;
    if (delay > Clock::time_point::max() - now) return Clock::time_point::max();
    return now + delay;
}

class Reactor {
public:
    static Reactor& instance();

    // Descriptor registrations. attach() does not arm; arm() enables `events` for this source
    // until the next event (one shot); detach() removes the source for good. The id is 0 when
    // the descriptor cannot be watched at all.
    std::uint64_t attach(int fd, std::uint32_t events, const std::weak_ptr<ReadyTarget>& target,
                         const ReadyTarget* key);
    void arm(std::uint64_t id, const ReadyTarget* key);
    void detach(std::uint64_t id, const ReadyTarget* key);

    // Source timers: (re)arm at `deadline`, returning the generation that a fire will carry.
    std::uint64_t setTimer(TimerNode& node, Clock::time_point deadline);
    void removeTimer(TimerNode& node);

    // Queue::after.
    void after(Clock::time_point deadline, QueuePtr queue, Block block);

    struct Impl;

private:
    Reactor();
    Impl* impl_;
};

}  // namespace pavonix::dispatch::detail
