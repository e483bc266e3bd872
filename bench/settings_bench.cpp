// Settings reads, write bursts and saves. Targets: a read under 100 ns; 10,000 writes of one key
// in a burst under 50 ms of the writer's time (persisting happens later, on the flush queue); one
// save of one change to a file of 100 paired devices (lock, read again, merge, write, sync) under
// 5 ms on tmpfs, where the disk's own sync time is left out.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/settings/settings_keys.h"
#include "platform/dispatch/dispatch.h"
#include "settings_store/testing/temporary_settings.h"

namespace {

using namespace pavonix;

// One store in a temporary folder, saving in the background as the program does, with the
// program's defaults registered as at launch.
struct Fixture : pavonix::testing::TemporarySettings {
    Fixture() : TemporarySettings(defaults::Options{}, "pavonix-settings-bench") {
        settings::registerDefaults(defaults());
    }
};

void BM_ReadStoredBool(benchmark::State& state) {
    Fixture fixture;
    fixture.store().setValue(settings::httpEnabled, false);
    for (auto _ : state) benchmark::DoNotOptimize(fixture.store().value(settings::httpEnabled));
}
BENCHMARK(BM_ReadStoredBool);

void BM_ReadStoredInt(benchmark::State& state) {
    Fixture fixture;
    fixture.store().setValue(settings::httpPort, std::int64_t{9000});
    for (auto _ : state) benchmark::DoNotOptimize(fixture.store().value(settings::httpPort));
}
BENCHMARK(BM_ReadStoredInt);

void BM_ReadDefault(benchmark::State& state) {
    Fixture fixture;
    for (auto _ : state) benchmark::DoNotOptimize(fixture.store().value(settings::oscPort));
}
BENCHMARK(BM_ReadDefault);

void BM_ReadStoredString(benchmark::State& state) {
    Fixture fixture;
    fixture.store().setValue(settings::pavonixName, std::string("Stage left presenter laptop"));
    for (auto _ : state) benchmark::DoNotOptimize(fixture.store().value(settings::pavonixName));
}
BENCHMARK(BM_ReadStoredString);

// Ten paired devices: every read decodes ten JSON texts.
void BM_ReadPairedDevices(benchmark::State& state) {
    Fixture fixture;
    std::vector<HTTPPairedDevice> devices;
    for (int i = 0; i < 10; ++i) devices.push_back({"lpp_device" + std::to_string(i), "Phone", dateNow()});
    fixture.store().setValue(settings::httpPairedDevices, devices);
    for (auto _ : state) benchmark::DoNotOptimize(fixture.store().value(settings::httpPairedDevices));
}
BENCHMARK(BM_ReadPairedDevices);

// 10,000 writes of one key, each a change; argument 1 adds a subscriber, whose reports are
// drained from the main queue outside the timed region.
void BM_WriteBurst10000(benchmark::State& state) {
    dispatch::setMainThread();
    Fixture fixture;
    SettingsStore::Subscription subscription;
    std::int64_t told = 0;
    if (state.range(0) == 1) {
        subscription = fixture.store().observe(settings::httpPort, [&](std::int64_t) { ++told; });
    }
    std::int64_t next = 0;
    for (auto _ : state) {
        for (int i = 0; i < 10000; ++i) fixture.store().setValue(settings::httpPort, ++next);
        state.PauseTiming();
        dispatch::drainMainQueue();
        state.ResumeTiming();
    }
    state.counters["told"] = benchmark::Counter(static_cast<double>(told), benchmark::Counter::kAvgIterations);
    if (!fixture.defaults().flush()) state.SkipWithError("the settings file could not be written");
}
BENCHMARK(BM_WriteBurst10000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// One change saved as the flush queue saves it, into a file that holds `range(0)` paired devices.
void BM_SaveOneChange(benchmark::State& state) {
    pavonix::testing::TemporarySettings settings(pavonix::testing::TemporarySettings::savedOnFlush(),
                                                 "/dev/shm/pavonix-settings-bench");
    std::vector<HTTPPairedDevice> devices;
    for (int i = 0; i < state.range(0); ++i) devices.push_back({"lpp_device" + std::to_string(i), "Phone", dateNow()});
    settings.store().setValue(settings::httpPairedDevices, devices);
    std::int64_t next = 0;
    for (auto _ : state) {
        settings.store().setValue(settings::httpPort, ++next);
        if (!settings.defaults().flush()) state.SkipWithError("the settings file could not be written");
    }
}
BENCHMARK(BM_SaveOneChange)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
