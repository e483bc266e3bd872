// The tray's side of the OSC and HTTP switches: whoever turns one on or off (the settings
// window, the settings file, another view), the interfaces are rescanned, that server restarts
// and the status is refreshed. The settings window does the same, so with both present one
// change restarts that server twice; a restart is idempotent.
#pragma once

#include <functional>

#include "settings_store/settings_store.h"

namespace pavonix {

class MenuBarContentState {
public:
    struct Actions {
        std::function<void()> rescanInterfaces;
        std::function<void()> restartOSCServer;
        std::function<void()> restartHTTPServer;
        std::function<void()> refreshStatus;
    };

    // The store must outlive this object.
    MenuBarContentState(SettingsStore& store, Actions actions);

private:
    Actions actions_;
    SettingsStore::Subscription osc_;
    SettingsStore::Subscription http_;
};

}  // namespace pavonix
