// Throughput and latency of platform/dispatch: one serial queue under load, queue creation,
// cross-thread wake-ups and many timers. Targets (Release): at least 2 million items/s through
// one queue when batched; create + destroy a queue under 2 us; an idle queue under 512 bytes
// (bytes_per_queue counter); wake-up latency median under 50 us (p50_us counter).
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <malloc.h>
#include <thread>
#include <vector>

#include "platform/dispatch/dispatch.h"

using namespace pavonix::dispatch;
using namespace std::chrono_literals;

namespace {

void waitUntil(const std::atomic<bool>& flag) {
    while (!flag.load(std::memory_order_acquire)) std::this_thread::yield();
}

void setPercentiles(benchmark::State& state, std::vector<double>& samplesUs) {
    if (samplesUs.empty()) return;
    std::sort(samplesUs.begin(), samplesUs.end());
    state.counters["p50_us"] = samplesUs[samplesUs.size() / 2];
    state.counters["p99_us"] = samplesUs[samplesUs.size() * 99 / 100];
}

// Items pushed in batches by one thread, then waited for.
void BM_SerialQueueBatched(benchmark::State& state) {
    auto queue = makeSerialQueue("batched");
    const int batch = static_cast<int>(state.range(0));
    std::uint64_t counter = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) queue->async([&counter] { ++counter; });
        queue->sync([] {});
    }
    benchmark::DoNotOptimize(counter);
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_SerialQueueBatched)->Arg(1000)->Arg(10000)->UseRealTime();

// Items submitted one at a time from several threads at once onto one queue (the producers
// wait for the queue every 1024 items, which keeps the backlog bounded).
QueuePtr gShared;
void BM_SerialQueueAsyncFromThreads(benchmark::State& state) {
    if (state.thread_index() == 0) gShared = makeSerialQueue("shared");
    static std::atomic<std::uint64_t> counter{0};
    std::int64_t n = 0;
    for (auto _ : state) {
        gShared->async([] { counter.fetch_add(1, std::memory_order_relaxed); });
        if ((++n & 1023) == 0) gShared->sync([] {});
    }
    gShared->sync([] {});
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueAsyncFromThreads)->ThreadRange(1, 8)->UseRealTime();

// Round trips: each item waited for before the next (sync from several threads).
void BM_SerialQueueSyncFromThreads(benchmark::State& state) {
    static QueuePtr queue = makeSerialQueue("sync");
    std::uint64_t local = 0;
    for (auto _ : state) queue->sync([&local] { ++local; });
    benchmark::DoNotOptimize(local);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SerialQueueSyncFromThreads)->ThreadRange(1, 8)->UseRealTime();

void BM_QueueCreateDestroy(benchmark::State& state) {
    for (auto _ : state) {
        auto queue = makeSerialQueue("QueueTcpSocket");
        benchmark::DoNotOptimize(queue.get());
    }
    // Heap in use (malloc's own overhead included) per idle queue, plus the handle its owner keeps.
    constexpr int kQueues = 10000;
    std::vector<QueuePtr> queues;
    queues.reserve(kQueues);
    const auto before = mallinfo2().uordblks;
    for (int i = 0; i < kQueues; ++i) queues.push_back(makeSerialQueue("QueueTcpSocket"));
    const auto after = mallinfo2().uordblks;
    state.counters["bytes_per_queue"] = double(after - before) / kQueues + double(sizeof(QueuePtr));
}
BENCHMARK(BM_QueueCreateDestroy);

// A queue per received datagram: create, run one item, drop.
void BM_QueueCreateRunDestroy(benchmark::State& state) {
    std::atomic<std::uint64_t> ran{0};
    std::uint64_t sent = 0;
    for (auto _ : state) {
        auto queue = makeSerialQueue("QueueUdpSocket");
        queue->async([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        ++sent;
    }
    while (ran.load() != sent) std::this_thread::yield();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_QueueCreateRunDestroy)->UseRealTime();

// From async on this thread to the start of the item on a worker of an idle queue.
void BM_WakeUpLatency(benchmark::State& state) {
    auto queue = makeSerialQueue("wake");
    std::vector<double> samples;
    samples.reserve(100000);
    for (auto _ : state) {
        std::atomic<bool> done{false};
        Clock::time_point started;
        const auto sent = Clock::now();
        queue->async([&] {
            started = Clock::now();
            done.store(true, std::memory_order_release);
        });
        waitUntil(done);
        samples.push_back(std::chrono::duration<double, std::micro>(started - sent).count());
        state.PauseTiming();
        std::this_thread::sleep_for(50us);  // let the worker go back to sleep
        state.ResumeTiming();
    }
    setPercentiles(state, samples);
}
BENCHMARK(BM_WakeUpLatency)->Iterations(5000)->UseRealTime();

// From a write on a socket to the start of its read source's handler.
void BM_ReadSourceLatency(benchmark::State& state) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    auto source = Source::makeRead(fds[0], makeSerialQueue("reader"));
    std::atomic<bool> fired{false};
    Clock::time_point started;
    source->setEventHandler([&] {
        started = Clock::now();
        char buf[64];
        while (::read(fds[0], buf, sizeof buf) > 0) {
        }
        fired.store(true, std::memory_order_release);
    });
    source->resume();
    std::vector<double> samples;
    for (auto _ : state) {
        fired = false;
        const auto sent = Clock::now();
        if (::write(fds[1], "x", 1) != 1) break;
        waitUntil(fired);
        samples.push_back(std::chrono::duration<double, std::micro>(started - sent).count());
        state.PauseTiming();
        std::this_thread::sleep_for(50us);
        state.ResumeTiming();
    }
    setPercentiles(state, samples);
    std::atomic<bool> cancelled{false};
    source->setCancelHandler([&] {
        ::close(fds[0]);
        cancelled = true;
    });
    source->cancel();
    waitUntil(cancelled);
    ::close(fds[1]);
}
BENCHMARK(BM_ReadSourceLatency)->Iterations(5000)->UseRealTime();

// 1,000 armed timers, each re-set per iteration (the read and write time-outs of busy sockets).
void BM_ResetThousandTimers(benchmark::State& state) {
    auto queue = makeSerialQueue("timers");
    std::vector<SourcePtr> timers;
    for (int i = 0; i < 1000; ++i) {
        auto t = Source::makeTimer(queue);
        t->setEventHandler([] {});
        t->setTimer(std::chrono::seconds(60 + i));
        t->resume();
        timers.push_back(std::move(t));
    }
    int round = 0;
    for (auto _ : state) {
        ++round;
        for (int i = 0; i < 1000; ++i) timers[i]->setTimer(std::chrono::seconds(60 + (i * 7 + round) % 1000));
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    for (auto& t : timers) t->cancel();
}
BENCHMARK(BM_ResetThousandTimers)->UseRealTime();

// 1,000 timers armed 1 ms ahead and delivered.
void BM_FireThousandTimers(benchmark::State& state) {
    auto queue = makeSerialQueue("timers");
    std::atomic<int> fired{0};
    std::vector<SourcePtr> timers;
    for (int i = 0; i < 1000; ++i) {
        auto t = Source::makeTimer(queue);
        t->setEventHandler([&fired] { fired.fetch_add(1, std::memory_order_relaxed); });
        t->resume();
        timers.push_back(std::move(t));
    }
    for (auto _ : state) {
        fired = 0;
        for (auto& t : timers) t->setTimer(1ms);
        while (fired.load() != 1000) std::this_thread::yield();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
    for (auto& t : timers) t->cancel();
}
BENCHMARK(BM_FireThousandTimers)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
