#include "app/core/presentation_command.h"

#include <utility>

namespace pavonix {

using namespace json_field;

PresentationCommand PresentationCommand::start(bool fromFirstSlide) {
    PresentationCommand command(Kind::start);
    command.fromFirstSlide_ = fromFirstSlide;
    return command;
}

PresentationCommand PresentationCommand::goToSlideNumber(std::int64_t number) {
    PresentationCommand command(Kind::goToSlideNumber);
    command.slideNumber_ = number;
    return command;
}

PresentationCommand PresentationCommand::goToSlideNamed(std::string name) {
    PresentationCommand command(Kind::goToSlideNamed);
    command.slideName_ = std::move(name);
    return command;
}

PresentationCommand PresentationCommand::stop() { return PresentationCommand(Kind::stop); }
PresentationCommand PresentationCommand::showNext() { return PresentationCommand(Kind::showNext); }
PresentationCommand PresentationCommand::showPrevious() {
    return PresentationCommand(Kind::showPrevious);
}

std::string PresentationCommand::displayText() const {
    switch (kind_) {
    case Kind::start:
        return fromFirstSlide_ ? "Start from first slide" : "Start";
    case Kind::goToSlideNumber:
        return "Go to slide " + std::to_string(slideNumber_);
    case Kind::goToSlideNamed:
        return "Go to slide named \"" + slideName_ + "\"";
    case Kind::stop:
        return "Stop";
    case Kind::showNext:
        return "Show next";
    case Kind::showPrevious:
        return "Show previous";
    }
    return {};
}

std::string_view rawValue(CommandSource source) {
    switch (source) {
    case CommandSource::appIntent: return "appIntent";
    case CommandSource::bluetooth: return "bluetooth";
    case CommandSource::http: return "http";
    case CommandSource::osc: return "osc";
    case CommandSource::remoteHTTP: return "remoteHTTP";
    case CommandSource::userInterface: return "userInterface";
    }
    return {};
}

std::string_view label(CommandSource source) {
    switch (source) {
    case CommandSource::appIntent: return "App Intent";
    case CommandSource::bluetooth: return "Bluetooth";
    case CommandSource::http: return "HTTP";
    case CommandSource::osc: return "OSC";
    case CommandSource::remoteHTTP: return "Remote HTTP";
    case CommandSource::userInterface: return "UI";
    }
    return {};
}

std::string_view rawValue(ResultStatus status) {
    return status == ResultStatus::ok ? "ok" : "failed";
}

CommandResult CommandResult::ok(const PresentationCommand& command, std::string message) {
    return {ResultStatus::ok, command.displayText(), std::move(message)};
}

CommandResult CommandResult::failed(const PresentationCommand& command, std::string message) {
    return {ResultStatus::failed, command.displayText(), std::move(message)};
}

void to_json(Json& json, CommandSource source) { json = std::string(rawValue(source)); }
void from_json(const Json& json, CommandSource& source) {
    source = decodeEnum(json, allCommandSources, "CommandSource");
}

void to_json(Json& json, ResultStatus status) { json = std::string(rawValue(status)); }
void from_json(const Json& json, ResultStatus& status) {
    status = decodeEnum(json, allResultStatuses, "status");
}

void to_json(Json& json, const CommandResult& result) {
    json = Json::object();
    json["status"] = result.status;
    json["command"] = result.command;
    json["message"] = result.message;
}

void from_json(const Json& json, CommandResult& result) {
    requireObject(json, "CommandResult");
    result.status = require(json, "status").get<ResultStatus>();
    result.command = requireString(json, "command");
    result.message = requireString(json, "message");
}

void to_json(Json& json, const CommandLogEntry& entry) {
    json = Json::object();
    json["source"] = entry.source;
    json["result"] = entry.result;
    json["date"] = dateValue(entry.date);
}

void from_json(const Json& json, CommandLogEntry& entry) {
    requireObject(json, "CommandLogEntry");
    entry.source = require(json, "source").get<CommandSource>();
    entry.result = require(json, "result").get<CommandResult>();
    entry.date = requireDate(json, "date");
}

}  // namespace pavonix
