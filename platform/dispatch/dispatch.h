// Serial queues, global concurrent queues, the main queue and event sources.
//
// Serial queues are cheap objects multiplexed on a small worker pool; a queue never owns a
// thread. Sources watch a file descriptor (readable / writable) or a deadline, through one epoll
// reactor thread, and deliver their handlers on a queue of the caller's choosing.
//
// The main queue is drained by whoever owns the main thread: the Qt event loop in the program
// (through the poster) and runMainQueue() in tests.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pavonix::dispatch {

using Block = std::function<void()>;
using Clock = std::chrono::steady_clock;

// Misuse by calling code (never reachable from remote input): prints "Precondition failed: <text>"
// to stderr and aborts. Shared by the layers above for their own fixed assertion texts.
[[noreturn]] void preconditionFailure(const char* text);

// The fixed texts of this layer's own precondition failures.
inline constexpr const char* kSyncDeadlockText =
    "Queue::sync onto a queue the calling thread already runs would deadlock";
inline constexpr const char* kOverResumeText = "Source::resume without a matching suspend";
inline constexpr const char* kOffMainDrainText = "The main queue is drained off the main thread";

class Queue : public std::enable_shared_from_this<Queue> {
public:
    virtual ~Queue() = default;
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    const std::string& label() const { return label_; }

    // Runs the block later on this queue. Blocks submitted from one thread run in order.
    virtual void async(Block block) = 0;
    // Runs the block on this queue and returns once it has run. Calling it from this queue, from
    // a queue that targets it, from inside a sync() that such an item made, or onto the main
    // queue from the main thread is a precondition failure (kSyncDeadlockText), never a hang.
    // An idle queue without a target runs the block on the calling thread; otherwise a thread
    // of the queue runs it while the caller waits (the main queue's block runs on the main
    // thread). A worker waiting in sync() is replaced when no other worker is free.
    virtual void sync(const Block& block) = 0;
    // Runs the block on this queue no earlier than `delay` from now.
    void after(Clock::duration delay, Block block);

    // True while the calling thread runs an item of this queue, or of a queue targeting it
    // (also from inside a sync() that such an item made, since the queue then waits for it).
    bool isCurrent() const;

    // Global queues are concurrent; every other queue runs one item at a time.
    virtual bool isConcurrent() const { return false; }

    // Queue-specific values. getSpecific looks the key up on this queue, then along its target chain.
    void setSpecific(const void* key, std::shared_ptr<void> value);
    std::shared_ptr<void> getSpecific(const void* key) const;
    // getSpecific on the queue whose item the calling thread is running; null off any queue.
    static std::shared_ptr<void> currentSpecific(const void* key);

    const std::shared_ptr<Queue>& target() const { return target_; }

protected:
    Queue(std::string label, std::shared_ptr<Queue> target);

private:
    std::string label_;
    std::shared_ptr<Queue> target_;
    mutable std::mutex specificsMutex_;
    std::vector<std::pair<const void*, std::shared_ptr<void>>> specifics_;
};
using QueuePtr = std::shared_ptr<Queue>;

// A new serial queue. With a target, its items run as items of the target (so they never
// overlap with the target's own items either).
QueuePtr makeSerialQueue(std::string label, QueuePtr target = nullptr);

// Concurrent queue for blocking work (name look-ups, blocking system calls, libcurl). Its
// threads are separate from the serial queues' pool, so blocking here never delays them. Each
// job gets a thread of its own, up to 64 at once (idle ones leave after 10 s); beyond that, jobs
// wait for a free thread. The three priorities are distinct queue objects over that one pool;
// sync() on them runs the block on the calling thread.
enum class Priority { low, normal, high };
QueuePtr globalQueue(Priority priority = Priority::normal);

// The main thread's FIFO queue.
QueuePtr mainQueue();

// ---- Driving the main queue -------------------------------------------------------------------

// Marks the calling thread as the main thread (done once at start-up, and by the test helpers).
void setMainThread();
bool isMainThread();

// Called, from any thread, whenever the main queue receives work. The program posts a Qt event
// that calls drainMainQueue(); a poster must not run the items itself.
void setMainQueuePoster(std::function<void()> poster);

// Runs every item currently in the main queue on the calling (main) thread; returns how many ran.
// Items queued meanwhile wait for the next drain (the poster is asked again), so an item that
// keeps re-posting itself cannot starve the event loop. The first thread to drain becomes the
// main thread when none was set; draining from any other thread aborts (kOffMainDrainText).
std::size_t drainMainQueue();

// Test helper: drains the main queue on the calling thread until `until` holds or the time-out
// passes. Returns whether `until` held.
bool runMainQueue(const std::function<bool()>& until,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The executor through which core code reaches the main thread.
struct MainExecutor {
    static void post(Block block) { mainQueue()->async(std::move(block)); }
};

// ---- Sources ------------------------------------------------------------------------------------

// A read, write or timer source. Sources start suspended: set the handlers, then resume().
// Handlers run on the source's queue, never concurrently with each other. Read and write
// sources are level-triggered: while the descriptor is ready and the source resumed, the handler
// runs again after each return (at most one fire is queued at a time), so suspend a write source
// that has nothing to write. A wake-up with nothing to read and no end of stream is skipped.
// Both handlers are released once the cancel handler has run, so they may capture the source.
class Source : public std::enable_shared_from_this<Source> {
public:
    enum class Kind { read, write, timer };

    // The source does not own the descriptor; close it in the cancel handler.
    static std::shared_ptr<Source> makeRead(int fd, QueuePtr queue);
    static std::shared_ptr<Source> makeWrite(int fd, QueuePtr queue);
    static std::shared_ptr<Source> makeTimer(QueuePtr queue);

    virtual ~Source() = default;

    virtual void setEventHandler(Block handler) = 0;
    virtual void setCancelHandler(Block handler) = 0;

    // Timers: one shot, firing no earlier than `delay` after this call. Setting again moves it,
    // and drops a fire of the old deadline that has not reached its handler yet.
    virtual void setTimer(Clock::duration delay) = 0;

    // Suspension counts nest; a source starts with a count of 1. Resuming below 0 aborts.
    virtual void suspend() = 0;
    virtual void resume() = 0;

    // No event handler starts after cancel(); the cancel handler runs once, on the queue, after
    // the last event handler and once the suspend count is 0. The descriptor is out of the
    // reactor when cancel() returns. (Called from another thread than the queue's, a handler
    // that had already been committed to run may still be running.) Dropping the last reference
    // to an uncancelled source unregisters it quietly: no cancel handler runs then.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;

    // For a read source: bytes waiting on a stream or datagram socket (0 on a stream means the
    // peer ended it), a fixed positive count for a listening socket. A datagram socket reports
    // at least 1 while anything is queued, so an empty datagram is never taken for an end of
    // stream; a pending socket error (a reset) reports 1, so the reader's own call returns it. A pipe or other descriptor reports its FIONREAD count, 0 at its end. Write
    // sources report 1, timers the number of fires (1). Valid inside the event handler.
    virtual std::size_t data() const = 0;

    virtual Kind kind() const = 0;
    virtual int fd() const = 0;
};
using SourcePtr = std::shared_ptr<Source>;

}  // namespace pavonix::dispatch
