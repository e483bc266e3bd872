#include "app/views/welcome/welcome_permissions_model.h"

#include "app/views/testing/views_test_support.h"

namespace pavonix {
namespace {

using State = WelcomePermissionGrantState;
using P = WelcomePermission;
using namespace std::chrono_literals;
using testing::HeldProbes;
using testing::settle;

class WelcomePermissionsModelTest : public ::testing::Test {
protected:
    void TearDown() override {
        model.reset();
        probes->answer(false);
    }

    // One polling period passes.
    void tick() {
        ASSERT_EQ(ticks.size(), 1u) << "the polling loop keeps exactly one tick pending";
        auto next = std::move(ticks.front());
        ticks.clear();
        next();
        settle();
    }
    std::vector<State> states() const {
        std::vector<State> out;
        for (const auto& item : model->items()) out.push_back(item.state);
        return out;
    }

    std::shared_ptr<HeldProbes> probes = std::make_shared<HeldProbes>();
    // A time-out far beyond any test: held answers stay held.
    std::shared_ptr<LanternpostPermissionAuthorizer> authorizer =
        std::make_shared<LanternpostPermissionAuthorizer>(probes, std::chrono::hours(1));
    std::vector<std::function<void()>> ticks;
    std::unique_ptr<WelcomePermissionsModel> model = std::make_unique<WelcomePermissionsModel>(
        authorizer, [this](std::chrono::milliseconds delay, std::function<void()> tick) {
            EXPECT_EQ(delay, 2000ms);
            ticks.push_back(std::move(tick));
        });
    WelcomePermissionsModel& m = *model;
};

const std::vector<State> settledStates{State::granted, State::granted, State::unavailable, State::unavailable};

TEST_F(WelcomePermissionsModelTest, StartsCheckingAndAppliesOnlyAWholeCurrentRead) {
    const std::vector<State> checking(4, State::checking);
    EXPECT_EQ(states(), checking);

    // The read stops at the first permission until the display answers: nothing partial shows.
    settle();
    m.refresh();  // the first read is now stale
    settle();
    ASSERT_EQ(probes->asked, 2);
    probes->answer(true, /*all=*/false);  // the stale read's answer must not fill in the rows
    EXPECT_EQ(states(), checking);
    EXPECT_TRUE(m.isChecking());

    int changes = 0;
    auto observation = m.observeItems([&] { ++changes; });
    probes->answer(true);
    EXPECT_EQ(states(), settledStates);
    EXPECT_FALSE(m.isChecking());
    EXPECT_FALSE(m.isRefreshing());
    EXPECT_EQ(changes, 4);
}

TEST_F(WelcomePermissionsModelTest, PollingRereadsUntilSettledThenGoesQuiet) {
    probes->answer(false);  // no display yet
    ASSERT_EQ(m.items()[0].state, State::notDetermined);

    tick();
    EXPECT_EQ(probes->asked, 2) << "an unsettled row is read again";
    probes->answer(true);  // the display came up meanwhile
    EXPECT_EQ(states(), settledStates);

    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(probes->asked, 2) << "settled rows are not read again";
    EXPECT_FALSE(m.isRefreshing());
}

// The reads of one refresh may take longer than the polling period (a display slow to answer).
// Restarting the read at every tick would never let one finish: the rows would stay "checking"
// and every button disabled. A read under way is left to finish instead.
TEST_F(WelcomePermissionsModelTest, ReadsSlowerThanThePeriodStillSettle) {
    for (int i = 0; i < 5; ++i) tick();
    EXPECT_EQ(probes->asked, 1) << "no new read while one is under way";
    EXPECT_TRUE(m.isChecking());

    probes->answer(false);
    EXPECT_FALSE(m.isChecking());
    EXPECT_EQ(m.items()[0].state, State::notDetermined);

    // Only a read that stays out far beyond any probe time-out is taken as lost and restarted.
    tick();
    ASSERT_EQ(probes->asked, 2);
    for (int i = 1; i < WelcomePermissionsModel::ticksBeforeRestartingARead; ++i) tick();
    EXPECT_EQ(probes->asked, 2);
    tick();
    EXPECT_EQ(probes->asked, 3);
}

TEST_F(WelcomePermissionsModelTest, RequestsRunOneAtATimeThenRereadOnce) {
    probes->answer(false);
    ASSERT_EQ(m.items()[0].state, State::notDetermined);

    m.request({});
    EXPECT_FALSE(m.isRequesting() || m.isRefreshing()) << "an empty request does nothing, not even a read";

    m.request({P::accessibility});
    EXPECT_TRUE(m.isRequesting());
    EXPECT_EQ(m.items()[0], (WelcomePermissionItem{P::accessibility, State::checking, true}));

    m.request({P::localNetwork});  // ignored while the first runs
    settle();
    EXPECT_FALSE(m.items()[1].isRequesting);
    EXPECT_FALSE(probes->granted);

    const int askedBefore = probes->asked;
    tick();
    tick();  // no polling read during a request

    probes->answer(true);
    EXPECT_FALSE(m.isRequesting());
    EXPECT_TRUE(m.isRefreshing());
    EXPECT_EQ(probes->asked, askedBefore + 1) << "the finished request starts exactly one read, and only it";
    EXPECT_EQ(m.items()[0], (WelcomePermissionItem{P::accessibility, State::granted, false}));

    m.request({P::localNetwork, P::keynoteAutomation});
    settle();
    EXPECT_TRUE(probes->granted);
    EXPECT_FALSE(m.isRequesting());
    probes->answer(true);
    EXPECT_EQ(states(), settledStates);
}

TEST_F(WelcomePermissionsModelTest, AnswersAfterTheModelIsGoneAreDropped) {
    settle();
    model.reset();
    probes->answer(true);  // must not touch the destroyed model
    ASSERT_EQ(ticks.size(), 1u);
    ticks.front()();  // nor may a late tick
    EXPECT_EQ(probes->asked, 1);
}

}  // namespace
}  // namespace pavonix
