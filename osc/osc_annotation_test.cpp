#include <gtest/gtest.h>

#include <locale>

#include "osc/osc_annotation.h"
#include "osc/testing/osc_test_support.h"

namespace pavonix::osc {
namespace {

using Style = OSCAnnotation::AnnotationStyle;
using Values = std::vector<OSCValue>;

class CommaDecimalPoint : public std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
};

// Numbers are read and written under a locale with a decimal comma, which must change nothing.
TEST(OSCAnnotationTest, ReadsAndWritesBothStylesWhateverTheLocale) {
    const std::locale saved = std::locale::global(std::locale(std::locale::classic(), new CommaDecimalPoint));
    struct Case {
        Style style;
        const char* text;
        std::optional<Values> arguments;  // nothing when the text is not an annotation
    };
    const Case cases[] = {
        {Style::spaces, "/a 1 \"hello world\" true", Values{1, std::string("hello world"), OSCArgument::oscTrue}},
        {Style::spaces, "/a", Values{}},
        {Style::spaces, "/a  1", std::nullopt},
        {Style::spaces, "/a 1 ", std::nullopt},
        {Style::spaces, "/a/b* 1", std::nullopt},
        {Style::spaces, "/a \"1\" \"nil\" -2.5 1e3 x(i)", Values{1, OSCArgument::oscNil, -2.5, 1000.0, std::string("x(i)")}},
        // What strtod takes but a decimal reader refuses is dropped.
        {Style::spaces, "/a 0x10 inf nan +7 .5 7e 5000000000 impulse false",
         Values{7, 0.5, std::string("7e"), std::int64_t{5000000000}, OSCArgument::oscImpulse, OSCArgument::oscFalse}},
        {Style::spaces, "/a\t1", Values{}},  // a tab belongs to the address
        {Style::spaces, "/a 1\xC2\xA0", std::nullopt},  // no-break space is white space
        {Style::equalsComma, "/a=1,\"x y\",nil", Values{1, std::string("x y"), OSCArgument::oscNil}},
        {Style::equalsComma, "/a=\"1\"", Values{std::string("1")}},
        {Style::equalsComma, "/a,1", Values{}},
        {Style::equalsComma, "/a b", std::nullopt},
        {Style::equalsComma, "/a=", std::nullopt},
        {Style::equalsComma, "/a=1,b=2", std::nullopt},
        {Style::equalsComma, "/a=k=v,\"x,y\"", Values{std::string("k=v"), std::string("x,y")}},
    };
    for (const Case& c : cases) {
        const auto message = OSCAnnotation::oscMessage(c.text, c.style);
        EXPECT_EQ(OSCAnnotation::isValid(c.text, c.style), c.arguments.has_value()) << c.text;
        EXPECT_EQ(message ? std::optional(testing::argumentsOf(*message)) : std::nullopt, c.arguments) << c.text;
    }
    const OSCMessage message("/a", {std::string("hi there"), 5, OSCArgument::oscFalse});
    EXPECT_EQ(OSCAnnotation::annotation(message, Style::spaces, true), "/a \"hi there\"(s) 5(i) false(F)");
    EXPECT_EQ(OSCAnnotation::annotation(message, Style::equalsComma, false), "/a=\"hi there\",5,false");
    EXPECT_EQ(OSCAnnotation::annotation(message, Style::equalsComma, true), "/a=\"hi there\"(s),5(i),false(F)");
    EXPECT_EQ(OSCAnnotation::annotation(OSCMessage("/a"), Style::equalsComma, false), "/a");
    // The marker takes its own argument, so the integer after it is found.
    EXPECT_EQ(OSCAnnotation::annotation(OSCMessage("/m", {OSCArgument::oscTrue, 2}), Style::equalsComma, false),
              "/m=true,2");
    const OSCMessage others("/o", {OSCBlob{{1, 2, 3}}, OSCTimeTag(), 0.1f, 2.5, std::int64_t{-9}});
    EXPECT_EQ(OSCAnnotation::annotation(others, Style::spaces, false), "/o Bytes:3 0000000000000001 0.1 2.5 -9");
    // An argument that does not fit its tag is left out and nothing else moves.
    EXPECT_EQ(OSCAnnotation::annotation(OSCMessage("/x", {OSCArgument::oscInt}), Style::equalsComma, false), "/x");
    std::locale::global(saved);
}

}  // namespace
}  // namespace pavonix::osc
