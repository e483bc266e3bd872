#include "osc/osc_annotation.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <vector>

namespace pavonix::osc {

namespace {

using Style = OSCAnnotation::AnnotationStyle;

// The byte length of the white space character at text[i], or 0: tab, line feed, form feed,
// carriage return and the Unicode space separators (the regular-expression class \s).
std::size_t whitespaceAt(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
    switch (byte(0)) {
        case '\t':
        case '\n':
        case '\f':
        case '\r':
        case ' ': return 1;
        case 0xC2: return byte(1) == 0xA0 ? 2 : 0;
        case 0xE1: return byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
        case 0xE2:
            if (byte(1) == 0x80 && ((byte(2) >= 0x80 && byte(2) <= 0x8A) || byte(2) == 0xA8 || byte(2) == 0xA9 ||
                                    byte(2) == 0xAF)) {
                return 3;
            }
            return byte(1) == 0x81 && byte(2) == 0x9F ? 3 : 0;
        case 0xE3: return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
        default: return 0;
    }
}

// Where an address ends: "/" and then one or more characters other than space # * , ? [ ] { }
// (and "=" in the equalsComma style). 0 when there is no address.
std::size_t addressEnd(std::string_view text, Style style) {
    if (text.empty() || text[0] != '/') return 0;
    std::size_t i = 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '#' || c == '*' || c == ',' || c == '?' || c == '[' || c == ']' || c == '{' ||
            c == '}' || (style == Style::equalsComma && c == '=')) {
            break;
        }
        ++i;
    }
    return i > 1 ? i : 0;
}

// A double-quoted text of at least one character at text[i]; the position after its closing
// quote, or nothing.
std::optional<std::size_t> quotedEnd(std::string_view text, std::size_t i) {
    if (i >= text.size() || text[i] != '"') return std::nullopt;
    const std::size_t close = text.find('"', i + 1);
    if (close == std::string_view::npos || close == i + 1) return std::nullopt;
    return close + 1;
}

// One or more characters that are not white space, not quotes and not in stops.
std::size_t bareEnd(std::string_view text, std::size_t i, std::string_view stops) {
    while (i < text.size() && text[i] != '"' && stops.find(text[i]) == std::string_view::npos &&
           whitespaceAt(text, i) == 0) {
        ++i;
    }
    return i;
}

struct Parsed {
    std::string_view address;
    // Quoted tokens keep their quotes in the equalsComma style and lose them in spaces, where a
    // quoted token reads like a bare one.
    std::vector<std::string_view> tokens;
    bool whole = false;
};

// The leftmost-longest reading of the style's grammar; the items never overlap, so the first
// reading that fails to continue is the only one.
Parsed read(std::string_view text, Style style) {
    Parsed parsed;
    const std::size_t end = addressEnd(text, style);
    if (end == 0) return parsed;
    parsed.address = text.substr(0, end);
    std::size_t i = end;
    auto item = [&](char lead, std::string_view stops, bool keepQuotes) {
        if (i + 1 >= text.size() || text[i] != lead) return false;
        if (auto close = quotedEnd(text, i + 1)) {
            parsed.tokens.push_back(keepQuotes ? text.substr(i + 1, *close - i - 1) : text.substr(i + 2, *close - i - 3));
            i = *close;
            return true;
        }
        const std::size_t stop = bareEnd(text, i + 1, stops);
        if (stop == i + 1) return false;
        parsed.tokens.push_back(text.substr(i + 1, stop - i - 1));
        i = stop;
        return true;
    };
    if (style == Style::spaces) {
        while (item(' ', "", false)) {
        }
    } else {
        // The "=" item is optional; without it, items after a comma match but carry nothing.
        const bool hasFirst = item('=', ",", true);
        while (item(',', ",=", true)) {
        }
        if (!hasFirst) parsed.tokens.clear();
    }
    parsed.whole = i == text.size();
    return parsed;
}

enum class NumberSyntax { none, decimal, other };

// What a C-locale strtod would take as the whole token, without leading white space: decimal
// numbers, and also hexadecimal ones, infinities and not-a-number, which a decimal reader refuses.
NumberSyntax numberSyntax(std::string_view token) {
    std::size_t i = (!token.empty() && (token[0] == '+' || token[0] == '-')) ? 1 : 0;
    const std::string_view body = token.substr(i);
    auto lower = [](std::string_view s) {
        std::string out(s);
        for (char& c : out) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return out;
    };
    const std::string folded = lower(body);
    if (folded == "inf" || folded == "infinity" || folded == "nan") return NumberSyntax::other;
    if (folded.starts_with("nan(") && folded.ends_with(")")) {
        for (char c : std::string_view(folded).substr(4, folded.size() - 5)) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return NumberSyntax::none;
        }
        return NumberSyntax::other;
    }
    const bool hex = folded.starts_with("0x");
    std::size_t k = hex ? 2 : 0;
    auto isDigit = [&](char c) { return hex ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9'); };
    std::size_t digits = 0;
    while (k < folded.size() && isDigit(folded[k])) ++k, ++digits;
    if (k < folded.size() && folded[k] == '.') {
        ++k;
        while (k < folded.size() && isDigit(folded[k])) ++k, ++digits;
    }
    if (digits == 0) return NumberSyntax::none;
    if (k < folded.size() && folded[k] == (hex ? 'p' : 'e')) {
        std::size_t e = k + 1;
        if (e < folded.size() && (folded[e] == '+' || folded[e] == '-')) ++e;
        const std::size_t start = e;
        while (e < folded.size() && folded[e] >= '0' && folded[e] <= '9') ++e;
        if (e > start) k = e;  // strtod stops before an incomplete exponent
    }
    if (k != folded.size()) return NumberSyntax::none;
    return hex ? NumberSyntax::other : NumberSyntax::decimal;
}

// A token's number, or nothing when the decimal reader refuses it (hexadecimal, infinities,
// not-a-number, beyond the double range). std::from_chars ignores the locale.
std::optional<OSCValue> decimalNumber(std::string_view token) {
    std::string_view digits = token;
    const bool negative = !digits.empty() && digits[0] == '-';
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
    const char* first = digits.data();
    const char* last = digits.data() + digits.size();
    if (digits.find_first_of(".eE") == std::string_view::npos) {
        std::uint64_t magnitude = 0;
        auto [end, error] = std::from_chars(first, last, magnitude);
        if (error == std::errc() && end == last) {
            if (!negative && magnitude <= 0x7FFFFFFFULL) return OSCValue(static_cast<std::int32_t>(magnitude));
            if (negative && magnitude <= 0x80000000ULL) return OSCValue(static_cast<std::int32_t>(-static_cast<std::int64_t>(magnitude)));
            if (!negative && magnitude <= 0x7FFFFFFFFFFFFFFFULL) return OSCValue(static_cast<std::int64_t>(magnitude));
            if (negative && magnitude <= 0x8000000000000000ULL) return OSCValue(static_cast<std::int64_t>(0 - magnitude));
        }
    }
    double value = 0;
    auto [end, error] = std::from_chars(first, last, value, std::chars_format::general);
    if (error != std::errc() || end != last) return std::nullopt;
    return OSCValue(negative ? -value : value);
}

std::optional<OSCValue> argumentFor(std::string_view token) {
    switch (numberSyntax(token)) {
        case NumberSyntax::decimal: return decimalNumber(token);
        case NumberSyntax::other: return std::nullopt;
        case NumberSyntax::none: break;
    }
    if (token == "true") return OSCValue(OSCArgument::oscTrue);
    if (token == "false") return OSCValue(OSCArgument::oscFalse);
    if (token == "nil") return OSCValue(OSCArgument::oscNil);
    if (token == "impulse") return OSCValue(OSCArgument::oscImpulse);
    if (token.size() >= 2 && token.front() == '"') return OSCValue(std::string(token.substr(1, token.size() - 2)));
    return OSCValue(std::string(token));
}

template <typename Number>
std::string numberText(Number value) {
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

// The shortest text of a number argument, or nothing when the value is not a number.
std::optional<std::string> describeNumber(const OSCValue& value) {
    if (auto* v = std::get_if<std::int32_t>(&value)) return numberText(*v);
    if (auto* v = std::get_if<std::int64_t>(&value)) return numberText(*v);
    if (auto* v = std::get_if<float>(&value)) return numberText(*v);
    if (auto* v = std::get_if<double>(&value)) return numberText(*v);
    return std::nullopt;
}

}  // namespace

bool OSCAnnotation::isValid(std::string_view annotation, AnnotationStyle style) {
    return read(annotation, style).whole;
}

std::shared_ptr<OSCMessage> OSCAnnotation::oscMessage(std::string_view annotation, AnnotationStyle style) {
    const Parsed parsed = read(annotation, style);
    if (!parsed.whole) return nullptr;
    std::vector<OSCValue> arguments;
    for (std::string_view token : parsed.tokens) {
        if (auto argument = argumentFor(token)) arguments.push_back(std::move(*argument));
    }
    return std::make_shared<OSCMessage>(parsed.address, std::move(arguments));
}

std::string OSCAnnotation::annotation(const OSCMessage& message, AnnotationStyle style, bool withTypes) {
    const bool spaces = style == Style::spaces;
    const std::string& tags = message.typeTagString();
    const auto arguments = message.arguments();
    std::string text(message.addressPattern());
    if (!spaces && tags.size() > 1) text += '=';

    std::size_t position = 0;
    for (char tag : tags) {
        std::optional<std::string> piece;
        const OSCValue* argument = position < arguments.size() ? &arguments[position] : nullptr;
        switch (tag) {
            case 's':
                if (auto* s = argument ? std::get_if<std::string>(argument) : nullptr) {
                    // A comma would split the text in the equalsComma form, so it is quoted too.
                    const bool quote = s->find(' ') != std::string::npos || (!spaces && s->find(',') != std::string::npos);
                    piece = quote ? "\"" + *s + "\"" : *s;
                }
                break;
            case 'b':
                if (auto* b = argument ? std::get_if<OSCBlob>(argument) : nullptr) {
                    piece = "Bytes:" + std::to_string(b->bytes.size());
                }
                break;
            case 'i':
            case 'f':
                if (argument) piece = describeNumber(*argument);
                break;
            case 't':
                if (auto* t = argument ? std::get_if<OSCTimeTag>(argument) : nullptr) piece = t->hex();
                break;
            case 'T': piece = "true"; break;
            case 'F': piece = "false"; break;
            case 'N': piece = "nil"; break;
            case 'I': piece = "impulse"; break;
            default: continue;  // the leading ","
        }
        if (!piece) continue;
        ++position;
        if (spaces) text += ' ';
        text += *piece;
        if (withTypes) text += std::string{'(', tag, ')'};
        if (!spaces) text += ',';
    }
    if (!spaces && tags.size() > 1) text.pop_back();
    return text;
}

}  // namespace pavonix::osc
