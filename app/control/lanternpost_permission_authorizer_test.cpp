#include "app/control/lanternpost_permission_authorizer.h"

#include <gtest/gtest.h>

#include "app/settings/settings_keys.h"
#include "platform/dispatch/testing/main_queue_scope.h"
#include "platform/x11/testing/recording_window_system.h"
#include "settings_store/testing/temporary_settings.h"

namespace pavonix {
namespace {

using State = WelcomePermissionGrantState;
using namespace std::chrono_literals;

// Probes whose display answer comes only when the test gives it.
struct HeldProbes final : PermissionProbes {
    void probeKeyInjection(Answer answer) override { held = std::move(answer); }
    void setLocalNetworkGranted(bool) override {}
    Answer held;
};

class PermissionAuthorizerTest : public ::testing::Test {
protected:
    // Runs the call, checks that it did not answer synchronously, then waits for the answer.
    template <class Call>
    std::optional<State> answer(Call call) {
        auto result = std::make_shared<std::optional<State>>();
        auto onMain = std::make_shared<bool>(false);
        call([result, onMain](State s) {
            *onMain = dispatch::isMainThread();
            *result = s;
        });
        EXPECT_FALSE(result->has_value()) << "answered before returning";
        dispatch::runMainQueue([&] { return result->has_value(); }, 2s);
        EXPECT_TRUE(!result->has_value() || *onMain) << "answered off the main thread";
        return *result;
    }

    std::shared_ptr<HeldProbes> probes = std::make_shared<HeldProbes>();
    LanternpostPermissionAuthorizer authorizer{probes, 300ms};
    testing::MainQueueScope mainQueue_;
};

TEST_F(PermissionAuthorizerTest, AProbeThatNeverAnswersTimesOutOnceAndLateAnswersAreDropped) {
    int calls = 0;
    authorizer.request(WelcomePermission::accessibility, [&](State s) {
        ++calls;
        EXPECT_EQ(s, State::notDetermined);
    });
    ASSERT_TRUE(dispatch::runMainQueue([&] { return calls == 1; }, 2s));
    probes->held(true);
    dispatch::runMainQueue([] { return false; }, 50ms);
    EXPECT_EQ(calls, 1);
}

// Local Network, which Linux never withholds, is granted before any request and the request is
// remembered in the setting; Accessibility follows the display, whose probe answers on another thread.
TEST_F(PermissionAuthorizerTest, TheProgramsProbesUseTheSettingAndTheWindowSystem) {
    testing::TemporarySettings temporary;
    auto windows = std::make_shared<x11::RecordingWindowSystem>();
    LanternpostPermissionAuthorizer real(makeSystemPermissionProbes(windows, temporary.store()));

    EXPECT_EQ(answer([&](auto c) { real.currentState(WelcomePermission::localNetwork, c); }), State::granted);
    EXPECT_EQ(answer([&](auto c) { real.request(WelcomePermission::localNetwork, c); }), State::granted);
    EXPECT_TRUE(temporary.store().value(settings::localNetworkPermissionGranted));

    EXPECT_EQ(answer([&](auto c) { real.currentState(WelcomePermission::accessibility, c); }), State::granted);
    windows->setUnavailable("No X display is available (DISPLAY is not set).");
    EXPECT_EQ(answer([&](auto c) { real.request(WelcomePermission::accessibility, c); }), State::notDetermined);
}

}  // namespace
}  // namespace pavonix
