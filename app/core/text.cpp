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

}  // namespace pavonix
