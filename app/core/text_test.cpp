#include "app/core/text.h"

#include <gtest/gtest.h>

namespace pavonix {
namespace {

TEST(TextTest, TrimsUnicodeWhitespaceAndNewlines) {
    EXPECT_EQ(trimmedWhitespaceAndNewlines(" \t\r\n Intro \n"), "Intro");
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\xC2\xA0" "a b\xE2\x80\xA8"), "a b");       // NBSP, LS
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\xE3\x80\x80" "x\xE3\x80\x80"), "x");       // ideographic
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\xC2\x85" "x\xE2\x80\x8A"), "x");           // NEL, hair
    EXPECT_EQ(trimmedWhitespaceAndNewlines("   "), "");
    EXPECT_EQ(trimmedWhitespaceAndNewlines(""), "");
    // Not white space: zero-width space, and a lone continuation byte of a space-like sequence.
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\xE2\x80\x8B" "x"), "\xE2\x80\x8B" "x");
    EXPECT_EQ(trimmedWhitespaceAndNewlines("x \xA0"), "x \xA0");
    EXPECT_EQ(trimmedWhitespaceAndNewlines("\xA0 x"), "\xA0 x");
    // Multi-byte text next to the ends stays whole.
    EXPECT_EQ(trimmedWhitespaceAndNewlines(" Fran\xC3\xA7" "ais "), "Fran\xC3\xA7" "ais");
}

TEST(TextTest, NormalizesSlideNames) {
    EXPECT_EQ(normalizedSlideName("Intro"), "Intro");
    EXPECT_EQ(normalizedSlideName("  #Intro "), "Intro");
    EXPECT_EQ(normalizedSlideName("###  Intro"), "Intro");
    EXPECT_EQ(normalizedSlideName("# # Intro"), "# Intro");  // only the leading run is dropped
    EXPECT_EQ(normalizedSlideName("Q&A #2"), "Q&A #2");
    EXPECT_EQ(normalizedSlideName(" ## \n"), "");
    EXPECT_EQ(normalizedSlideName(""), "");
}

TEST(TextTest, ChangesOnlyASCIILetterCase) {
    EXPECT_EQ(asciiLowercased("X-Pavonix-Pair-ID \xC3\x84"), "x-pavonix-pair-id \xC3\x84");
    EXPECT_EQ(asciiUppercased("get \xC3\xA4"), "GET \xC3\xA4");
}

TEST(TextTest, PeerTextForStatusLinesAndTerminals) {
    const std::string_view peer = "/a\x1B[2J\tb\n\xC2\x85\x7F" "c\xC3\xA9\xFF\\";
    EXPECT_EQ(withoutControlCharacters(peer, 200), "/a[2Jbc\xC3\xA9\\");
    // Characters are counted, not bytes, and a cut never splits one.
    EXPECT_EQ(withoutControlCharacters("\xC3\xA9\xC3\xA9\xC3\xA9", 2), "\xC3\xA9\xC3\xA9");
    EXPECT_EQ(withoutControlCharacters("\x01\x02" "abc", 2), "ab");
    EXPECT_EQ(escapedControlCharacters(peer), "/a\\u001B[2J\\tb\\n\\u0085\\u007Fc\xC3\xA9\\xFF\\\\");
    EXPECT_EQ(escapedControlCharacters("Go to slide named \"Intro\""), "Go to slide named \"Intro\"");
}

}  // namespace
}  // namespace pavonix
