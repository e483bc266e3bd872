#include "app/control/lanternpost_permission_authorizer.h"

#include <atomic>

#include "platform/dispatch/dispatch.h"

namespace pavonix {

namespace {

using State = WelcomePermissionGrantState;

// Delivers the first of several possible answers (the probe's or the time-out's) on the main
// thread, and drops the rest.
struct OneAnswer {
    explicit OneAnswer(LanternpostPermissionAuthorizer::Completion c) : completion(std::move(c)) {}

    void deliver(State state) {
        if (delivered.exchange(true)) return;
        dispatch::MainExecutor::post([c = std::move(completion), state] { c(state); });
    }

    std::atomic<bool> delivered{false};
    LanternpostPermissionAuthorizer::Completion completion;
};

}  // namespace

LanternpostPermissionAuthorizer::LanternpostPermissionAuthorizer(std::shared_ptr<PermissionProbes> probes,
                                                                 std::chrono::milliseconds probeTimeout)
    : probes_(std::move(probes)), probeTimeout_(probeTimeout) {}

void LanternpostPermissionAuthorizer::probeAccessibility(Completion completion) {
    auto answer = std::make_shared<OneAnswer>(std::move(completion));
    if (!probes_) {
        answer->deliver(State::notDetermined);
        return;
    }
    dispatch::globalQueue()->after(probeTimeout_, [answer] { answer->deliver(State::notDetermined); });
    try {
        probes_->probeKeyInjection([answer](bool reachable) {
            answer->deliver(reachable ? State::granted : State::notDetermined);
        });
    } catch (...) {
        answer->deliver(State::notDetermined);
    }
}

void LanternpostPermissionAuthorizer::currentState(WelcomePermission permission, Completion completion) {
    switch (permission) {
    case WelcomePermission::accessibility:
        probeAccessibility(std::move(completion));
        return;
    case WelcomePermission::localNetwork:
        // Linux has no such permission: nothing stands between the program and the local network.
        OneAnswer(std::move(completion)).deliver(State::granted);
        return;
    case WelcomePermission::keynoteAutomation:
    case WelcomePermission::powerPointAutomation:
        OneAnswer(std::move(completion)).deliver(State::unavailable);
        return;
    }
    OneAnswer(std::move(completion)).deliver(State::unavailable);
}

void LanternpostPermissionAuthorizer::request(WelcomePermission permission, Completion completion) {
    if (permission == WelcomePermission::localNetwork) {
        // Nothing on Linux asks about the local network. The request is kept in the settings as
        // the user's answer (Reset Onboarding forgets it); it changes nothing else.
        try {
            if (probes_) probes_->setLocalNetworkGranted(true);
        } catch (...) {
        }
        OneAnswer(std::move(completion)).deliver(State::granted);
        return;
    }
    // No prompt exists for the other permissions here: a request reads the state again.
    currentState(permission, std::move(completion));
}

}  // namespace pavonix
