// Turns HTTP command requests and OSC messages into presentation commands.
//
// The router is pure: no side effects, no state, safe on any thread. Command paths are
// "/start", "/stop", "/show/next", "/show/previous", "/goto/slide/number" and
// "/goto/slide/named", each also under a leading "/keynote" segment; OSC addresses are the same
// texts.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/core/json_coding.h"
#include "app/core/presentation_command.h"

namespace pavonix {

class CommandRouteError : public std::exception {
public:
    enum class Kind { unknownRoute, missingParameter, invalidParameter, methodNotAllowed, invalidJSON };

    // The route as received (invalid UTF-8 replaced, so the description can go into JSON).
    static CommandRouteError unknownRoute(std::string_view route);
    static CommandRouteError missingParameter(std::string_view name);
    static CommandRouteError invalidParameter(std::string_view name);
    static CommandRouteError methodNotAllowed();
    static CommandRouteError invalidJSON();

    Kind kind() const { return kind_; }
    // The route of unknownRoute or the parameter name of the parameter errors; empty otherwise.
    const std::string& value() const { return value_; }

    // "Unknown command route: /x", "Missing required parameter: number", "Invalid parameter:
    // number", "Only POST requests are supported for commands.", "Request body must be valid
    // JSON."
    const std::string& description() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    friend bool operator==(const CommandRouteError& a, const CommandRouteError& b) {
        return a.kind_ == b.kind_ && a.value_ == b.value_;
    }

private:
    CommandRouteError(Kind kind, std::string value);
    Kind kind_;
    std::string value_;
    std::string description_;
};

// One OSC argument in a form that does not depend on the OSC library: texts, 32- and 64-bit
// integers, 32- and 64-bit floats, blobs, time tags, true/false (bool), nil and impulse.
struct CommandArgumentTimeTag {
    std::uint64_t value = 0;
    friend bool operator==(const CommandArgumentTimeTag&, const CommandArgumentTimeTag&) = default;
};
struct CommandArgumentNil {
    friend bool operator==(const CommandArgumentNil&, const CommandArgumentNil&) = default;
};
struct CommandArgumentImpulse {
    friend bool operator==(const CommandArgumentImpulse&, const CommandArgumentImpulse&) = default;
};
using CommandArgument =
    std::variant<std::string, std::int32_t, float, std::int64_t, double, Bytes,
                 CommandArgumentTimeTag, bool, CommandArgumentNil, CommandArgumentImpulse>;

class CommandRouter {
public:
    // An HTTP request: the method, the request target as received and the body bytes. Throws
    // CommandRouteError. Anything but POST (any letter case) is refused before the path is read;
    // the query of the target is not part of the route.
    static PresentationCommand command(std::string_view method, std::string_view target,
                                       std::string_view body);
    static PresentationCommand command(std::string_view method, std::string_view target,
                                       const Bytes& body);

    // An OSC message: its address and arguments. Throws CommandRouteError.
    static PresentationCommand command(std::string_view address,
                                       const std::vector<CommandArgument>& arguments);

    // The route path of an HTTP request target: the path component, percent-decoded (left as it
    // is when an escape is malformed), without query or fragment.
    static std::string routePath(std::string_view target);
};

}  // namespace pavonix
