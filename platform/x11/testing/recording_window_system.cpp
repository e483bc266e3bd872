#include "platform/x11/testing/recording_window_system.h"

#include <algorithm>

namespace pavonix::x11 {

void RecordingWindowSystem::removeWindow(WindowId id) {
    std::lock_guard lock(mutex_);
    std::erase_if(windows_, [id](const WindowInfo& w) { return w.id == id; });
    if (active_ == id) active_.reset();
}

void RecordingWindowSystem::clearRecords() {
    std::lock_guard lock(mutex_);
    activations_.clear();
    typed_.clear();
}

std::optional<WindowInfo> RecordingWindowSystem::window(WindowId id) {
    std::lock_guard lock(mutex_);
    auto it = findLocked(id);
    if (unavailable_ || it == windows_.end()) return std::nullopt;
    return *it;
}

std::vector<WindowInfo>::const_iterator RecordingWindowSystem::findLocked(WindowId id) const {
    return std::ranges::find(windows_, id, &WindowInfo::id);
}

Outcome RecordingWindowSystem::activate(WindowId id, std::chrono::milliseconds) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return Outcome::failure(*unavailable_);
    if (findLocked(id) == windows_.end()) return Outcome::failure("The window no longer exists.");
    activations_.push_back(id);
    if (std::find(refused_.begin(), refused_.end(), id) != refused_.end()) {
        return Outcome::failure("The window did not receive the keyboard focus.");
    }
    active_ = id;
    return Outcome::success();
}

Outcome RecordingWindowSystem::sendKeys(WindowId target, std::span<const KeyStroke> strokes) {
    std::lock_guard lock(mutex_);
    if (unavailable_) return Outcome::failure(*unavailable_);
    if (!canSendKeys_) return Outcome::failure("Synthetic key events are not supported.");
    if (findLocked(target) == windows_.end()) return Outcome::failure("The window no longer exists.");
    if (active_ != target) return Outcome::failure("The window lost the keyboard focus.");
    for (const auto& stroke : strokes) typed_.push_back({target, stroke});
    return Outcome::success();
}

}  // namespace pavonix::x11
