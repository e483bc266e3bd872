// The state of the four onboarding permissions behind the welcome screen: read once at creation,
// read again every 2 seconds until each one is granted or not installed, and requested one by one
// when the user asks. The authorizer does the reading and requesting; this model decides when to
// ask it, never runs two reads or two requests at once, and turns the answers into rows.
//
// Threads: the main thread only. The authorizer answers later, on the main thread; answers that
// arrive after this object is gone are dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/control/lanternpost_permission_authorizer.h"
#include "app/core/welcome_permission.h"
#include "app/model/observable_value.h"

namespace pavonix {

struct WelcomePermissionItem {
    WelcomePermission permission = WelcomePermission::accessibility;
    WelcomePermissionGrantState state = WelcomePermissionGrantState::checking;
    bool isRequesting = false;

    friend bool operator==(const WelcomePermissionItem&, const WelcomePermissionItem&) = default;
};

class WelcomePermissionsModel {
public:
    // Runs `tick` once, on the main thread, no earlier than `delay` from now.
    using Scheduler = std::function<void(std::chrono::milliseconds delay, std::function<void()> tick)>;

    static constexpr std::chrono::milliseconds pollingInterval{2000};
    // A read that has not come back after this long is taken as lost and started again. The
    // authorizer promises an answer within its own probe time-out, so this only guards against a
    // broken promise keeping the rows in "checking" for ever.
    static constexpr int ticksBeforeRestartingARead = 15;

    // Starts the first read and the polling at once. Without a scheduler the main queue's timer
    // is used.
    explicit WelcomePermissionsModel(std::shared_ptr<LanternpostPermissionAuthorizer> authorizer,
                                     Scheduler scheduler = {});
    ~WelcomePermissionsModel();
    WelcomePermissionsModel(const WelcomePermissionsModel&) = delete;
    WelcomePermissionsModel& operator=(const WelcomePermissionsModel&) = delete;

    const std::vector<WelcomePermissionItem>& items() const { return items_.get(); }
    bool isRequesting() const { return isRequesting_.get(); }
    // Some row still waits for its first answer (or for the answer to a request).
    bool isChecking() const;
    // A read of all four states is under way.
    bool isRefreshing() const { return refreshing_; }

    // Starts a read of all four states, dropping one under way. Its answers are applied together,
    // after the last one; a read that is superseded applies nothing.
    void refresh();
    // Requests the permissions in order, then reads all states again. Ignored for an empty list
    // and while a request runs.
    void request(const std::vector<WelcomePermission>& permissions);

    // Observers are told synchronously after each change.
    [[nodiscard]] Observation observeItems(std::function<void()> onChange);
    [[nodiscard]] Observation observeRequesting(std::function<void()> onChange);

private:
    void poll();
    void scheduleTick();
    void readNext(std::uint64_t generation, std::size_t index, std::shared_ptr<std::vector<WelcomePermissionGrantState>> answers);
    void cancelRefresh();
    void requestNext(std::shared_ptr<const std::vector<WelcomePermission>> permissions, std::size_t index);
    void finishRequest();
    void update(WelcomePermission permission, WelcomePermissionGrantState state, bool isRequesting);
    void setRequesting(WelcomePermission permission, bool isRequesting);
    bool isSettled() const;

    std::shared_ptr<LanternpostPermissionAuthorizer> authorizer_;
    Scheduler scheduler_;
    ObservableValue<std::vector<WelcomePermissionItem>> items_;
    ObservableValue<bool> isRequesting_{false};
    bool refreshing_ = false;
    int ticksWhileRefreshing_ = 0;
    std::uint64_t refreshGeneration_ = 0;
    // Answers hold this weakly: once the model is gone they do nothing.
    std::shared_ptr<WelcomePermissionsModel*> self_;
};

}  // namespace pavonix
