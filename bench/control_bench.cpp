// Time from GoogleSlidesController::perform to the key arriving at the presentation window, under a
// private Xvfb with openbox. The window is another X client that waits for the key press.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "app/control/google_slides_controller.h"
#include "platform/x11/xcb_window_system.h"
#include "platform/x11/testing/xvfb_session.h"

namespace {

using namespace pavonix;
using Clock = std::chrono::steady_clock;
using x11::testing::TestWindow;

struct Scene {
    std::unique_ptr<x11::testing::XvfbSession> session;
    std::string error;
    std::shared_ptr<x11::XcbWindowSystem> system;
    std::unique_ptr<TestWindow> deck;
    std::unique_ptr<TestWindow> other;

    Scene() {
        session = x11::testing::XvfbSession::start(error);
        if (!session) return;
        system = std::make_shared<x11::XcbWindowSystem>(session->display());
        TestWindow::Options options;
        options.netWmName = "Deck - Google Slides";
        deck = std::make_unique<TestWindow>(session->display(), options);
        options.netWmName = "Terminal";
        other = std::make_unique<TestWindow>(session->display(), options);
        if (!deck->waitUntilManaged() || !other->waitUntilManaged()) error = "windows not managed";
    }
    bool ready() const { return session && error.empty(); }
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

BENCHMARK_MAIN();
