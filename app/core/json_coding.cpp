#include "app/core/json_coding.h"

#include <cmath>

namespace pavonix {

std::string encodeJSON(const Json& value, int indent) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}

namespace {

// nlohmann's parser keeps its own stack, but values nested thousands deep still cost memory and
// recursion elsewhere (comparison, destruction in older versions); refuse them before parsing.
bool nestingWithin(std::string_view text, int maxDepth) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

}  // namespace

std::optional<Json> parseJSON(std::string_view text, int maxDepth) {
    if (!nestingWithin(text, maxDepth)) {
        return std::nullopt;
    }
    Json json = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded()) {
        return std::nullopt;
    }
    return json;
}

namespace json_field {

namespace {

[[noreturn]] void fail(const char* key, const char* problem) {
    throw JSONDecodingError(std::string("Field \"") + key + "\" " + problem + ".");
}

const Json* find(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return nullptr;
    }
    return &*it;
}

}  // namespace

void requireObject(const Json& json, const char* typeName) {
    if (!json.is_object()) {
        throw JSONDecodingError(std::string("Expected a JSON object for ") + typeName + ".");
    }
}

const Json& require(const Json& object, const char* key) {
    const Json* value = find(object, key);
    if (!value) {
        fail(key, "is missing");
    }
    return *value;
}

std::string requireString(const Json& object, const char* key) {
    const Json& value = require(object, key);
    if (!value.is_string()) {
        fail(key, "must be a text");
    }
    return value.get<std::string>();
}

std::optional<std::int64_t> integerValue(const Json& value) {
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        if (v > static_cast<std::uint64_t>(INT64_MAX)) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 is exactly representable; anything at or past it does not fit.
        if (!std::isfinite(d) || d != std::trunc(d) || d >= 9223372036854775808.0 ||
            d < -9223372036854775808.0) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::int64_t requireInteger(const Json& object, const char* key) {
    auto value = integerValue(require(object, key));
    if (!value) {
        fail(key, "must be an integer");
    }
    return *value;
}

bool requireBool(const Json& object, const char* key) {
    const Json& value = require(object, key);
    if (!value.is_boolean()) {
        fail(key, "must be a Boolean");
    }
    return value.get<bool>();
}

Json dateValue(Date date) {
    return secondsSinceReferenceDate(date);
}

Date dateFrom(const Json& value, const char* key) {
    Date date;
    if (!value.is_number() || !dateFromSecondsSinceReferenceDate(value.get<double>(), date)) {
        fail(key, "must be a date (seconds since 2001-01-01)");
    }
    return date;
}

Date requireDate(const Json& object, const char* key) {
    return dateFrom(require(object, key), key);
}

std::optional<std::string> optionalString(const Json& object, const char* key) {
    const Json* value = find(object, key);
    if (!value) {
        return std::nullopt;
    }
    if (!value->is_string()) {
        fail(key, "must be a text");
    }
    return value->get<std::string>();
}

std::optional<Date> optionalDate(const Json& object, const char* key) {
    const Json* value = find(object, key);
    if (!value) {
        return std::nullopt;
    }
    return dateFrom(*value, key);
}

}  // namespace json_field

}  // namespace pavonix
