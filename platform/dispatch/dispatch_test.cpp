#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/testing/wait_until.h"

namespace pavonix::dispatch {
namespace {

using namespace std::chrono_literals;

using testing::waitUntil;

void drain(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) continue;
}

// cancel() from a thread other than the queue's lets an already started handler finish; once
// the queue has run an item queued after cancel(), no handler touches the test's locals.
void cancelAndWait(const SourcePtr& source, const QueuePtr& queue) {
    source->cancel();
    queue->sync([] {});
}

// Waits for a block that the reactor hands to `queue` once `delay` has passed. The reactor hands
// over ready descriptors before timers in each round, and timers in deadline order, so any fire it
// had ready (or due earlier) is queued ahead: afterwards a missing fire is really missing.
void reactorRoundTrip(const QueuePtr& queue, Clock::duration delay = {}) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    queue->after(delay, [ran] { *ran = true; });
    ASSERT_TRUE(waitUntil([&] { return ran->load(); }));
}

struct Pair {
    explicit Pair(int type = SOCK_STREAM) { EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0); }
    ~Pair() {
        ::close(a);
        ::close(b);
    }
    void send(const std::string& bytes) const { ASSERT_EQ(::write(b, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // Closing with unread bytes resets the stream.
    void reset() {
        ASSERT_EQ(::write(a, "x", 1), 1);
        ::close(b);
        b = -1;
    }
    int fds[2] = {-1, -1};
    int& a = fds[0];
    int& b = fds[1];
};

int threadCount() { return int(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// Two producers feed the queue itself and two feed queues that target it: no item may start
// while another runs, each runs as an item of the queue (current, with its values), and each
// producer's items run in its order, through async and sync alike.
TEST(SerialQueue, ItemsOfAQueueAndOfItsTargetedQueuesNeverOverlapAndKeepOrder) {
    static const int key = 0;
    auto queue = makeSerialQueue("order");
    queue->setSpecific(&key, std::make_shared<int>(7));
    const QueuePtr feeds[] = {queue, queue, makeSerialQueue("child", queue), makeSerialQueue("child", queue)};
    constexpr int kThreads = 4, kItems = 5000;
    std::atomic<bool> inside{false};
    std::vector<int> last(kThreads, -1);  // touched only by the queues' items
    std::atomic<int> overlaps{0}, outOfOrder{0}, offQueue{0}, syncReturnedEarly{0};
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                auto item = [&, t, i] {
                    if (inside.exchange(true)) ++overlaps;
                    if (i != last[t] + 1) ++outOfOrder;
                    if (!queue->isCurrent() || !Queue::currentSpecific(&key)) ++offQueue;
                    last[t] = i;
                    inside = false;
                };
                // A sync may run on the calling thread only while the queue is idle.
                if (i % 64 != 0) {
                    feeds[t]->async(item);
                } else {
                    feeds[t]->sync(item);
                    if (last[t] != i) ++syncReturnedEarly;
                }
            }
        });
    }
    for (auto& p : producers) p.join();
    for (const auto& feed : feeds) feed->sync([] {});
    EXPECT_EQ((std::vector<int>{overlaps, outOfOrder, offQueue, syncReturnedEarly}), std::vector<int>(4, 0));
    EXPECT_EQ(last, std::vector<int>(kThreads, kItems - 1));
    EXPECT_FALSE(queue->isCurrent() || Queue::currentSpecific(&key));
    queue->setSpecific(&key, nullptr);  // a null value removes it
    EXPECT_EQ(feeds[2]->getSpecific(&key), nullptr);
}

TEST(DispatchDeathTest, MisuseThatCouldOnlyHangAbortsWithItsText) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setMainThread();
    auto target = makeSerialQueue("target");
    auto child = makeSerialQueue("child", target);
    auto a = makeSerialQueue("a");
    auto timer = Source::makeTimer(a);
    timer->resume();
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { a->sync([&] { a->sync([] {}); }); }, kSyncDeadlockText},
        {[&] { child->sync([&] { target->sync([] {}); }); }, kSyncDeadlockText},
        // An item of the target may not wait for a queue that needs the target either.
        {[&] { target->sync([&] { child->sync([] {}); }); }, kSyncDeadlockText},
        // A waits in sync for child, whose block runs on a worker: that worker still holds A.
        {[&] { a->sync([&] { child->sync([&] { a->sync([] {}); }); }); }, kSyncDeadlockText},
        {[] { mainQueue()->sync([] {}); }, kSyncDeadlockText},
        {[] { std::thread([] { drainMainQueue(); }).join(); }, kOffMainDrainText},
        {[&] { timer->resume(); }, kOverResumeText},
    };
    for (const auto& [misuse, text] : cases) EXPECT_DEATH(misuse(), std::string("Precondition failed: ") + text);
    timer->cancel();
}

TEST(SerialQueue, QueuesShareASmallPoolAndOutliveTheirLastReference) {
    const int before = threadCount();
    std::atomic<int> ran{0};
    for (int i = 0; i < 10000; ++i) {
        auto queue = makeSerialQueue("per-datagram");
        queue->async([&] { ++ran; });
        queue->async([&] { ++ran; });
    }  // dropped with items pending: they still run
    ASSERT_TRUE(waitUntil([&] { return ran.load() == 20000; }));
    EXPECT_LE(threadCount() - before, 16);
}

// Blocked work starves neither the serial queues nor the timers: neither global jobs that all
// wait at once (each has a thread of its own), nor more serial items than workers, each waiting in
// sync for the main queue (which runs their blocks on the main thread once it drains).
TEST(Queues, BlockedWorkStarvesNeitherSerialQueuesNorTimers) {
    setMainThread();
    constexpr int kJobs = 32, kBlocked = 24;
    std::atomic<int> started{0}, finished{0}, doneOnMain{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < kJobs; ++i) {
        globalQueue()->async([&] {
            ++started;
            EXPECT_TRUE(waitUntil([&] { return release.load(); }));
            ++finished;
        });
    }
    for (int i = 0; i < kBlocked; ++i) {
        makeSerialQueue("blocked")->async([&] {
            bool onMain = false;
            mainQueue()->sync([&] { onMain = isMainThread(); });
            doneOnMain += onMain;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return started.load() == kJobs; }));
    std::atomic<bool> serialRan{false}, timerRan{false};
    makeSerialQueue("serial")->async([&] { serialRan = true; });
    makeSerialQueue("timer")->after(10ms, [&] { timerRan = true; });
    EXPECT_TRUE(waitUntil([&] { return serialRan.load() && timerRan.load(); }, 2s));
    release = true;
    EXPECT_TRUE(runMainQueue([&] { return doneOnMain.load() == kBlocked && finished.load() == kJobs; }));
}

TEST(MainQueue, RunsInOrderWhenDrainedAndCallsThePosterForEachItem) {
    setMainThread();
    std::atomic<int> posts{0};
    setMainQueuePoster([&] { ++posts; });
    std::vector<int> order, expected(101);
    std::iota(expected.begin(), expected.end(), 0);
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) MainExecutor::post([&, i] { order.push_back(i); });
    });
    producer.join();
    EXPECT_EQ(posts.load(), 100);
    // An item posted while draining waits for the next drain (Qt's loop stays responsive).
    mainQueue()->async([&] { mainQueue()->async([&] { order.push_back(100); }); });
    EXPECT_EQ(drainMainQueue(), 101u);
    EXPECT_EQ(drainMainQueue(), 1u);
    setMainQueuePoster(nullptr);
    EXPECT_EQ(order, expected);
    EXPECT_FALSE(runMainQueue([] { return false; }, 20ms));
}

TEST(Source, StartsSuspendedThenIsLevelTriggeredWithOneFireAtATime) {
    Pair pair;
    pair.send("0123456789");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<int> fires{0}, otherCounts{0};
    source->setEventHandler([&] {
        if (source->data() != 10) ++otherCounts;
        // The descriptor stays readable meanwhile: no second fire may be queued before this returns.
        if (++fires == 1) reactorRoundTrip(globalQueue());
        if (fires == 3) source->suspend();  // no fire after this one
    });
    source->suspend();  // count 2
    source->resume();   // count 1: still suspended, as from creation
    reactorRoundTrip(queue);
    EXPECT_EQ(fires.load(), 0);
    source->resume();
    ASSERT_TRUE(waitUntil([&] { return fires.load() >= 3; }));
    reactorRoundTrip(queue);
    EXPECT_EQ((std::vector<int>{fires, otherCounts}), (std::vector<int>{3, 0}));
    cancelAndWait(source, queue);
}

TEST(Source, ReusedDescriptorNumberNeverFiresTheOldSource) {
    auto queue = makeSerialQueue("src");
    auto first = std::make_unique<Pair>();
    const int number = first->a;
    std::atomic<int> oldFires{0}, newFires{0};
    auto oldSource = Source::makeRead(number, queue);
    oldSource->setEventHandler([&] { ++oldFires; });
    first.reset();  // closed without cancelling; the number comes back for the next socket
    Pair second;
    ASSERT_EQ(second.a, number);
    oldSource->resume();  // armed only now: must not pick up the new socket
    second.send("x");
    reactorRoundTrip(queue);
    EXPECT_EQ(oldFires.load(), 0);
    auto newSource = Source::makeRead(number, queue);
    newSource->setEventHandler([&] {
        drain(number);
        ++newFires;
    });
    newSource->resume();
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(waitUntil([&] { return newFires.load() >= i; }));
        second.send("y");
    }
    EXPECT_EQ(oldFires.load(), 0);
    oldSource->cancel();
    cancelAndWait(newSource, queue);
}

TEST(Source, ReadSourcesReportWhatIsWaitingAndZeroOnlyAtTheEndOfAStream) {
    // Name, socket type, what happens to it, and what the first delivered fire reports and reads.
    const std::tuple<const char*, int, std::function<void(Pair&, const QueuePtr&)>, long, int> cases[] = {
        {"bytes", SOCK_STREAM, [](Pair& p, const QueuePtr&) { p.send("defg"); }, 4, 0},
        {"end of stream", SOCK_STREAM, [](Pair& p, const QueuePtr&) { ::shutdown(p.b, SHUT_WR); }, 0, 0},
        {"empty datagram", SOCK_DGRAM, [](Pair& p, const QueuePtr&) { ::send(p.b, "", 0, 0); }, 1, 0},
        // A reset is no end of stream: it counts 1 and the reader's own read returns the error.
        {"reset", SOCK_STREAM, [](Pair& p, const QueuePtr&) { p.reset(); }, 1, ECONNRESET},
        // A wake-up whose bytes were taken before its handler ran is skipped, not taken for an end.
        {"wake-up with nothing left", SOCK_STREAM,
         [](Pair& p, const QueuePtr& queue) {
             std::atomic<bool> release{false};
             queue->async([&] { EXPECT_TRUE(waitUntil([&] { return release.load(); })); });
             p.send("abc");
             reactorRoundTrip(globalQueue());  // the fire is now queued behind the held item
             drain(p.a);
             release = true;
             queue->sync([] {});
             p.send("defg");
         },
         4, 0},
    };
    for (const auto& [name, type, act, expectedData, expectedError] : cases) {
        SCOPED_TRACE(name);
        Pair pair(type);
        auto queue = makeSerialQueue("src");
        auto source = Source::makeRead(pair.a, queue);
        std::atomic<long> data{-1};
        std::atomic<int> readError{0};
        source->setEventHandler([&] {
            const long available = long(source->data());
            char buf[8];
            readError = ::read(pair.a, buf, sizeof buf) < 0 ? errno : 0;
            data = available;
            source->suspend();
        });
        source->resume();
        act(pair, queue);
        ASSERT_TRUE(waitUntil([&] { return data.load() >= 0; }));
        EXPECT_EQ(data.load(), expectedData);
        EXPECT_EQ(readError.load(), expectedError);
        cancelAndWait(source, queue);
    }
}

// A cancel handler runs once, on the queue, after the last event handler; a suspended source's
// only once it is resumed.
TEST(Source, ReadAndWriteSourcesShareOneDescriptorAndCancelApart) {
    Pair pair;
    auto queue = makeSerialQueue("src");
    auto reader = Source::makeRead(pair.a, queue);
    auto writer = Source::makeWrite(pair.a, queue);
    std::atomic<int> reads{0}, writes{0}, cancels{0}, offQueue{0};
    reader->setEventHandler([&] {
        if (++reads == 2) {
            reader->cancel();  // the bytes stay: the descriptor is still readable
        } else {
            drain(pair.a);
        }
    });
    writer->setEventHandler([&] {
        ++writes;
        writer->suspend();  // writable until the buffer fills: once per resume
    });
    for (const auto& source : {reader, writer}) {
        source->setCancelHandler([&] {
            offQueue += !queue->isCurrent();
            ++cancels;
        });
    }
    reader->resume();
    writer->resume();
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 1; }));
    pair.send("ping");
    ASSERT_TRUE(waitUntil([&] { return reads.load() == 1; }));
    writer->resume();  // the read fire must not have dropped the write interest
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 2; }));
    writer->cancel();   // while suspended
    pair.send("pong");  // nor the writer's leaving the read interest
    ASSERT_TRUE(waitUntil([&] { return cancels.load() == 1; }));
    reactorRoundTrip(queue);
    EXPECT_EQ(cancels.load(), 1);
    writer->resume();
    ASSERT_TRUE(waitUntil([&] { return cancels.load() == 2; }));
    reader->cancel();  // a second cancel changes nothing
    reactorRoundTrip(queue);
    EXPECT_EQ((std::vector<int>{reads, writes, cancels, offQueue}), (std::vector<int>{2, 2, 2, 0}));
}

TEST(TimerSource, AReSetMovesTheDeadlineAndDropsAFireHeldBySuspension) {
    auto queue = makeSerialQueue("timer");
    auto timer = Source::makeTimer(queue);
    std::atomic<int> fires{0};
    Clock::time_point firstFire{};
    timer->setEventHandler([&] {
        if (fires == 0) firstFire = Clock::now();
        ++fires;
    });
    // Later: the first fire comes at the new deadline, none at the old one.
    const auto start = Clock::now();
    timer->setTimer(50ms);
    timer->setTimer(150ms);
    timer->resume();
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 1; }));
    EXPECT_GE(firstFire - start, 150ms);
    timer->setTimer(10s);
    timer->setTimer(10ms);  // earlier
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 2; }));

    // A fire of the old deadline, held while suspended, is dropped by a re-set.
    timer->suspend();
    timer->setTimer(1ms);
    reactorRoundTrip(queue, 10ms);
    timer->setTimer(10s);
    timer->resume();
    reactorRoundTrip(queue);
    EXPECT_EQ(fires.load(), 2);
    cancelAndWait(timer, queue);
}

// Each fires once, never early, in deadline order.
TEST(TimerSource, TimersFireOnceInDeadlineOrderNeverEarly) {
    auto queue = makeSerialQueue("timers");
    std::vector<SourcePtr> timers;
    std::vector<int> order, early;  // touched on the queue only
    const auto start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        const auto deadline = start + std::chrono::milliseconds(50 + (49 - i) * 2);
        timers.push_back(Source::makeTimer(queue));
        timers.back()->setEventHandler([&order, &early, i, deadline] {
            if (Clock::now() < deadline) early.push_back(i);
            order.push_back(i);
        });
        timers.back()->setTimer(deadline - Clock::now());
        timers.back()->resume();
    }
    reactorRoundTrip(queue, 300ms);
    std::vector<int> expected(50);
    std::iota(expected.rbegin(), expected.rend(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(early, std::vector<int>{});
    timers.clear();  // dropped uncancelled: unregistered quietly
}

}  // namespace
}  // namespace pavonix::dispatch
