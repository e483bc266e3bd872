#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/testing/wait_until.h"

namespace pavonix::dispatch {
namespace {

using namespace std::chrono_literals;

using testing::waitUntil;

void drain(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
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

// Waits until `items`, touched on `queue` only, holds `count` entries.
template <class T>
bool waitForSize(const QueuePtr& queue, const std::vector<T>& items, std::size_t count) {
    return waitUntil([&] {
        std::size_t n = 0;
        queue->sync([&] { n = items.size(); });
        return n >= count;
    });
}

struct Pair {
    explicit Pair(int type = SOCK_STREAM) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
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
    int a, b;
};

TEST(Source, StartsSuspendedThenIsLevelTriggeredWithOneFireAtATime) {
    Pair pair;
    pair.send("0123456789");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::vector<std::string> events;  // touched on the queue only
    source->setEventHandler([&] {
        events.push_back("fire " + std::to_string(source->data()));
        if (events.size() == 1) {
            // The descriptor stays readable meanwhile; no second fire may be queued before this.
            queue->async([&] { events.push_back("marker"); });
            reactorRoundTrip(globalQueue());
        }
        if (events.size() == 4) source->suspend();  // no fire after this one
    });
    source->suspend();  // count 2
    source->resume();   // count 1: still suspended, as from creation
    reactorRoundTrip(queue);
    EXPECT_TRUE(events.empty());
    source->resume();
    ASSERT_TRUE(waitForSize(queue, events, 4));
    reactorRoundTrip(queue);
    EXPECT_EQ(events, (std::vector<std::string>{"fire 10", "marker", "fire 10", "fire 10"}));
    cancelAndWait(source, queue);
}

TEST(Source, CancelHandlerRunsOnceOnTheQueueAfterTheLastEvent) {
    Pair pair;
    pair.send("data");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<int> fires{0}, cancels{0};
    std::atomic<bool> eventAfterCancel{false}, onQueue{false};
    source->setEventHandler([&] {
        if (source->isCancelled()) eventAfterCancel = true;
        if (++fires == 2) source->cancel();
    });
    source->setCancelHandler([&] { onQueue = ++cancels == 1 && queue->isCurrent(); });
    source->resume();
    ASSERT_TRUE(waitUntil([&] { return cancels.load() == 1; }));
    source->cancel();  // a second cancel changes nothing
    reactorRoundTrip(queue);
    EXPECT_EQ(fires.load(), 2);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_FALSE(eventAfterCancel.load());
    EXPECT_TRUE(onQueue.load());

    // Cancelled while suspended: the cancel handler waits for the count to reach 0.
    auto writer = Source::makeWrite(pair.a, queue);
    writer->setCancelHandler([&] { ++cancels; });
    writer->cancel();
    reactorRoundTrip(queue);
    EXPECT_EQ(cancels.load(), 1);
    writer->resume();
    EXPECT_TRUE(waitUntil([&] { return cancels.load() == 2; }));
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
    struct Case {
        const char* name;
        int type;
        std::function<void(Pair&, const QueuePtr&)> act;
        long data;
        int readError;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair pair(c.type);
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
        c.act(pair, queue);
        ASSERT_TRUE(waitUntil([&] { return data.load() >= 0; }));
        EXPECT_EQ(data.load(), c.data);
        EXPECT_EQ(readError.load(), c.readError);
        cancelAndWait(source, queue);
    }
}

TEST(Source, ReadAndWriteSourcesShareOneDescriptor) {
    Pair pair;
    auto queue = makeSerialQueue("src");
    auto reader = Source::makeRead(pair.a, queue);
    auto writer = Source::makeWrite(pair.a, queue);
    std::atomic<int> reads{0}, writes{0};
    reader->setEventHandler([&] {
        drain(pair.a);
        ++reads;
    });
    writer->setEventHandler([&] {
        ++writes;
        writer->suspend();  // writable until the buffer fills: once per resume
    });
    reader->resume();
    writer->resume();
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 1; }));
    pair.send("ping");
    ASSERT_TRUE(waitUntil([&] { return reads.load() == 1; }));
    writer->resume();  // the read fire must not have dropped the write interest
    ASSERT_TRUE(waitUntil([&] { return writes.load() == 2; }));
    writer->cancel();
    pair.send("pong");  // nor the writer's leaving the read interest
    ASSERT_TRUE(waitUntil([&] { return reads.load() == 2; }));
    cancelAndWait(reader, queue);
}

TEST(TimerSource, AReSetMovesTheDeadlineAndDropsAFireHeldBySuspension) {
    auto queue = makeSerialQueue("timer");
    auto timer = Source::makeTimer(queue);
    std::vector<Clock::time_point> fires;  // touched on the queue only
    timer->setEventHandler([&] { fires.push_back(Clock::now()); });
    // Later: the first fire comes at the new deadline, none at the old one.
    const auto start = Clock::now();
    timer->setTimer(50ms);
    timer->setTimer(150ms);
    timer->resume();
    ASSERT_TRUE(waitForSize(queue, fires, 1));
    EXPECT_GE(fires[0] - start, 150ms);
    timer->setTimer(10s);
    timer->setTimer(10ms);  // earlier
    ASSERT_TRUE(waitForSize(queue, fires, 2));

    // A fire of the old deadline, held while suspended, is dropped by a re-set.
    timer->suspend();
    timer->setTimer(1ms);
    reactorRoundTrip(queue, 10ms);
    timer->setTimer(10s);
    timer->resume();
    reactorRoundTrip(queue);
    EXPECT_EQ(fires.size(), 2u);
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
