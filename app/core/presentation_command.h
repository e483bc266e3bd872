// The command set every front end produces, who issued a command, and what it answered.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/core/date.h"
#include "app/core/json_coding.h"

namespace pavonix {

class PresentationCommand {
public:
    enum class Kind { start, goToSlideNumber, goToSlideNamed, stop, showNext, showPrevious };

    static PresentationCommand start(bool fromFirstSlide = false);
    static PresentationCommand goToSlideNumber(std::int64_t number);
    static PresentationCommand goToSlideNamed(std::string name);
    static PresentationCommand stop();
    static PresentationCommand showNext();
    static PresentationCommand showPrevious();

    Kind kind() const { return kind_; }
    // Payloads; each is meaningful only for its own kind (false, 0 or "" otherwise).
    bool fromFirstSlide() const { return fromFirstSlide_; }
    std::int64_t slideNumber() const { return slideNumber_; }
    const std::string& slideName() const { return slideName_; }

    // "Start", "Start from first slide", "Go to slide 7", "Go to slide named \"Intro\"", "Stop",
    // "Show next", "Show previous".
    std::string displayText() const;

    friend bool operator==(const PresentationCommand&, const PresentationCommand&) = default;

private:
    explicit PresentationCommand(Kind kind) : kind_(kind) {}
    Kind kind_;
    bool fromFirstSlide_ = false;
    std::int64_t slideNumber_ = 0;
    std::string slideName_;
};

enum class CommandSource { appIntent, bluetooth, http, osc, remoteHTTP, userInterface };
inline constexpr CommandSource allCommandSources[] = {
    CommandSource::appIntent, CommandSource::bluetooth,  CommandSource::http,
    CommandSource::osc,       CommandSource::remoteHTTP, CommandSource::userInterface};

// The case name ("remoteHTTP"); the JSON form.
std::string_view rawValue(CommandSource source);
// "App Intent", "Bluetooth", "HTTP", "OSC", "Remote HTTP", "UI".
std::string_view label(CommandSource source);

// "ok" or "failed", the status of every result the program answers with.
enum class ResultStatus { ok, failed };
inline constexpr ResultStatus allResultStatuses[] = {ResultStatus::ok, ResultStatus::failed};
std::string_view rawValue(ResultStatus status);

struct CommandResult {
    ResultStatus status = ResultStatus::failed;
    std::string command;  // display text of the command
    std::string message;

    static CommandResult ok(const PresentationCommand& command, std::string message);
    static CommandResult failed(const PresentationCommand& command, std::string message);
    bool isOK() const { return status == ResultStatus::ok; }

    friend bool operator==(const CommandResult&, const CommandResult&) = default;
};

// The model's record of the last command.
struct CommandLogEntry {
    CommandSource source = CommandSource::userInterface;
    CommandResult result;
    Date date;

    friend bool operator==(const CommandLogEntry&, const CommandLogEntry&) = default;
};

void to_json(Json& json, CommandSource source);
void from_json(const Json& json, CommandSource& source);
void to_json(Json& json, ResultStatus status);
void from_json(const Json& json, ResultStatus& status);
// {"command","message","status"}, all always written.
void to_json(Json& json, const CommandResult& result);
void from_json(const Json& json, CommandResult& result);
// {"date","result","source"}.
void to_json(Json& json, const CommandLogEntry& entry);
void from_json(const Json& json, CommandLogEntry& entry);

}  // namespace pavonix
