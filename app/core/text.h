// Text helpers shared by every front end. Texts are UTF-8; bytes that are not valid UTF-8 are
// never white space, and never make these functions fail.
#pragma once

#include <cstddef>
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

// Text that came from a peer, fit for a status line: control characters (U+0000 to U+001F and
// U+007F to U+009F) and bytes that are not UTF-8 left out, cut to at most `maxCharacters`
// characters.
std::string withoutControlCharacters(std::string_view text, std::size_t maxCharacters);

// Text that came from a peer, fit for a terminal: control characters written as \n, \r, \t or
// \u followed by four hex digits, bytes that are not UTF-8 as \x and two hex digits, and a
// backslash doubled, so that nothing printed can move the cursor or fake a line of its own.
std::string escapedControlCharacters(std::string_view text);

}  // namespace pavonix
