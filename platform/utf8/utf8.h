// UTF-8 that arrives from outside (window titles of other programs, request bodies, OSC
// arguments) is checked and repaired here before anything shows it or sends it on as JSON.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pavonix::utf8 {

// The length of the well-formed UTF-8 sequence that starts at `pos` (shortest form, no
// surrogates, at most U+10FFFF), its code point stored in `codePoint`; 0 when the bytes there
// are not one (including a sequence cut short by the end of `bytes`).
std::size_t sequenceAt(std::string_view bytes, std::size_t pos, char32_t& codePoint);

bool isValid(std::string_view bytes);

// The bytes with each one that does not begin a well-formed sequence replaced by U+FFFD, so a
// broken sequence of n bytes becomes n replacement characters; valid text comes back unchanged.
std::string sanitized(std::string_view bytes);

}  // namespace pavonix::utf8
