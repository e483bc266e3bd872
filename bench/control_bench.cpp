// Time from GoogleSlidesController::perform to the key arriving at the presentation window, under a
// private Xvfb with openbox (the program runs itself again under with_xvfb.sh, which starts them).
// The window is another X client that waits for the key press.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/control/google_slides_controller.h"
#include "platform/x11/xcb_window_system.h"
#include "platform/x11/testing/test_window.h"

namespace {

using namespace pavonix;
using Clock = std::chrono::steady_clock;
using x11::testing::TestWindow;

struct Scene {
    std::string display = std::getenv("PAVONIX_XVFB");
    std::string error;
    std::shared_ptr<x11::XcbWindowSystem> system = std::make_shared<x11::XcbWindowSystem>(display);
    std::unique_ptr<TestWindow> deck = std::make_unique<TestWindow>(display, TestWindow::Options{.netWmName = "Deck - Google Slides"});
    std::unique_ptr<TestWindow> other = std::make_unique<TestWindow>(display, TestWindow::Options{.netWmName = "Terminal"});

    Scene() {
        if (!deck->waitUntilManaged() || !other->waitUntilManaged()) error = "windows not managed";
    }
    bool ready() const { return error.empty(); }
};

Scene& scene() {
    static Scene s;
    return s;
}

// Times perform() until the key press has arrived, once per iteration, and reports the median.
// With `switchFocus`, another window takes the focus before each command, so the time includes
// asking the window manager to move it back and waiting for that.
void measurePerform(benchmark::State& state, bool switchFocus) {
    Scene& s = scene();
    if (!s.ready()) {
        state.SkipWithError(("X server unavailable: " + s.error).c_str());
        return;
    }
    auto id = static_cast<std::int64_t>(s.deck->id());
    GoogleSlidesController controller(s.system, [id] { return id; });
    if (!switchFocus) {
        controller.perform(PresentationCommand::showNext(), "Deck");  // takes the focus once
        s.deck->waitForKeyPresses(1);
    }
    std::vector<double> samples;
    for (auto _ : state) {
        if (switchFocus) s.system->activate(s.other->id(), std::chrono::seconds(2));
        s.deck->clearKeys();
        auto start = Clock::now();
        auto result = controller.perform(PresentationCommand::showNext(), "Deck");
        bool arrived = result.isOK() && s.deck->waitForKeyPresses(1);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!arrived) {
            state.SkipWithError(("key did not arrive: " + result.message).c_str());
            break;
        }
        state.SetIterationTime(seconds);
        samples.push_back(seconds);
    }
    if (samples.empty()) return;
    std::nth_element(samples.begin(), samples.begin() + static_cast<long>(samples.size() / 2), samples.end());
    state.counters["median_ms"] = samples[samples.size() / 2] * 1e3;
}

// The command sent to the window that already has the focus: no focus wait at all.
void BM_PerformToKeyArrival(benchmark::State& state) { measurePerform(state, false); }
BENCHMARK(BM_PerformToKeyArrival)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.0);

// Another window has the focus first.
void BM_PerformWithFocusSwitch(benchmark::State& state) { measurePerform(state, true); }
BENCHMARK(BM_PerformWithFocusSwitch)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(200);

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("PAVONIX_XVFB")) {
        std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        std::vector<char*> args{const_cast<char*>("bash"), const_cast<char*>(PAVONIX_WITH_XVFB), self.data()};
        args.insert(args.end(), argv + 1, argv + argc);
        args.push_back(nullptr);
        execvp("bash", args.data());
        std::perror("bash");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
