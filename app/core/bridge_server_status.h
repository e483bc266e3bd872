// What each network server (OSC, HTTP, Bluetooth) reports about itself.
#pragma once

#include <string>
#include <string_view>

#include "app/core/json_coding.h"

namespace pavonix {

struct BridgeServerStatus {
    enum class State { stopped, starting, running, failed };

    State state = State::stopped;
    std::string detail;

    static BridgeServerStatus stopped() { return {State::stopped, "Stopped"}; }

    friend bool operator==(const BridgeServerStatus&, const BridgeServerStatus&) = default;
};

inline constexpr BridgeServerStatus::State allBridgeServerStates[] = {
    BridgeServerStatus::State::stopped, BridgeServerStatus::State::starting,
    BridgeServerStatus::State::running, BridgeServerStatus::State::failed};

// The case name, "stopped" ...; the JSON form.
std::string_view rawValue(BridgeServerStatus::State state);
// "Stopped", "Starting", "Running", "Failed".
std::string_view text(BridgeServerStatus::State state);

void to_json(Json& json, BridgeServerStatus::State state);
void from_json(const Json& json, BridgeServerStatus::State& state);
// {"detail","state"}.
void to_json(Json& json, const BridgeServerStatus& status);
void from_json(const Json& json, BridgeServerStatus& status);

}  // namespace pavonix
