// An in-memory window system for tests: windows are whatever the test puts in, activation moves
// the focus at once, and typed keys are recorded instead of sent.
#pragma once

#include <mutex>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/x11/window_system.h"

namespace pavonix::x11 {

class RecordingWindowSystem final : public WindowSystem {
public:
    struct Typed {
        WindowId window = 0;
        KeyStroke stroke;
        bool operator==(const Typed&) const = default;
    };

    // ---- Set-up -------------------------------------------------------------------------------
    void setWindows(std::vector<WindowInfo> windows) { locked([&] { windows_ = std::move(windows); }); }
    void removeWindow(WindowId id);
    void setUnavailable(std::optional<std::string> reason) { locked([&] { unavailable_ = std::move(reason); }); }
    void setCanSendKeys(bool can) { locked([&] { canSendKeys_ = can; }); }
    // Windows whose activation the "window manager" refuses (they never get the focus).
    void refuseFocus(WindowId id) { locked([&] { refused_.push_back(id); }); }
    void setActiveWindow(std::optional<WindowId> id) { locked([&] { active_ = id; }); }

    // ---- Record ---------------------------------------------------------------------------------
    std::vector<WindowId> activations() const { return locked([&] { return activations_; }); }
    std::vector<Typed> typed() const { return locked([&] { return typed_; }); }
    void clearRecords();

    // ---- WindowSystem ---------------------------------------------------------------------------
    std::optional<std::string> unavailableReason() override { return locked([&] { return unavailable_; }); }
    bool canSendKeys() override { return locked([&] { return !unavailable_ && canSendKeys_; }); }
    std::vector<WindowInfo> listWindows() override {
        return locked([&] { return unavailable_ ? std::vector<WindowInfo>{} : windows_; });
    }
    std::optional<WindowInfo> window(WindowId id) override;
    std::optional<WindowId> activeWindow() override { return locked([&] { return unavailable_ ? std::nullopt : active_; }); }
    Outcome activate(WindowId id, std::chrono::milliseconds timeout) override;
    Outcome sendKeys(WindowId target, std::span<const KeyStroke> strokes) override;

private:
    template <class F>
    std::invoke_result_t<F&> locked(F&& f) const {
        std::lock_guard lock(mutex_);
        return f();
    }
    std::vector<WindowInfo>::const_iterator findLocked(WindowId id) const;

    mutable std::mutex mutex_;
    std::vector<WindowInfo> windows_;
    std::optional<std::string> unavailable_;
    bool canSendKeys_ = true;
    std::vector<WindowId> refused_;
    std::optional<WindowId> active_;
    std::vector<WindowId> activations_;
    std::vector<Typed> typed_;
};

}  // namespace pavonix::x11
