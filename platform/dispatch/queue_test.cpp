#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/testing/wait_until.h"

namespace pavonix::dispatch {
namespace {

using namespace std::chrono_literals;

using testing::waitUntil;

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
    EXPECT_EQ(overlaps.load() + outOfOrder.load() + offQueue.load() + syncReturnedEarly.load(), 0)
        << overlaps << " overlaps, " << outOfOrder << " out of order, " << offQueue << " off the queue, "
        << syncReturnedEarly << " syncs returned before their block";
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
    for (const auto& [misuse, text] : cases) {
        EXPECT_DEATH(misuse(), std::string("Precondition failed: ") + text);
    }
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

TEST(SerialQueue, PoolGrowsWhenEveryWorkerWaitsInSync) {
    setMainThread();
    // More items than workers, each waiting in sync for the main queue, which this thread does
    // not drain yet. Another queue must still get a worker.
    // The blocks run on the main thread once it drains.
    constexpr int kBlocked = 24;
    std::atomic<int> done{0};
    for (int i = 0; i < kBlocked; ++i) {
        makeSerialQueue("blocked")->async([&] {
            bool onMain = false;
            mainQueue()->sync([&] { onMain = isMainThread(); });
            done += onMain;
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
            EXPECT_TRUE(waitUntil([&] { return release.load(); }));
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

TEST(MainQueue, RunsInOrderWhenDrainedAndCallsThePosterForEachItem) {
    setMainThread();
    std::atomic<int> posts{0};
    setMainQueuePoster([&] { ++posts; });
    std::vector<int> order;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i) MainExecutor::post([&, i] { order.push_back(i); });
    });
    producer.join();
    EXPECT_EQ(posts.load(), 100);
    EXPECT_EQ(drainMainQueue(), 100u);
    setMainQueuePoster(nullptr);
    std::vector<int> expected(100);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);

    // Items posted while draining wait for the next drain (Qt's loop stays responsive).
    int nested = 0;
    mainQueue()->async([&] { mainQueue()->async([&] { ++nested; }); });
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(drainMainQueue(), 1u);
    EXPECT_EQ(nested, 1);
    EXPECT_FALSE(runMainQueue([] { return false; }, 20ms));
}

}  // namespace
}  // namespace pavonix::dispatch
