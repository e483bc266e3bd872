// JSON coding shared by the program's value types.
//
// Every record has nlohmann ADL `to_json` / `from_json`. Decoding is strict: a missing, null or
// mistyped required field throws JSONDecodingError (never a silent default), optional fields
// accept absence and null. nlohmann's object keeps keys sorted, so `encodeJSON` writes the
// compact, sorted form stored records use. Encoding never throws on invalid UTF-8 in a text
// (it is replaced), because texts may come from remote peers.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/core/date.h"

namespace pavonix {

using Json = nlohmann::json;
using Bytes = std::vector<std::uint8_t>;

class JSONDecodingError : public std::runtime_error {
public:
    explicit JSONDecodingError(const std::string& what) : std::runtime_error(what) {}
    std::string description() const { return what(); }
};

// Compact (indent < 0) or pretty-printed text of a JSON value, keys in ascending order.
std::string encodeJSON(const Json& value, int indent = -1);

// Parses JSON text; nothing when it is not JSON or nests deeper than maxDepth arrays/objects.
std::optional<Json> parseJSON(std::string_view text, int maxDepth = 64);

// Encodes any value that has a to_json, compact with sorted keys.
template <class T>
std::string encodeRecord(const T& value) {
    return encodeJSON(Json(value));
}

// Decodes a value from JSON text; throws JSONDecodingError on any failure.
template <class T>
T decodeRecord(std::string_view text) {
    auto json = parseJSON(text);
    if (!json) {
        throw JSONDecodingError("The data is not valid JSON.");
    }
    return json->template get<T>();
}

namespace json_field {

void requireObject(const Json& json, const char* typeName);
const Json& require(const Json& object, const char* key);
std::string requireString(const Json& object, const char* key);
std::int64_t requireInteger(const Json& object, const char* key);
bool requireBool(const Json& object, const char* key);
Date requireDate(const Json& object, const char* key);

std::optional<std::string> optionalString(const Json& object, const char* key);
std::optional<Date> optionalDate(const Json& object, const char* key);

// A JSON integer, or an integral float, that fits a signed 64-bit integer.
std::optional<std::int64_t> integerValue(const Json& value);

Json dateValue(Date date);
Date dateFrom(const Json& value, const char* key);

// A required list whose elements decode through their own from_json.
template <class T>
std::vector<T> requireArray(const Json& object, const char* key) {
    const Json& value = require(object, key);
    if (!value.is_array()) {
        throw JSONDecodingError(std::string("Field \"") + key + "\" must be a list.");
    }
    std::vector<T> out;
    out.reserve(value.size());
    for (const Json& element : value) {
        out.push_back(element.template get<T>());
    }
    return out;
}

}  // namespace json_field

// Strict raw-value coding of enumerations: `rawValue(E)` must be visible by ADL and `allCases`
// lists every case.
template <class E, std::size_t N>
std::optional<E> enumFromRawValue(std::string_view raw, const E (&allCases)[N]) {
    for (E value : allCases) {
        if (rawValue(value) == raw) {
            return value;
        }
    }
    return std::nullopt;
}

template <class E, std::size_t N>
E decodeEnum(const Json& json, const E (&allCases)[N], const char* typeName) {
    if (!json.is_string()) {
        throw JSONDecodingError(std::string("Expected a text for ") + typeName + ".");
    }
    auto value = enumFromRawValue(json.get_ref<const std::string&>(), allCases);
    if (!value) {
        throw JSONDecodingError(std::string("Unknown value for ") + typeName + ".");
    }
    return *value;
}

}  // namespace pavonix
