#include "platform/utf8/utf8.h"

#include <gtest/gtest.h>

namespace pavonix::utf8 {
namespace {

constexpr const char* R = "\xEF\xBF\xBD";  // U+FFFD

TEST(Utf8, KeepsValidTextAndReplacesEachByteOfABrokenSequence) {
    const struct {
        std::string input;
        std::string expected;  // equal to the input exactly when the input is valid
    } cases[] = {
        {"", ""},
        {"Présentation – 幻灯片 🎞", "Présentation – 幻灯片 🎞"},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
        {"\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xE0\xA0\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"},
        {"a\xE9z", std::string("a") + R + "z"},                       // a Latin-1 byte
        {"\xFF\xF8\x80", std::string(R) + R + R},                     // never a lead byte
        {"\xC0\xAF", std::string(R) + R},                             // overlong "/"
        {"\xE0\x9F\xBF", std::string(R) + R + R},                     // overlong three-byte form
        {"\xED\xA0\x80", std::string(R) + R + R},                     // surrogate
        {"\xF4\x90\x80\x80", std::string(R) + R + R + R},             // beyond U+10FFFF
        {"ok\xE2\x82", std::string("ok") + R + R},                    // cut at the end
        {"\xE2\x82" "A\xC3\xA9", std::string(R) + R + "A\xC3\xA9"},   // cut before other text
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(sanitized(c.input), c.expected);
        EXPECT_EQ(isValid(c.input), c.input == c.expected);
    }
}

}  // namespace
}  // namespace pavonix::utf8
