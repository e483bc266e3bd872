// An in-memory window system for tests: windows are whatever the test puts in, activation moves
// the focus at once, and typed keys are recorded instead of sent.
#pragma once

#include <mutex>
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
    void setWindows(std::vector<WindowInfo> windows);
    void removeWindow(WindowId id);
    void setUnavailable(std::optional<std::string> reason);
    void setCanSendKeys(bool can);
    // Windows whose activation the "window manager" refuses (they never get the focus).
    void refuseFocus(WindowId id);
    void setActiveWindow(std::optional<WindowId> id);

    // ---- Record ---------------------------------------------------------------------------------
    std::vector<WindowId> activations() const;
    std::vector<Typed> typed() const;
    void clearRecords();

    // ---- WindowSystem ---------------------------------------------------------------------------
    std::optional<std::string> unavailableReason() override;
    bool canSendKeys() override;
    std::vector<WindowInfo> listWindows() override;
    std::optional<WindowInfo> window(WindowId id) override;
    std::optional<WindowId> activeWindow() override;
    Outcome activate(WindowId id, std::chrono::milliseconds timeout) override;
    Outcome sendKeys(WindowId target, std::span<const KeyStroke> strokes) override;

private:
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
