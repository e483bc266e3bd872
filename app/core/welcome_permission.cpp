#include "app/core/welcome_permission.h"

#include "app/core/presentation_provider.h"

namespace pavonix {

using Permission = WelcomePermission;
using GrantState = WelcomePermissionGrantState;

std::string_view rawValue(Permission permission) {
    switch (permission) {
    case Permission::accessibility: return "accessibility";
    case Permission::localNetwork: return "localNetwork";
    case Permission::keynoteAutomation: return "keynoteAutomation";
    case Permission::powerPointAutomation: return "powerPointAutomation";
    }
    return {};
}

std::string_view title(Permission permission) {
    switch (permission) {
    case Permission::accessibility: return "Accessibility";
    case Permission::localNetwork: return "Local Network Access";
    case Permission::keynoteAutomation: return choiceTitle(PresentationProvider::keynote);
    case Permission::powerPointAutomation: return choiceTitle(PresentationProvider::powerPoint);
    }
    return {};
}

std::string_view description(Permission permission) {
    switch (permission) {
    case Permission::accessibility:
        return "Focuses Google Slides windows and sends presentation keystrokes.";
    case Permission::localNetwork:
        return "Finds and connects to nearby Pavonix devices, and checks local HTTP/OSC control "
               "access.";
    case Permission::keynoteAutomation:
        return "Keynote does not run on Linux; control it through a Pavonix on a Mac added as a remote "
               "device.";
    case Permission::powerPointAutomation:
        return "PowerPoint does not run on Linux; control it through a Pavonix on a Mac added as a remote "
               "device.";
    }
    return {};
}

std::string_view rawValue(GrantState state) {
    switch (state) {
    case GrantState::checking: return "checking";
    case GrantState::granted: return "granted";
    case GrantState::notDetermined: return "notDetermined";
    case GrantState::denied: return "denied";
    case GrantState::unavailable: return "unavailable";
    }
    return {};
}

void to_json(Json& json, Permission permission) { json = std::string(rawValue(permission)); }
void from_json(const Json& json, Permission& permission) {
    permission = decodeEnum(json, allWelcomePermissions, "WelcomePermission");
}

void to_json(Json& json, GrantState state) { json = std::string(rawValue(state)); }
void from_json(const Json& json, GrantState& state) {
    state = decodeEnum(json, allWelcomePermissionGrantStates, "WelcomePermissionGrantState");
}

}  // namespace pavonix
