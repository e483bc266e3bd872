// Serial queues on a small worker pool, the global concurrent queues on an elastic pool of their
// own, and the main queue.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/dispatch/dispatch.h"
#include "platform/dispatch/reactor.h"

namespace pavonix::dispatch {

void preconditionFailure(const char* text) {
    std::fprintf(stderr, "Precondition failed: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

namespace {

// What the calling thread is running, innermost first. A sync item run on a worker for a thread
// blocked in sync() links that thread's frames as `waiter`: the blocked thread still holds its
// queues, so they count as held here too (deadlock detection, isCurrent).
struct Frame {
    const Queue* queue;
    const Frame* prev;
    const Frame* waiter;
};
thread_local const Frame* tlsTop = nullptr;

class FrameScope {
public:
    explicit FrameScope(const Queue* queue, const Frame* waiter = nullptr)
        : frame_{queue, tlsTop, waiter} {
        tlsTop = &frame_;
    }
    ~FrameScope() { tlsTop = frame_.prev; }
    FrameScope(const FrameScope&) = delete;
    FrameScope& operator=(const FrameScope&) = delete;

private:
    Frame frame_;
};

bool chainContains(const Queue* start, const Queue* wanted) {
    for (const Queue* q = start; q; q = q->target().get())
        if (q == wanted) return true;
    return false;
}

bool frameHolds(const Frame* frame, const Queue* wanted) {
    for (; frame; frame = frame->prev) {
        if (chainContains(frame->queue, wanted)) return true;
        if (frame->waiter && frameHolds(frame->waiter, wanted)) return true;
    }
    return false;
}

std::atomic<std::thread::id> gMainThread{};

// Refuses a sync that could only deadlock: onto a serial queue (or one on its target chain) that
// this thread, or a thread waiting on it, is running; or onto the main queue from the main thread.
void checkSyncAllowed(const Queue* queue) {
    for (const Queue* q = queue; q; q = q->target().get()) {
        if (q->isConcurrent()) continue;
        if (frameHolds(tlsTop, q)) preconditionFailure(kSyncDeadlockText);
        if (isMainThread() && q == mainQueue().get()) preconditionFailure(kSyncDeadlockText);
    }
}

// One sync item: the worker runs the block and wakes the waiting caller.
struct SyncWait {
    SyncWait(const Block& b, const Frame* caller) : block(&b), callerFrames(caller) {}
    const Block* block;
    const Frame* callerFrames;
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;

    void runOn(const Queue* queue) {
        {
            FrameScope scope(queue, callerFrames);
            (*block)();
        }
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_one();
    }
    void wait();
};

// ---- The serial queues' worker pool ---------------------------------------------------------

bool startThread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

class SerialQueue;

thread_local bool tlsIsPoolWorker = false;

class WorkerPool {
public:
    static WorkerPool& instance() {
        static WorkerPool* pool = new WorkerPool();  // never destroyed: workers outlive main()
        return *pool;
    }

    void push(std::shared_ptr<SerialQueue> queue) {
        std::unique_lock lock(mutex_);
        ready_.push_back(std::move(queue));
        if (idle_ > 0) {
            cv_.notify_one();
        } else if (blocked_ >= threads_) {
            spawnLocked();
        }
    }

    // A worker about to wait in sync(): when it is the last one not waiting, add a worker so the
    // queue it waits for can still run.
    void enterBlocked() {
        std::lock_guard lock(mutex_);
        ++blocked_;
        if (blocked_ >= threads_ && idle_ == 0) spawnLocked();
    }
    void leaveBlocked() {
        std::lock_guard lock(mutex_);
        --blocked_;
    }

private:
    WorkerPool() {
        unsigned hw = std::thread::hardware_concurrency();
        base_ = static_cast<int>(std::clamp(hw, 2u, 8u));
        std::lock_guard lock(mutex_);
        for (int i = 0; i < base_; ++i) spawnLocked();
    }

    void spawnLocked() {
        // Out of threads, the work waits for the workers there are rather than failing the caller.
        if (startThread([this] { run(); })) ++threads_;
    }

    void run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<SerialQueue>> ready_;
    int base_ = 2;
    int threads_ = 0;
    int idle_ = 0;
    int blocked_ = 0;
};

// Serial queue: a lock-free multi-producer, single-consumer list of items (Vyukov's intrusive
// queue with a stub node) and a count whose 0 -> 1 step schedules the queue. Whoever moves the
// count to 0 stops draining, so exactly one thread drains a queue at a time.
class SerialQueue final : public Queue {
public:
    SerialQueue(std::string label, QueuePtr target) : Queue(std::move(label), std::move(target)) {}

    ~SerialQueue() override {
        // Nothing is pending (pending items hold the queue), but the list may hold the stub.
    }

    void async(Block block) override {
        push(new Node(std::move(block)));
        if (count_.fetch_add(1, std::memory_order_acq_rel) == 0) schedule();
    }

    void sync(const Block& block) override {
        checkSyncAllowed(this);
        if (!target()) {
            // Idle root queue: claim it and run on the calling thread. A count of 0 alone does not
            // make it idle: another producer may have linked an item it has not counted yet, and
            // that item may precede one this thread queued. Claimed, this thread is the only
            // consumer and may look at the list; with an item there, it hands the queue back as a
            // drainer would and waits its turn behind that item.
            std::size_t idle = 0;
            if (count_.compare_exchange_strong(idle, 1, std::memory_order_acq_rel)) {
                const bool empty = head_ == &stub_ && tail_.load(std::memory_order_acquire) == &stub_;
                if (empty) {
                    FrameScope scope(this);
                    block();
                }
                if (count_.fetch_sub(1, std::memory_order_acq_rel) > 1) schedule();
                if (empty) return;
            }
        }
        SyncWait wait(block, tlsTop);
        async([&wait, this] { wait.runOn(this); });
        wait.wait();
    }

    // Runs up to a batch of items, then hands the queue back to the pool so that one busy queue
    // cannot starve the others.
    // The count is settled once per run of known items rather than per item, which keeps the
    // drainer off the producers' cache line.
    void drain() {
        FrameScope scope(this);
        std::size_t known = count_.load(std::memory_order_acquire);
        for (std::size_t done = 0; done < kBatch;) {
            const std::size_t run = std::min(known, kBatch - done);
            for (std::size_t i = 0; i < run; ++i) {
                Node* node = popWaiting();
                node->block();
                delete node;
            }
            done += run;
            known = count_.fetch_sub(run, std::memory_order_acq_rel) - run;
            if (known == 0) return;
        }
        schedule();
    }

private:
    static constexpr std::size_t kBatch = 256;

    struct Node {
        Node() = default;
        explicit Node(Block b) : block(std::move(b)) {}
        std::atomic<Node*> next{nullptr};
        Block block;
    };

    void push(Node* node) {
        Node* prev = tail_.exchange(node, std::memory_order_acq_rel);
        prev->next.store(node, std::memory_order_release);
    }

    // Consumer side. Returns null when a producer has swapped the tail but not linked yet.
    Node* tryPop() {
        Node* head = head_;
        Node* next = head->next.load(std::memory_order_acquire);
        if (head == &stub_) {
            if (!next) return nullptr;
            head_ = next;
            head = next;
            next = next->next.load(std::memory_order_acquire);
        }
        if (next) {
            head_ = next;
            return head;
        }
        if (head != tail_.load(std::memory_order_acquire)) return nullptr;
        stub_.next.store(nullptr, std::memory_order_relaxed);
        push(&stub_);
        next = head->next.load(std::memory_order_acquire);
        if (next) {
            head_ = next;
            return head;
        }
        return nullptr;
    }

    // The count says an item is there; a producer may be between its two steps.
    Node* popWaiting() {
        for (int spins = 0;; ++spins) {
            if (Node* node = tryPop()) return node;
            if (spins > 64) std::this_thread::yield();
        }
    }

    void schedule() {
        auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
        if (const QueuePtr& t = target()) {
            t->async([self = std::move(self)] { self->drain(); });
        } else {
            WorkerPool::instance().push(std::move(self));
        }
    }

    std::atomic<Node*> tail_{&stub_};
    std::atomic<std::size_t> count_{0};
    Node* head_ = &stub_;
    Node stub_;
};

void SyncWait::wait() {
    const bool worker = tlsIsPoolWorker;
    if (worker) WorkerPool::instance().enterBlocked();
    {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return done; });
    }
    if (worker) WorkerPool::instance().leaveBlocked();
}

void WorkerPool::run() {
    tlsIsPoolWorker = true;
    std::unique_lock lock(mutex_);
    for (;;) {
        while (ready_.empty()) {
            ++idle_;
            bool timedOut = cv_.wait_for(lock, std::chrono::seconds(5)) == std::cv_status::timeout;
            --idle_;
            // Workers added for blocked sync() calls leave again once idle.
            if (timedOut && ready_.empty() && threads_ > base_) {
                --threads_;
                return;
            }
        }
        auto queue = std::move(ready_.front());
        ready_.pop_front();
        lock.unlock();
        queue->drain();
        queue.reset();
        lock.lock();
    }
}

// ---- Global concurrent queues ---------------------------------------------------------------

class BlockingPool {
public:
    static BlockingPool& instance() {
        static BlockingPool* pool = new BlockingPool();
        return *pool;
    }

    void push(const Queue* queue, Block block) {
        std::lock_guard lock(mutex_);
        jobs_.push_back({queue, std::move(block)});
        // Every job gets a thread of its own (up to the cap), so a job never waits behind one
        // that blocks.
        if (jobs_.size() > static_cast<std::size_t>(idle_) && threads_ < kMaxThreads &&
            startThread([this] { run(); })) {
            ++threads_;
        } else {
            cv_.notify_one();
        }
    }

private:
    static constexpr int kMaxThreads = 64;

    struct Job {
        const Queue* queue;
        Block block;
    };

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            while (jobs_.empty()) {
                ++idle_;
                bool timedOut = cv_.wait_for(lock, std::chrono::seconds(10)) == std::cv_status::timeout;
                --idle_;
                if (timedOut && jobs_.empty()) {
                    --threads_;
                    return;
                }
            }
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            {
                FrameScope scope(job.queue);
                job.block();
            }
            job.block = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    int threads_ = 0;
    int idle_ = 0;
};

class GlobalQueue final : public Queue {
public:
    explicit GlobalQueue(std::string label) : Queue(std::move(label), nullptr) {}
    bool isConcurrent() const override { return true; }
    void async(Block block) override { BlockingPool::instance().push(this, std::move(block)); }
    void sync(const Block& block) override {
        FrameScope scope(this);
        block();
    }
};

// ---- The main queue -------------------------------------------------------------------------

class MainQueue final : public Queue {
public:
    MainQueue() : Queue("main", nullptr) {}

    void async(Block block) override {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(block));
        }
        cv_.notify_all();
        callPoster();
    }

    void sync(const Block& block) override {
        checkSyncAllowed(this);
        SyncWait wait(block, tlsTop);
        async([&wait, this] { wait.runOn(this); });
        wait.wait();
    }

    std::size_t drain() {
        std::size_t count;
        {
            std::lock_guard lock(mutex_);
            count = items_.size();
        }
        std::size_t ran = 0;
        for (; ran < count; ++ran) {
            Block block;
            {
                std::lock_guard lock(mutex_);
                if (items_.empty()) break;  // a nested drain took them
                block = std::move(items_.front());
                items_.pop_front();
            }
            FrameScope scope(this);
            block();
        }
        // Items that arrived meanwhile asked the poster themselves; asking again covers a nested
        // event loop that consumed their drain event while this one was still running.
        bool more;
        {
            std::lock_guard lock(mutex_);
            more = !items_.empty();
        }
        if (more) callPoster();
        return ran;
    }

    // Waits until an item is queued or the deadline passes.
    void waitForItems(Clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        cv_.wait_until(lock, deadline, [this] { return !items_.empty(); });
    }

    void setPoster(std::function<void()> poster) {
        std::lock_guard lock(posterMutex_);
        poster_ = std::move(poster);
    }

private:
    // Under its own lock, so that once setPoster(nullptr) returns the old poster is not running
    // any more (the program's poster points at an object of main()).
    void callPoster() {
        std::lock_guard lock(posterMutex_);
        if (poster_) poster_();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Block> items_;
    std::mutex posterMutex_;
    std::function<void()> poster_;
};

MainQueue& mainQueueImpl() {
    static auto* holder = new std::shared_ptr<MainQueue>(std::make_shared<MainQueue>());
    return **holder;
}

}  // namespace

// ---- Queue ----------------------------------------------------------------------------------

Queue::Queue(std::string label, std::shared_ptr<Queue> target)
    : label_(std::move(label)), target_(std::move(target)) {}

void Queue::after(Clock::duration delay, Block block) {
    detail::Reactor::instance().after(detail::deadlineAfter(delay), shared_from_this(), std::move(block));
}

bool Queue::isCurrent() const { return frameHolds(tlsTop, this); }

void Queue::setSpecific(const void* key, std::shared_ptr<void> value) {
    std::lock_guard lock(specificsMutex_);
    auto it = std::find_if(specifics_.begin(), specifics_.end(),
                           [key](const auto& entry) { return entry.first == key; });
    if (it != specifics_.end()) {
        if (value) {
            it->second = std::move(value);
        } else {
            specifics_.erase(it);
        }
    } else if (value) {
        specifics_.emplace_back(key, std::move(value));
    }
}

std::shared_ptr<void> Queue::getSpecific(const void* key) const {
    for (const Queue* q = this; q; q = q->target_.get()) {
        std::lock_guard lock(q->specificsMutex_);
        for (const auto& [k, v] : q->specifics_)
            if (k == key) return v;
    }
    return nullptr;
}

std::shared_ptr<void> Queue::currentSpecific(const void* key) {
    const Frame* top = tlsTop;
    return top ? top->queue->getSpecific(key) : nullptr;
}

QueuePtr makeSerialQueue(std::string label, QueuePtr target) {
    return std::make_shared<SerialQueue>(std::move(label), std::move(target));
}

QueuePtr globalQueue(Priority priority) {
    static QueuePtr* queues = new QueuePtr[3]{std::make_shared<GlobalQueue>("global.low"),
                                              std::make_shared<GlobalQueue>("global.normal"),
                                              std::make_shared<GlobalQueue>("global.high")};
    return queues[static_cast<int>(priority)];
}

QueuePtr mainQueue() { return mainQueueImpl().shared_from_this(); }

// ---- Driving the main queue -----------------------------------------------------------------

void setMainThread() { gMainThread.store(std::this_thread::get_id()); }

bool isMainThread() { return gMainThread.load() == std::this_thread::get_id(); }

void setMainQueuePoster(std::function<void()> poster) { mainQueueImpl().setPoster(std::move(poster)); }

std::size_t drainMainQueue() {
    std::thread::id none{};
    // The first thread to drain becomes the main thread when none was named.
    if (!gMainThread.compare_exchange_strong(none, std::this_thread::get_id()) && !isMainThread())
        preconditionFailure(kOffMainDrainText);
    return mainQueueImpl().drain();
}

bool runMainQueue(const std::function<bool()>& until, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drainMainQueue();
        if (until()) return true;
        const auto now = Clock::now();
        if (now >= deadline) return false;
        // `until` may turn true without any main-queue item, so look again every few ms.
        mainQueueImpl().waitForItems(std::min(deadline, now + std::chrono::milliseconds(2)));
    }
}

}  // namespace pavonix::dispatch
