#include "app/core/command_router.h"

#include <cmath>
#include <optional>
#include <utility>

#include "app/core/text.h"
#include "platform/utf8/utf8.h"

namespace pavonix {

CommandRouteError::CommandRouteError(Kind kind, std::string value)
    : kind_(kind), value_(std::move(value)) {
    switch (kind_) {
    case Kind::unknownRoute: description_ = "Unknown command route: " + value_; break;
    case Kind::missingParameter: description_ = "Missing required parameter: " + value_; break;
    case Kind::invalidParameter: description_ = "Invalid parameter: " + value_; break;
    case Kind::methodNotAllowed:
        description_ = "Only POST requests are supported for commands.";
        break;
    case Kind::invalidJSON: description_ = "Request body must be valid JSON."; break;
    }
}

CommandRouteError CommandRouteError::unknownRoute(std::string_view route) {
    return {Kind::unknownRoute, utf8::sanitized(route)};
}
CommandRouteError CommandRouteError::missingParameter(std::string_view name) {
    return {Kind::missingParameter, std::string(name)};
}
CommandRouteError CommandRouteError::invalidParameter(std::string_view name) {
    return {Kind::invalidParameter, std::string(name)};
}
CommandRouteError CommandRouteError::methodNotAllowed() { return {Kind::methodNotAllowed, {}}; }
CommandRouteError CommandRouteError::invalidJSON() { return {Kind::invalidJSON, {}}; }

namespace {

enum class Route { start, stop, showNext, showPrevious, goToNumber, goToNamed };

std::optional<Route> routeFor(std::string_view path) {
    constexpr std::string_view prefix = "/keynote/";
    if (path.substr(0, prefix.size()) == prefix) {
        path.remove_prefix(prefix.size() - 1);
    }
    if (path == "/start") return Route::start;
    if (path == "/stop") return Route::stop;
    if (path == "/show/next") return Route::showNext;
    if (path == "/show/previous") return Route::showPrevious;
    if (path == "/goto/slide/number") return Route::goToNumber;
    if (path == "/goto/slide/named") return Route::goToNamed;
    return std::nullopt;
}

std::optional<PresentationCommand> parameterlessCommand(Route route) {
    switch (route) {
    case Route::stop: return PresentationCommand::stop();
    case Route::showNext: return PresentationCommand::showNext();
    case Route::showPrevious: return PresentationCommand::showPrevious();
    default: return std::nullopt;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isAsciiSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Digits only, at least one, fitting a signed 64-bit integer.
std::optional<std::int64_t> decimalValue(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const int digit = c - '0';
        if (value > (INT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// An integral, finite double that fits a signed 64-bit integer.
std::optional<std::int64_t> integralValue(double d) {
    if (!std::isfinite(d) || d != std::trunc(d) || d >= 9223372036854775808.0 ||
        d < -9223372036854775808.0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(d);
}

// ---- HTTP ----

std::optional<Json> bodyObject(std::string_view body) {
    bool blank = true;
    for (char c : body) {
        if (!isAsciiSpace(c)) {
            blank = false;
            break;
        }
    }
    if (blank) {
        return std::nullopt;
    }
    auto json = parseJSON(body);
    if (!json || !json->is_object()) {
        throw CommandRouteError::invalidJSON();
    }
    return json;
}

const Json* member(const std::optional<Json>& object, const char* key) {
    if (!object) return nullptr;
    auto it = object->find(key);
    if (it == object->end() || it->is_null()) return nullptr;
    return &*it;
}

PresentationCommand httpStart(const std::optional<Json>& object) {
    for (const char* key : {"fromBeginning", "fromFirstSlide", "firstSlide"}) {
        const Json* value = member(object, key);
        if (value && value->is_boolean() && value->get<bool>()) {
            return PresentationCommand::start(true);
        }
    }
    return PresentationCommand::start(false);
}

PresentationCommand httpGoToNumber(const std::optional<Json>& object) {
    const Json* value = member(object, "number");
    if (!value) {
        throw CommandRouteError::missingParameter("number");
    }
    auto number = json_field::integerValue(*value);
    if (!number || *number < 1) {
        throw CommandRouteError::invalidParameter("number");
    }
    return PresentationCommand::goToSlideNumber(*number);
}

PresentationCommand httpGoToNamed(const std::optional<Json>& object) {
    const Json* value = member(object, "name");
    if (!value) {
        throw CommandRouteError::missingParameter("name");
    }
    if (!value->is_string()) {
        throw CommandRouteError::invalidParameter("name");
    }
    std::string name = normalizedSlideName(value->get_ref<const std::string&>());
    if (name.empty()) {
        throw CommandRouteError::missingParameter("name");
    }
    return PresentationCommand::goToSlideNamed(std::move(name));
}

// ---- OSC ----

bool oscStartsFromFirstSlide(const CommandArgument& argument) {
    if (auto b = std::get_if<bool>(&argument)) return *b;
    if (auto i = std::get_if<std::int32_t>(&argument)) return *i != 0;
    if (auto i = std::get_if<std::int64_t>(&argument)) return *i != 0;
    // NaN is not a number a controller means to send; it compares unequal to zero.
    if (auto f = std::get_if<float>(&argument)) return *f == *f && *f != 0;
    if (auto d = std::get_if<double>(&argument)) return *d == *d && *d != 0;
    if (auto s = std::get_if<std::string>(&argument)) {
        const std::string word = asciiLowercased(trimmedWhitespaceAndNewlines(*s));
        for (const char* yes : {"true", "yes", "1", "first", "beginning", "frombeginning"}) {
            if (word == yes) return true;
        }
    }
    return false;
}

std::optional<std::int64_t> oscSlideNumber(const CommandArgument& argument) {
    if (auto i = std::get_if<std::int32_t>(&argument)) return *i;
    if (auto i = std::get_if<std::int64_t>(&argument)) return *i;
    if (auto f = std::get_if<float>(&argument)) return integralValue(*f);
    if (auto d = std::get_if<double>(&argument)) return integralValue(*d);
    if (auto s = std::get_if<std::string>(&argument)) {
        return decimalValue(trimmedWhitespaceAndNewlines(*s));
    }
    return std::nullopt;
}

}  // namespace

std::string CommandRouter::routePath(std::string_view target) {
    std::string_view path = target;
    if (auto end = path.find_first_of("?#"); end != std::string_view::npos) {
        path = path.substr(0, end);
    }
    // Absolute form ("http://host:8090/start"): the path starts after the authority.
    if (auto scheme = path.find("://"); scheme != std::string_view::npos && path.front() != '/') {
        auto slash = path.find('/', scheme + 3);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    }
    std::string decoded;
    decoded.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '%') {
            decoded += path[i];
            continue;
        }
        if (i + 2 >= path.size()) {
            return std::string(path);
        }
        const int hi = hexValue(path[i + 1]);
        const int lo = hexValue(path[i + 2]);
        if (hi < 0 || lo < 0) {
            return std::string(path);
        }
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return decoded;
}

PresentationCommand CommandRouter::command(std::string_view method, std::string_view target,
                                           std::string_view body) {
    if (asciiLowercased(method) != "post") {
        throw CommandRouteError::methodNotAllowed();
    }
    auto route = routeFor(routePath(target));
    if (!route) {
        throw CommandRouteError::unknownRoute(target);
    }
    const auto object = bodyObject(body);
    switch (*route) {
    case Route::start: return httpStart(object);
    case Route::goToNumber: return httpGoToNumber(object);
    case Route::goToNamed: return httpGoToNamed(object);
    default: return *parameterlessCommand(*route);
    }
}

PresentationCommand CommandRouter::command(std::string_view method, std::string_view target,
                                           const Bytes& body) {
    return command(method, target,
                   std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
}

PresentationCommand CommandRouter::command(std::string_view address,
                                           const std::vector<CommandArgument>& arguments) {
    auto route = routeFor(address);
    if (!route) {
        throw CommandRouteError::unknownRoute(address);
    }
    const CommandArgument* first = arguments.empty() ? nullptr : &arguments.front();
    switch (*route) {
    case Route::start:
        return PresentationCommand::start(first && oscStartsFromFirstSlide(*first));
    case Route::goToNumber: {
        if (!first) {
            throw CommandRouteError::missingParameter("number");
        }
        auto number = oscSlideNumber(*first);
        if (!number || *number < 1) {
            throw CommandRouteError::invalidParameter("number");
        }
        return PresentationCommand::goToSlideNumber(*number);
    }
    case Route::goToNamed: {
        if (!first) {
            throw CommandRouteError::missingParameter("name");
        }
        auto text = std::get_if<std::string>(first);
        if (!text) {
            throw CommandRouteError::invalidParameter("name");
        }
        std::string name = normalizedSlideName(utf8::sanitized(*text));
        if (name.empty()) {
            throw CommandRouteError::missingParameter("name");
        }
        return PresentationCommand::goToSlideNamed(std::move(name));
    }
    default: return *parameterlessCommand(*route);
    }
}

}  // namespace pavonix
