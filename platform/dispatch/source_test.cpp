#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
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
    int a, b;
};

// Whether an epoll instance of this process watches `fd` (the "tfd:" lines of its fdinfo).
bool epollWatches(int fd) {
    bool found = false;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* e = readdir(dir)) {
        char link[64] = {};
        if (readlink((std::string("/proc/self/fd/") + e->d_name).c_str(), link, sizeof link - 1) < 0 ||
            std::string(link) != "anon_inode:[eventpoll]")
            continue;
        std::ifstream info(std::string("/proc/self/fdinfo/") + e->d_name);
        for (std::string line; std::getline(info, line);)
            if (line.rfind("tfd:", 0) == 0 && std::stoi(line.substr(4)) == fd) found = true;
    }
    closedir(dir);
    return found;
}

TEST(Source, StartsSuspendedAndSuspensionsNest) {
    Pair pair;
    pair.send("x");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<int> fires{0};
    source->setEventHandler([&] { ++fires; });
    source->suspend();  // count 2
    source->resume();   // count 1: still suspended, as from creation
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 0);
    source->resume();
    EXPECT_TRUE(waitUntil([&] { return fires.load() >= 1; }));
    cancelAndWait(source, queue);
}

TEST(SourceDeathTest, OverResumeAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pair pair;
    auto source = Source::makeRead(pair.a, makeSerialQueue("src"));
    source->resume();
    EXPECT_DEATH(source->resume(), "Precondition failed: Source::resume without a matching suspend");
    source->cancel();
}

TEST(Source, ReadSourceIsLevelTriggeredWithOneFireAtATime) {
    Pair pair;
    pair.send("0123456789");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::vector<std::string> events;  // touched on the queue only
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0}, fires{0};
    source->setEventHandler([&] {
        if (inside.exchange(true)) ++overlaps;
        events.push_back("fire " + std::to_string(source->data()));
        if (++fires == 1) {
            // The descriptor stays readable meanwhile; no second fire may be queued before this.
            queue->async([&] { events.push_back("marker"); });
            std::this_thread::sleep_for(30ms);
        }
        if (fires == 3) source->suspend();  // no fire after this one
        inside = false;
    });
    source->resume();
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 3; }));
    std::this_thread::sleep_for(30ms);
    queue->sync([] {});
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"fire 10", "marker", "fire 10", "fire 10"}));
}

TEST(Source, CancelHandlerRunsOnceOnTheQueueAfterTheLastEventOutOfEpoll) {
    Pair pair;
    pair.send("data");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<int> fires{0}, cancels{0};
    std::atomic<bool> cancelled{false}, eventAfterCancel{false}, onQueue{false}, watched{true};
    source->setEventHandler([&] {
        if (cancelled) eventAfterCancel = true;
        if (++fires == 2) {
            cancelled = true;
            source->cancel();
            std::this_thread::sleep_for(10ms);
        }
    });
    source->setCancelHandler([&, fd = pair.a] {
        ++cancels;
        onQueue = queue->isCurrent();
        watched = epollWatches(fd);
    });
    source->resume();
    ASSERT_TRUE(waitUntil([&] { return cancels.load() == 1; }));
    source->cancel();  // a second cancel changes nothing
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fires.load(), 2);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_FALSE(eventAfterCancel.load());
    EXPECT_TRUE(onQueue.load());
    EXPECT_FALSE(watched.load());

    // Cancelled while suspended: the cancel handler waits for the count to reach 0.
    auto writer = Source::makeWrite(pair.a, queue);
    writer->setCancelHandler([&] { ++cancels; });
    writer->cancel();
    std::this_thread::sleep_for(30ms);
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
    std::this_thread::sleep_for(30ms);
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

TEST(Source, StreamReportsZeroOnlyAtTheRealEnd) {
    Pair pair;
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::vector<std::size_t> seen;  // touched on the queue only
    source->setEventHandler([&] {
        seen.push_back(source->data());
        drain(pair.a);
        if (seen.back() == 0) source->cancel();
    });
    source->resume();

    // A wake-up whose bytes were taken before the handler ran is skipped, not taken for an end.
    std::atomic<bool> held{false}, release{false};
    queue->async([&] {
        held = true;
        while (!release) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(waitUntil([&] { return held.load(); }));
    pair.send("abc");
    std::this_thread::sleep_for(30ms);  // the fire is now queued behind the held item
    drain(pair.a);
    release = true;
    queue->sync([] {});
    pair.send("defg");
    ::shutdown(pair.b, SHUT_WR);
    ASSERT_TRUE(waitUntil([&] { return source->isCancelled(); }));
    queue->sync([] {});
    EXPECT_EQ(seen, (std::vector<std::size_t>{4, 0}));
}

TEST(Source, EmptyDatagramsResetsAndListeningSocketsCountPositive) {
    auto queue = makeSerialQueue("src");
    Pair pair(SOCK_DGRAM);
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<long> datagram{-1};
    source->setEventHandler([&] {
        datagram = long(source->data());
        drain(pair.a);
    });
    source->resume();
    ASSERT_EQ(::send(pair.b, "", 0, 0), 0);
    ASSERT_TRUE(waitUntil([&] { return datagram.load() >= 0; }));
    EXPECT_EQ(datagram.load(), 1);
    cancelAndWait(source, queue);

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto* sa = reinterpret_cast<sockaddr*>(&addr);
    ASSERT_TRUE(::bind(listener, sa, len) == 0 && ::listen(listener, 8) == 0 && ::getsockname(listener, sa, &len) == 0);
    auto accept = Source::makeRead(listener, queue);
    std::atomic<long> pending{-1};
    std::atomic<int> accepted{-1};
    accept->setEventHandler([&] {
        pending = long(accept->data());
        accepted = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        accept->suspend();
    });
    accept->setCancelHandler([listener] { ::close(listener); });
    accept->resume();
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, sa, len), 0);
    ASSERT_TRUE(waitUntil([&] { return accepted.load() >= 0; }));
    EXPECT_GT(pending.load(), 0);
    accept->cancel();
    accept->resume();

    // A reset is not an end of stream: it counts 1 and the reader's own read returns the error.
    const int conn = accepted;
    auto reader = Source::makeRead(conn, queue);
    std::atomic<long> available{-1};
    std::atomic<int> readError{0};
    reader->setEventHandler([&] {
        available = long(reader->data());
        char buf[8];
        readError = ::read(conn, buf, sizeof buf) < 0 ? errno : 0;
        reader->suspend();
    });
    reader->resume();
    linger abort{1, 0};
    ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(client);
    ASSERT_TRUE(waitUntil([&] { return available.load() >= 0; }));
    EXPECT_EQ(available.load(), 1);
    EXPECT_EQ(readError.load(), ECONNRESET);
    reader->cancel();
    reader->resume();
    queue->sync([] {});
    ::close(conn);
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
    EXPECT_FALSE(epollWatches(pair.a));
}

TEST(TimerSource, FiresOnceNeverEarlyAndResettingMovesIt) {
    auto queue = makeSerialQueue("timer");
    auto timer = Source::makeTimer(queue);
    std::atomic<int> fires{0};
    Clock::time_point firedAt{};
    timer->setEventHandler([&] {
        firedAt = Clock::now();
        ++fires;
    });
    auto start = Clock::now();
    timer->setTimer(40ms);
    timer->resume();
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 1; }));
    std::this_thread::sleep_for(60ms);
    queue->sync([] {});
    EXPECT_EQ(fires.load(), 1);
    EXPECT_GE(firedAt - start, 40ms);

    start = Clock::now();
    timer->setTimer(100ms);
    timer->setTimer(300ms);  // later: nothing at the old deadline
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(fires.load(), 1);
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 2; }));
    queue->sync([] {});
    EXPECT_GE(firedAt - start, 300ms);
    timer->setTimer(10s);
    timer->setTimer(10ms);  // earlier
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 3; }, 2s));

    // A fire while suspended arrives on resume, unless a re-set came first.
    timer->suspend();
    timer->setTimer(1ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 3);
    timer->resume();
    ASSERT_TRUE(waitUntil([&] { return fires.load() == 4; }));
    timer->suspend();
    timer->setTimer(1ms);
    std::this_thread::sleep_for(20ms);
    timer->setTimer(10s);
    timer->resume();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 4);
    cancelAndWait(timer, queue);
}

TEST(TimerSource, ManyTimersFireInDeadlineOrder) {
    auto queue = makeSerialQueue("timers");
    std::vector<SourcePtr> timers;
    std::vector<int> order;  // touched on the queue only
    const auto start = Clock::now();
    for (int i = 0; i < 50; ++i) {
        timers.push_back(Source::makeTimer(queue));
        timers.back()->setEventHandler([&order, i] { order.push_back(i); });
        timers.back()->setTimer(start + std::chrono::milliseconds(50 + (49 - i) * 2) - Clock::now());
        timers.back()->resume();
    }
    ASSERT_TRUE(waitUntil([&] {
        std::size_t n = 0;
        queue->sync([&] { n = order.size(); });
        return n == 50;
    }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], 49 - i);
    timers.clear();  // dropped uncancelled: unregistered quietly
}

}  // namespace
}  // namespace pavonix::dispatch
