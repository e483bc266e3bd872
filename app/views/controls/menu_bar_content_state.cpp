#include "app/views/controls/menu_bar_content_state.h"

#include <utility>

#include "app/settings/settings_keys.h"

namespace pavonix {

MenuBarContentState::MenuBarContentState(SettingsStore& store, Actions actions) : actions_(std::move(actions)) {
    osc_ = store.observe<bool>(settings::oscEnabled, [this](const bool&) {
        actions_.rescanInterfaces();
        actions_.restartOSCServer();
        actions_.refreshStatus();
    });
    http_ = store.observe<bool>(settings::httpEnabled, [this](const bool&) {
        actions_.rescanInterfaces();
        actions_.restartHTTPServer();
        actions_.refreshStatus();
    });
}

}  // namespace pavonix
