#include "app/core/text.h"

#include <cstdint>

#include "platform/utf8/utf8.h"

namespace pavonix {

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string trimmedWhitespaceAndNewlines(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t cp;
        const std::size_t len = utf8::sequenceAt(text, begin, cp);
        if (len == 0 || !isWhitespaceOrNewline(cp)) {
            break;
        }
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the lead byte of the last sequence (at most 3 continuation bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        char32_t cp;
        const std::size_t len = utf8::sequenceAt(text, start, cp);
        if (len != end - start || !isWhitespaceOrNewline(cp)) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string normalizedSlideName(std::string_view name) {
    std::string trimmed = trimmedWhitespaceAndNewlines(name);
    std::size_t hashes = 0;
    while (hashes < trimmed.size() && trimmed[hashes] == '#') {
        ++hashes;
    }
    return trimmedWhitespaceAndNewlines(std::string_view(trimmed).substr(hashes));
}

std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string asciiUppercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

namespace {

bool isControl(char32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F); }

}  // namespace

std::string withoutControlCharacters(std::string_view text, std::size_t maxCharacters) {
    std::string out;
    std::size_t characters = 0;
    for (std::size_t pos = 0; pos < text.size() && characters < maxCharacters;) {
        char32_t codePoint = 0;
        const std::size_t length = utf8::sequenceAt(text, pos, codePoint);
        if (length == 0) {
            ++pos;
            continue;
        }
        if (!isControl(codePoint)) {
            out.append(text.substr(pos, length));
            ++characters;
        }
        pos += length;
    }
    return out;
}

std::string escapedControlCharacters(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        char32_t codePoint = 0;
        const std::size_t length = utf8::sequenceAt(text, pos, codePoint);
        if (length == 0) {
            const auto byte = static_cast<unsigned char>(text[pos++]);
            out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
            continue;
        }
        pos += length;
        if (codePoint == '\\') {
            out += "\\\\";
        } else if (codePoint == '\n') {
            out += "\\n";
        } else if (codePoint == '\r') {
            out += "\\r";
        } else if (codePoint == '\t') {
            out += "\\t";
        } else if (isControl(codePoint)) {
            out += {'\\', 'u', '0', '0', kHex[codePoint >> 4], kHex[codePoint & 0xF]};
        } else {
            out.append(text.substr(pos - length, length));
        }
    }
    return out;
}

}  // namespace pavonix
