// A one-line text form of OSC messages, for typing a message by hand and for showing one.
//   spaces:       /synth/freq 440 "a b" true
//   equalsComma:  /synth/freq=440,"a b",true
// Numbers are read and written in the "C" locale whatever the program's locale is.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "osc/osc_message.h"

namespace pavonix::osc {

class OSCAnnotation {
public:
    enum class AnnotationStyle { equalsComma, spaces };

    // The whole text is an annotation of the style.
    static bool isValid(std::string_view annotation, AnnotationStyle style);
    // Tokens that read as numbers become numbers (integers without a fraction or exponent that
    // fit 64 bits, floating otherwise); true, false, nil and impulse become the markers; the
    // rest are texts. Nothing when the text is not valid.
    static std::shared_ptr<OSCMessage> oscMessage(std::string_view annotation, AnnotationStyle style);
    // withTypes follows each argument with its tag in parentheses, such as 5(i).
    static std::string annotation(const OSCMessage& message, AnnotationStyle style, bool withTypes);
};

}  // namespace pavonix::osc
