#include "platform/utf8/utf8.h"

#include <gtest/gtest.h>

namespace pavonix::utf8 {
namespace {

#define FFFD "\xEF\xBF\xBD"

TEST(Utf8, KeepsValidTextAndReplacesEachByteOfABrokenSequence) {
    // The output equals the input exactly when the input is valid.
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"Présentation – 幻灯片 🎞", "Présentation – 幻灯片 🎞"},
        // U+0800, U+10000 and U+10FFFF, the lowest and highest code points of the longer forms
        {"\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"\xFF\xF8\x80" "a\xE9z", FFFD FFFD FFFD "a" FFFD "z"},   // never a lead byte; a Latin-1 byte
        {"\xC0\xAF", FFFD FFFD},                                  // overlong "/"
        {"\xE0\x9F\xBF", FFFD FFFD FFFD},                         // overlong three-byte form
        {"\xED\xA0\x80", FFFD FFFD FFFD},                         // surrogate
        {"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},                // beyond U+10FFFF
        {"ok\xE2\x82", "ok" FFFD FFFD},                           // cut at the end
        {"\xE2\x82" "A\xC3\xA9", FFFD FFFD "A\xC3\xA9"},          // cut before other text
    };
    for (const auto& [input, expected] : cases) {
        SCOPED_TRACE(input);
        EXPECT_EQ(sanitized(input), expected);
        EXPECT_EQ(isValid(input), input == expected);
    }
}

}  // namespace
}  // namespace pavonix::utf8
