#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"

namespace pavonix::dispatch {
namespace {

using namespace std::chrono_literals;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

struct Pair {
    Pair(int type = SOCK_STREAM) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~Pair() {
        if (a >= 0) ::close(a);
        if (b >= 0) ::close(b);
    }
    void send(const std::string& bytes) const { ASSERT_EQ(::write(b, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    int a, b;
};

// Whether any epoll instance of this process watches `fd` (from /proc/self/fdinfo).
bool epollWatches(int fd) {
    DIR* dir = opendir("/proc/self/fd");
    bool found = false;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        char link[256] = {};
        std::string path = std::string("/proc/self/fd/") + e->d_name;
        if (readlink(path.c_str(), link, sizeof link - 1) < 0 || std::string(link) != "anon_inode:[eventpoll]")
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
    auto source = Source::makeRead(pair.a, makeSerialQueue("src"));
    std::atomic<int> fires{0};
    source->setEventHandler([&] {
        ++fires;
        source->suspend();
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 0);
    source->suspend();  // count 2
    source->resume();   // count 1: still suspended
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 0);
    source->resume();
    EXPECT_TRUE(waitFor([&] { return fires.load() == 1; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 1);  // the handler's suspend stopped further fires
    source->cancel();
    source->resume();
}

TEST(SourceDeathTest, OverResumeAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Pair pair;
    EXPECT_DEATH(
        {
            auto source = Source::makeRead(pair.a, makeSerialQueue("src"));
            source->resume();
            source->resume();
        },
        "Precondition failed: Source::resume without a matching suspend");
}

TEST(Source, ReadSourceIsLevelTriggeredWithOneFireAtATime) {
    Pair pair;
    pair.send("0123456789");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::mutex m;
    std::vector<std::string> events;
    std::atomic<bool> inside{false};
    std::atomic<int> overlaps{0}, fires{0};
    source->setEventHandler([&] {
        if (inside.exchange(true)) ++overlaps;
        int n = ++fires;
        {
            std::lock_guard lock(m);
            events.push_back("fire " + std::to_string(source->data()));
        }
        if (n == 1) {
            // While this handler runs the descriptor stays readable; a second fire must not be
            // queued ahead of this marker.
            queue->async([&] {
                std::lock_guard lock(m);
                events.push_back("marker");
            });
            std::this_thread::sleep_for(30ms);
        }
        if (n == 3) source->suspend();
        inside.store(false);
    });
    source->resume();
    ASSERT_TRUE(waitFor([&] { return fires.load() == 3; }));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 3);
    EXPECT_EQ(overlaps.load(), 0);
    std::lock_guard lock(m);
    EXPECT_EQ(events, (std::vector<std::string>{"fire 10", "marker", "fire 10", "fire 10"}));
}

TEST(Source, CancelHandlerRunsOnceOnTheQueueAfterTheLastEventOutOfEpoll) {
    Pair pair;
    pair.send("data");
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<int> fires{0}, cancels{0};
    std::atomic<bool> eventAfterCancel{false}, onQueue{false}, watchedAtCancel{true};
    std::atomic<bool> cancelCalled{false};
    source->setEventHandler([&] {
        if (cancelCalled) eventAfterCancel = true;
        if (++fires == 2) {
            cancelCalled = true;
            source->cancel();
            std::this_thread::sleep_for(10ms);
        }
    });
    const int fd = pair.a;
    source->setCancelHandler([&, fd] {
        ++cancels;
        onQueue = queue->isCurrent();
        watchedAtCancel = epollWatches(fd);
    });
    source->resume();
    ASSERT_TRUE(waitFor([&] { return cancels.load() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(fires.load(), 2);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_FALSE(eventAfterCancel.load());
    EXPECT_TRUE(onQueue.load());
    EXPECT_FALSE(watchedAtCancel.load());
    EXPECT_TRUE(source->isCancelled());
    source->cancel();  // a second cancel changes nothing
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(cancels.load(), 1);
}

TEST(Source, CancelHandlerWaitsForTheSuspendCountToReachZero) {
    Pair pair;
    auto source = Source::makeWrite(pair.a, makeSerialQueue("src"));
    std::atomic<int> cancels{0};
    source->setCancelHandler([&] { ++cancels; });
    source->cancel();  // still suspended from creation
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(cancels.load(), 0);
    EXPECT_FALSE(epollWatches(pair.a));
    source->resume();
    EXPECT_TRUE(waitFor([&] { return cancels.load() == 1; }));
}

TEST(Source, ReusedDescriptorNumberNeverFiresTheOldSource) {
    auto queue = makeSerialQueue("src");
    auto* first = new Pair();
    const int number = first->a;
    auto oldSource = Source::makeRead(first->a, queue);
    std::atomic<int> oldFires{0}, newFires{0};
    oldSource->setEventHandler([&] { ++oldFires; });
    oldSource->resume();
    // The owner closes the descriptor without cancelling; the number comes back for a new socket.
    delete first;
    Pair second;
    ASSERT_TRUE(second.a == number || second.b == number);
    const int fd = second.a == number ? second.a : second.b;
    const int peer = fd == second.a ? second.b : second.a;
    auto newSource = Source::makeRead(fd, queue);
    newSource->setEventHandler([&] {
        ++newFires;
        char buf[16];
        while (::read(fd, buf, sizeof buf) > 0) {
        }
    });
    newSource->resume();
    ASSERT_EQ(::write(peer, "y", 1), 1);
    ASSERT_TRUE(waitFor([&] { return newFires.load() >= 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_LE(oldFires.load(), 1);  // at most the end-of-stream of the closed pair, before reuse
    int before = oldFires.load();
    ASSERT_EQ(::write(peer, "z", 1), 1);
    ASSERT_TRUE(waitFor([&] { return newFires.load() >= 2; }));
    EXPECT_EQ(oldFires.load(), before);
    oldSource->cancel();
    newSource->cancel();
}

TEST(Source, StreamReportsZeroOnlyAtTheRealEnd) {
    Pair pair;
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::mutex m;
    std::vector<std::size_t> seen;
    source->setEventHandler([&] {
        std::size_t n = source->data();
        {
            std::lock_guard lock(m);
            seen.push_back(n);
        }
        char buf[64];
        while (::read(pair.a, buf, sizeof buf) > 0) {
        }
        if (n == 0) source->cancel();
    });
    source->resume();

    // A wake-up whose bytes someone else took before the handler ran is skipped, not an end.
    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    queue->async([&] {
        held = true;
        while (!release) std::this_thread::sleep_for(1ms);
    });
    ASSERT_TRUE(waitFor([&] { return held.load(); }));
    pair.send("abc");
    std::this_thread::sleep_for(30ms);  // the reactor queues the fire behind the held item
    char buf[8];
    ASSERT_EQ(::read(pair.a, buf, sizeof buf), 3);
    release = true;
    queue->sync([] {});
    {
        std::lock_guard lock(m);
        EXPECT_TRUE(seen.empty());
    }
    pair.send("defg");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(m);
        return !seen.empty();
    }));
    ::shutdown(pair.b, SHUT_WR);
    ASSERT_TRUE(waitFor([&] { return source->isCancelled(); }));
    queue->sync([] {});
    std::lock_guard lock(m);
    EXPECT_EQ(seen, (std::vector<std::size_t>{4, 0}));
}

TEST(Source, EmptyDatagramIsNotAnEndAndListeningSocketsCountPositive) {
    Pair pair(SOCK_DGRAM);
    auto queue = makeSerialQueue("src");
    auto source = Source::makeRead(pair.a, queue);
    std::atomic<long> seen{-1};
    source->setEventHandler([&] {
        seen = long(source->data());
        char buf[8];
        ::recv(pair.a, buf, sizeof buf, 0);
        source->suspend();
    });
    source->resume();
    ASSERT_EQ(::send(pair.b, "", 0, 0), 0);
    ASSERT_TRUE(waitFor([&] { return seen.load() >= 0; }));
    EXPECT_EQ(seen.load(), 1);
    source->cancel();
    source->resume();

    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    auto accept = Source::makeRead(listener, queue);
    std::atomic<long> pending{-1};
    accept->setEventHandler([&] {
        pending = long(accept->data());
        int c = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) ::close(c);
    });
    accept->setCancelHandler([listener] { ::close(listener); });
    accept->resume();
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_TRUE(waitFor([&] { return pending.load() >= 0; }));
    EXPECT_GT(pending.load(), 0);
    ::close(client);
    accept->cancel();
}

TEST(Source, ReadAndWriteSourcesShareOneDescriptor) {
    Pair pair;
    auto queue = makeSerialQueue("src");
    auto reader = Source::makeRead(pair.a, queue);
    auto writer = Source::makeWrite(pair.a, queue);
    std::atomic<int> reads{0}, writes{0}, cancels{0};
    reader->setEventHandler([&] {
        char buf[16];
        while (::read(pair.a, buf, sizeof buf) > 0) {
        }
        ++reads;
    });
    writer->setEventHandler([&] {
        ++writes;
        writer->suspend();  // writable until the buffer fills: fire once
    });
    reader->setCancelHandler([&] { ++cancels; });
    writer->setCancelHandler([&] { ++cancels; });
    reader->resume();
    writer->resume();
    ASSERT_TRUE(waitFor([&] { return writes.load() == 1; }));
    pair.send("ping");
    ASSERT_TRUE(waitFor([&] { return reads.load() >= 1; }));
    writer->resume();  // the read registration must not have lost the write interest
    ASSERT_TRUE(waitFor([&] { return writes.load() == 2; }));
    writer->cancel();
    writer->resume();
    pair.send("pong");  // the reader keeps working after the writer left
    int before = reads.load();
    ASSERT_TRUE(waitFor([&] { return reads.load() > before; }));
    reader->cancel();
    ASSERT_TRUE(waitFor([&] { return cancels.load() == 2; }));
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
    ASSERT_TRUE(waitFor([&] { return fires.load() == 1; }));
    std::this_thread::sleep_for(60ms);
    queue->sync([] {});
    EXPECT_EQ(fires.load(), 1);
    EXPECT_GE(firedAt - start, 40ms);

    // Moved later: not at the old deadline.
    start = Clock::now();
    timer->setTimer(20ms);
    timer->setTimer(150ms);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(fires.load(), 1);
    ASSERT_TRUE(waitFor([&] { return fires.load() == 2; }));
    queue->sync([] {});
    EXPECT_GE(firedAt - start, 150ms);

    // Moved earlier: fires at the new deadline.
    start = Clock::now();
    timer->setTimer(10s);
    timer->setTimer(10ms);
    ASSERT_TRUE(waitFor([&] { return fires.load() == 3; }, 2s));

    // A fire while suspended is delivered on resume; a re-set before that drops it.
    timer->suspend();
    timer->setTimer(1ms);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 3);
    timer->resume();
    ASSERT_TRUE(waitFor([&] { return fires.load() == 4; }));
    timer->suspend();
    timer->setTimer(1ms);
    std::this_thread::sleep_for(20ms);
    timer->setTimer(10s);
    timer->resume();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(fires.load(), 4);

    std::atomic<int> cancels{0};
    timer->setCancelHandler([&] { ++cancels; });
    timer->cancel();
    ASSERT_TRUE(waitFor([&] { return cancels.load() == 1; }));
    EXPECT_EQ(fires.load(), 4);
}

TEST(TimerSource, ManyTimersFireInDeadlineOrder) {
    auto queue = makeSerialQueue("timers");
    std::vector<SourcePtr> timers;
    std::vector<int> order;  // touched on the queue only
    for (int i = 0; i < 50; ++i) {
        auto t = Source::makeTimer(queue);
        t->setEventHandler([&order, i] { order.push_back(i); });
        t->setTimer(std::chrono::milliseconds(5 + (49 - i) * 2));
        t->resume();
        timers.push_back(t);
    }
    ASSERT_TRUE(waitFor([&] {
        std::size_t n = 0;
        queue->sync([&] { n = order.size(); });
        return n == 50;
    }));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], 49 - i);
    timers.clear();  // dropped uncancelled: unregistered quietly
}

}  // namespace
}  // namespace pavonix::dispatch
