// The permissions the welcome screen walks the user through, and the state of each.
#pragma once

#include <string_view>

#include "app/core/json_coding.h"

namespace pavonix {

enum class WelcomePermission { accessibility, localNetwork, keynoteAutomation, powerPointAutomation };
inline constexpr WelcomePermission allWelcomePermissions[] = {
    WelcomePermission::accessibility, WelcomePermission::localNetwork,
    WelcomePermission::keynoteAutomation, WelcomePermission::powerPointAutomation};

std::string_view rawValue(WelcomePermission permission);
// The row title: "Accessibility", "Local Network Access", "Keynote (macOS only)",
// "PowerPoint (macOS only)" (Apple Events, which the last two would ask for, exist only there).
std::string_view title(WelcomePermission permission);
// The row description under the title.
std::string_view description(WelcomePermission permission);

enum class WelcomePermissionGrantState { checking, granted, notDetermined, denied, unavailable };
inline constexpr WelcomePermissionGrantState allWelcomePermissionGrantStates[] = {
    WelcomePermissionGrantState::checking, WelcomePermissionGrantState::granted,
    WelcomePermissionGrantState::notDetermined, WelcomePermissionGrantState::denied,
    WelcomePermissionGrantState::unavailable};

std::string_view rawValue(WelcomePermissionGrantState state);

void to_json(Json& json, WelcomePermission permission);
void from_json(const Json& json, WelcomePermission& permission);
void to_json(Json& json, WelcomePermissionGrantState state);
void from_json(const Json& json, WelcomePermissionGrantState& state);

}  // namespace pavonix
