// Text helpers shared by every front end. Texts are UTF-8; bytes that are not valid UTF-8 are
// never white space, and never make these functions fail.
#pragma once

#include <string>
#include <string_view>

#include "platform/utf8/utf8.h"

namespace pavonix {

// True for the Unicode white space and newline set: tab, U+000A to U+000D, U+0020, U+0085,
// U+00A0, U+1680, U+2000 to U+200A, U+2028, U+2029, U+202F, U+205F, U+3000.
bool isWhitespaceOrNewline(char32_t codePoint);

// The text without white space and newlines at either end ("trimmed" throughout the program).
std::string trimmedWhitespaceAndNewlines(std::string_view text);

// Slide names as every front end passes them on: trimmed, every leading "#" dropped, trimmed
// again. An empty result means that no name was given.
std::string normalizedSlideName(std::string_view name);

// Whether the bytes are well-formed UTF-8; utf8::sanitized repairs those that are not.
inline bool isValidUTF8(std::string_view bytes) { return utf8::isValid(bytes); }

// The text with only the ASCII letters A-Z (or a-z) changed; every other byte stays as it is,
// whatever the locale.
std::string asciiLowercased(std::string_view text);
std::string asciiUppercased(std::string_view text);

}  // namespace pavonix
