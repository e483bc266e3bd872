#include "app/views/welcome/welcome_permissions_model.h"

#include <algorithm>
#include <utility>

#include "platform/dispatch/dispatch.h"

namespace pavonix {

using State = WelcomePermissionGrantState;

namespace {

std::vector<WelcomePermissionItem> initialItems() {
    std::vector<WelcomePermissionItem> items;
    for (auto permission : allWelcomePermissions) items.push_back({permission, State::checking, false});
    return items;
}

}  // namespace

WelcomePermissionsModel::WelcomePermissionsModel(std::shared_ptr<LanternpostPermissionAuthorizer> authorizer,
                                                 Scheduler scheduler)
    : authorizer_(std::move(authorizer)),
      scheduler_(std::move(scheduler)),
      items_(initialItems()),
      self_(std::make_shared<WelcomePermissionsModel*>(this)) {
    if (!scheduler_) {
        scheduler_ = [](std::chrono::milliseconds delay, std::function<void()> tick) {
            dispatch::mainQueue()->after(delay, std::move(tick));
        };
    }
    refresh();
    scheduleTick();
}

WelcomePermissionsModel::~WelcomePermissionsModel() = default;

bool WelcomePermissionsModel::isChecking() const {
    return std::ranges::any_of(items(), [](const auto& item) { return item.state == State::checking; });
}

bool WelcomePermissionsModel::isSettled() const {
    return std::ranges::all_of(items(), [](const auto& item) {
        return item.state == State::granted || item.state == State::unavailable;
    });
}

Observation WelcomePermissionsModel::observeItems(std::function<void()> onChange) {
    return items_.observe([onChange = std::move(onChange)](const auto&) { onChange(); });
}

Observation WelcomePermissionsModel::observeRequesting(std::function<void()> onChange) {
    return isRequesting_.observe([onChange = std::move(onChange)](bool) { onChange(); });
}

// ---- Polling ----------------------------------------------------------------------------------

void WelcomePermissionsModel::scheduleTick() {
    std::weak_ptr<WelcomePermissionsModel*> weak = self_;
    scheduler_(pollingInterval, [weak] {
        auto self = weak.lock();
        if (!self) return;
        (*self)->poll();
        (*self)->scheduleTick();
    });
}

void WelcomePermissionsModel::poll() {
    if (isRequesting() || isSettled()) return;
    if (refreshing_) {
        // Reads may take longer than one period (the display can be slow to answer). Starting
        // over on every tick would then never let a read finish, leaving the rows, and with them
        // every button, in "checking" for good; so a read under way is left to finish.
        if (++ticksWhileRefreshing_ < ticksBeforeRestartingARead) return;
    }
    refresh();
}

// ---- Reading ----------------------------------------------------------------------------------

void WelcomePermissionsModel::cancelRefresh() {
    ++refreshGeneration_;
    refreshing_ = false;
    ticksWhileRefreshing_ = 0;
}

void WelcomePermissionsModel::refresh() {
    cancelRefresh();
    refreshing_ = true;
    readNext(refreshGeneration_, 0, std::make_shared<std::vector<State>>());
}

void WelcomePermissionsModel::readNext(std::uint64_t generation, std::size_t index,
                                       std::shared_ptr<std::vector<State>> answers) {
    constexpr std::size_t count = std::size(allWelcomePermissions);
    if (index == count) {
        refreshing_ = false;
        ticksWhileRefreshing_ = 0;
        for (std::size_t i = 0; i < count; ++i) update(allWelcomePermissions[i], (*answers)[i], false);
        return;
    }
    std::weak_ptr<WelcomePermissionsModel*> weak = self_;
    authorizer_->currentState(allWelcomePermissions[index], [weak, generation, index, answers](State state) {
        auto self = weak.lock();
        if (!self) return;
        WelcomePermissionsModel& model = **self;
        if (generation != model.refreshGeneration_) return;  // superseded: apply nothing at all
        answers->push_back(state);
        model.readNext(generation, index + 1, answers);
    });
}

// ---- Requesting -------------------------------------------------------------------------------

void WelcomePermissionsModel::request(const std::vector<WelcomePermission>& permissions) {
    // isRequesting turns true at once, so a second press before the first answer is refused too.
    if (permissions.empty() || isRequesting()) return;
    cancelRefresh();
    isRequesting_.set(true);
    requestNext(std::make_shared<const std::vector<WelcomePermission>>(permissions), 0);
}

void WelcomePermissionsModel::requestNext(std::shared_ptr<const std::vector<WelcomePermission>> permissions,
                                          std::size_t index) {
    if (index == permissions->size()) {
        finishRequest();
        return;
    }
    const WelcomePermission permission = (*permissions)[index];
    setRequesting(permission, true);
    std::weak_ptr<WelcomePermissionsModel*> weak = self_;
    authorizer_->request(permission, [weak, permissions, index, permission](State state) {
        auto self = weak.lock();
        if (!self) return;
        WelcomePermissionsModel& model = **self;
        model.update(permission, state, false);
        model.requestNext(permissions, index + 1);
    });
}

void WelcomePermissionsModel::finishRequest() {
    isRequesting_.set(false);
    refresh();
}

// ---- Item writes ------------------------------------------------------------------------------

void WelcomePermissionsModel::update(WelcomePermission permission, State state, bool isRequesting) {
    auto items = items_.get();
    auto it = std::ranges::find(items, permission, &WelcomePermissionItem::permission);
    if (it == items.end() || (it->state == state && it->isRequesting == isRequesting)) return;
    it->state = state;
    items_.set(items);
    it->isRequesting = isRequesting;
    items_.set(std::move(items));
}

void WelcomePermissionsModel::setRequesting(WelcomePermission permission, bool isRequesting) {
    auto items = items_.get();
    auto it = std::ranges::find(items, permission, &WelcomePermissionItem::permission);
    if (it == items.end()) return;
    it->isRequesting = isRequesting;
    items_.set(items);
    if (isRequesting) {
        it->state = State::checking;
        items_.set(std::move(items));
    }
}

}  // namespace pavonix
