#include "app/core/bridge_server_status.h"

namespace pavonix {

using namespace json_field;
using State = BridgeServerStatus::State;

std::string_view rawValue(State state) {
    switch (state) {
    case State::stopped: return "stopped";
    case State::starting: return "starting";
    case State::running: return "running";
    case State::failed: return "failed";
    }
    return {};
}

std::string_view text(State state) {
    switch (state) {
    case State::stopped: return "Stopped";
    case State::starting: return "Starting";
    case State::running: return "Running";
    case State::failed: return "Failed";
    }
    return {};
}

void to_json(Json& json, State state) { json = std::string(rawValue(state)); }
void from_json(const Json& json, State& state) {
    state = decodeEnum(json, allBridgeServerStates, "BridgeServerStatus.State");
}

void to_json(Json& json, const BridgeServerStatus& status) {
    json = Json::object();
    json["state"] = status.state;
    json["detail"] = status.detail;
}

void from_json(const Json& json, BridgeServerStatus& status) {
    requireObject(json, "BridgeServerStatus");
    status.state = require(json, "state").get<State>();
    status.detail = requireString(json, "detail");
}

}  // namespace pavonix
