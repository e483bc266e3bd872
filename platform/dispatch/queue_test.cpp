#include <dirent.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/testing/wait_until.h"

namespace pavonix::dispatch {
namespace {

using namespace std::chrono_literals;

using testing::waitUntil;

int threadCount() {
    int n = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.') ++n;
        closedir(dir);
    }
    return n;
}

TEST(SerialQueue, ItemsNeverOverlapAndKeepEachThreadsOrder) {
    auto queue = makeSerialQueue("order");
    constexpr int kThreads = 4, kItems = 5000;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0};
    std::vector<int> last(kThreads, -1);  // touched only by the queue's items
    int outOfOrder = 0;
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                queue->async([&, t, i] {
                    if (inside.exchange(true)) ++overlaps;
                    if (i != last[t] + 1) ++outOfOrder;
                    last[t] = i;
                    inside.store(false);
                });
            }
        });
    }
    for (auto& p : producers) p.join();
    queue->sync([] {});
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(outOfOrder, 0);
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(last[t], kItems - 1);
}

TEST(SerialQueue, TargetedQueuesRunAsItemsOfTheirTarget) {
    auto target = makeSerialQueue("target");
    std::vector<QueuePtr> children;
    for (int i = 0; i < 8; ++i) children.push_back(makeSerialQueue("child", target));
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0}, ran{0};
    auto item = [&] {
        if (inside.exchange(true)) ++overlaps;
        std::this_thread::yield();
        inside.store(false);
        ++ran;
    };
    for (int round = 0; round < 200; ++round) {
        target->async(item);
        for (auto& c : children) c->async(item);
    }
    ASSERT_TRUE(waitUntil([&] { return ran.load() == 200 * 9; }));
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(SerialQueue, SyncReturnsAfterItsBlockAndSeesTheQueuesValues) {
    static const int key = 0;
    auto target = makeSerialQueue("target");
    auto queue = makeSerialQueue("socket", target);
    target->setSpecific(&key, std::make_shared<int>(7));
    EXPECT_EQ(Queue::currentSpecific(&key), nullptr);  // off any queue

    // Queued work ahead of the sync runs first; the block has run when sync returns.
    std::vector<int> seen;
    queue->async([&] {
        std::this_thread::sleep_for(20ms);
        seen.push_back(1);
    });
    int specific = 0;
    bool current = false, targetCurrent = false;
    queue->sync([&] {
        seen.push_back(2);
        auto v = Queue::currentSpecific(&key);  // found through the target
        specific = v ? *static_cast<int*>(v.get()) : -1;
        current = queue->isCurrent();
        targetCurrent = target->isCurrent();
    });
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_EQ(specific, 7);
    EXPECT_TRUE(current);
    EXPECT_TRUE(targetCurrent);
    EXPECT_FALSE(queue->isCurrent());

    // An own value shadows the target's; a null value removes it again.
    queue->setSpecific(&key, std::make_shared<int>(9));
    EXPECT_EQ(*static_cast<int*>(queue->getSpecific(&key).get()), 9);
    queue->setSpecific(&key, nullptr);
    EXPECT_EQ(*static_cast<int*>(queue->getSpecific(&key).get()), 7);
}

using SerialQueueDeathTest = ::testing::Test;

TEST(SerialQueueDeathTest, SyncOntoTheCurrentQueueOrItsTargetAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = makeSerialQueue("self");
    EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }), "Precondition failed: Queue::sync onto");
    auto target = makeSerialQueue("target");
    auto child = makeSerialQueue("child", target);
    EXPECT_DEATH(child->sync([&] { target->sync([] {}); }), "Precondition failed: Queue::sync onto");
    // A waits in sync for a busy B, whose worker then runs the block: it must not sync onto A.
    auto a = makeSerialQueue("a");
    auto b = makeSerialQueue("b");
    EXPECT_DEATH(
        {
            b->async([] { std::this_thread::sleep_for(20ms); });
            a->sync([&] { b->sync([&] { a->sync([] {}); }); });
        },
        "Precondition failed: Queue::sync onto");
    // Nor may an item of the target sync onto a queue that targets it: that queue needs the target.
    EXPECT_DEATH(target->sync([&] { child->sync([] {}); }), "Precondition failed: Queue::sync onto");
}

TEST(SerialQueue, AfterRunsNoEarlierThanItsDelay) {
    auto queue = makeSerialQueue("after");
    std::atomic<int> ran{0};
    Clock::time_point ranAt[3];
    const auto start = Clock::now();
    queue->after(60ms, [&] { ranAt[2] = Clock::now(); ++ran; });
    queue->after(20ms, [&] { ranAt[0] = Clock::now(); ++ran; });
    queue->after(40ms, [&] { ranAt[1] = Clock::now(); ++ran; });
    ASSERT_TRUE(waitUntil([&] { return ran.load() == 3; }));
    queue->sync([] {});
    EXPECT_GE(ranAt[0] - start, 20ms);
    EXPECT_GE(ranAt[1] - start, 40ms);
    EXPECT_GE(ranAt[2] - start, 60ms);
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

TEST(SerialQueue, PoolGrowsWhenEveryWorkerWaitsInSync) {
    setMainThread();
    // More items than workers, each waiting in sync for the main queue, which this thread does
    // not drain yet. Another queue must still get a worker.
    constexpr int kBlocked = 24;
    std::vector<QueuePtr> queues;
    std::atomic<int> done{0};
    for (int i = 0; i < kBlocked; ++i) {
        queues.push_back(makeSerialQueue("blocked"));
        queues.back()->async([&] {
            mainQueue()->sync([] {});
            ++done;
        });
    }
    std::atomic<bool> free{false};
    auto other = makeSerialQueue("other");
    other->async([&] { free = true; });
    EXPECT_TRUE(waitUntil([&] { return free.load(); }));
    EXPECT_TRUE(runMainQueue([&] { return done.load() == kBlocked; }));
}

TEST(GlobalQueue, BlockingWorkDelaysNeitherSerialQueuesNorTimers) {
    // Every job waits until all have started: only possible when none waits behind another.
    constexpr int kJobs = 32;
    std::atomic<int> started{0}, finished{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < kJobs; ++i) {
        globalQueue()->async([&] {
            ++started;
            while (!release) std::this_thread::sleep_for(1ms);
            ++finished;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return started.load() == kJobs; }));
    std::atomic<bool> serialRan{false}, timerRan{false};
    auto queue = makeSerialQueue("serial");
    queue->async([&] { serialRan = true; });
    queue->after(10ms, [&] { timerRan = true; });
    EXPECT_TRUE(waitUntil([&] { return serialRan.load() && timerRan.load(); }, 2s));
    release = true;
    ASSERT_TRUE(waitUntil([&] { return finished.load() == kJobs; }));
}

TEST(MainQueue, RunsInOrderOnTheMainThreadAndCallsThePoster) {
    setMainThread();
    std::atomic<int> posts{0};
    setMainQueuePoster([&] { ++posts; });
    std::vector<int> order;
    bool onMain = true;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            MainExecutor::post([&, i] {
                order.push_back(i);
                onMain = onMain && isMainThread() && mainQueue()->isCurrent();
            });
    });
    producer.join();
    EXPECT_EQ(posts.load(), 100);
    EXPECT_EQ(drainMainQueue(), 100u);
    setMainQueuePoster(nullptr);
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(order[i], i);
    EXPECT_TRUE(onMain);
    EXPECT_EQ(drainMainQueue(), 0u);

    // Items posted while draining wait for the next drain (Qt's loop stays responsive).
    int nested = 0;
    mainQueue()->async([&] { mainQueue()->async([&] { ++nested; }); });
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(nested, 1);

    // sync from another thread runs on the main thread once it drains.
    std::atomic<bool> synced{false};
    std::thread syncer([&] {
        bool ranOnMain = false;
        mainQueue()->sync([&] { ranOnMain = isMainThread(); });
        synced = ranOnMain;
    });
    EXPECT_TRUE(runMainQueue([&] { return synced.load(); }));
    syncer.join();
    EXPECT_FALSE(runMainQueue([] { return false; }, 20ms));
}

TEST(MainQueueDeathTest, SyncFromTheMainThreadAndDrainingOffItAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setMainThread();
    EXPECT_DEATH(mainQueue()->sync([] {}), "Precondition failed: Queue::sync onto");
    EXPECT_DEATH(std::thread([] { drainMainQueue(); }).join(),
                 "Precondition failed: The main queue is drained off the main thread");
}

}  // namespace
}  // namespace pavonix::dispatch
