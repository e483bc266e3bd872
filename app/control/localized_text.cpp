#include "app/control/localized_text.h"

#include <unicode/coll.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace pavonix {

namespace {

icu::UnicodeString fold(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    icu::UnicodeString decomposed = U_SUCCESS(status) ? nfd->normalize(source, status) : source;
    if (U_FAILURE(status)) decomposed = source;
    icu::UnicodeString stripped;
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    return stripped.foldCase();
}

// Collators are not to be shared between threads while in use; one per thread is cheap enough.
icu::Collator* collator() {
    thread_local std::unique_ptr<icu::Collator> instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::Collator> c(icu::Collator::createInstance(icu::Locale::getDefault(), status));
        if (U_FAILURE(status)) {
            status = U_ZERO_ERROR;
            c.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
        }
        if (c) {
            UErrorCode ignored = U_ZERO_ERROR;
            c->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, ignored);
        }
        return c;
    }();
    return instance.get();
}

}  // namespace

std::string foldedForMatching(std::string_view text) {
    std::string out;
    fold(text).toUTF8String(out);
    return out;
}

bool containsFolded(std::string_view text, std::string_view part) {
    return fold(text).indexOf(fold(part)) >= 0;
}

int localizedStandardCompare(std::string_view a, std::string_view b) {
    icu::UnicodeString ua = icu::UnicodeString::fromUTF8(a);
    icu::UnicodeString ub = icu::UnicodeString::fromUTF8(b);
    if (icu::Collator* c = collator()) {
        UErrorCode status = U_ZERO_ERROR;
        UCollationResult r = c->compare(ua, ub, status);
        if (U_SUCCESS(status) && r != UCOL_EQUAL) return r == UCOL_LESS ? -1 : 1;
    }
    // Texts the collator cannot tell apart still get a fixed order.
    int r = ua.compare(ub);
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace pavonix
