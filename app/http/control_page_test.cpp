#include "app/http/control_page.h"

#include <gtest/gtest.h>

namespace pavonix::http {
namespace {

bool has(const std::string& page, std::string_view text) { return page.find(text) != std::string::npos; }

std::string scriptOf(const std::string& page) {
    const auto start = page.find("<script>");
    const auto end = page.find("</script>");
    if (start == std::string::npos || end == std::string::npos || end < start) return {};
    return page.substr(start + 8, end - start - 8);
}

TEST(ControlPage, Escaping) {
    EXPECT_EQ(htmlEscaped("Tom & Jerry's <b>\"x\"</b>"), "Tom &amp; Jerry&#39;s &lt;b&gt;&quot;x&quot;&lt;/b&gt;");
    EXPECT_EQ(htmlEscaped("&lt;"), "&amp;lt;");  // ampersand first, so entities are not mangled
    EXPECT_EQ(scriptStringEscaped("a\\b\"c\nd\re</script>"), "a\\\\b\\\"c\\nd\\re\\x3C/script>");
}

// The buttons, forms, lists, subtitle, script errors and the layout switch are exercised in a real
// browser by tests/browser; here the order of the sections and which loader each layout starts.
TEST(ControlPage, EachLayoutHasItsSectionsInOrderAndStartsItsOwnLoader) {
    const auto inOrder = [](const std::string& page, std::initializer_list<const char*> sections) {
        std::size_t last = 0;
        for (const char* section : sections) {
            const auto at = page.find(section);
            if (at == std::string::npos || at < last) return false;
            last = at;
        }
        return true;
    };
    for (auto provider : {PresentationProvider::keynote, PresentationProvider::powerPoint}) {
        const auto page = controlPageHTML(provider);
        EXPECT_TRUE(inOrder(page, {"<h2>Presentation</h2>", "<h2>Slide Navigation</h2>", "<h2>Choose Slide</h2>",
                                   "<h2>Go To Slide Number</h2>", "<h2>Go To Named Slide</h2>"}));
        EXPECT_TRUE(has(scriptOf(page), "\nloadSlides();\n"));
        EXPECT_FALSE(has(page, "loadWindows"));
    }
    const auto page = controlPageHTML(PresentationProvider::googleSlides);
    EXPECT_TRUE(inOrder(page, {"<h2>Google Slides Window</h2>", "<h2>Presentation</h2>"}));
    EXPECT_FALSE(has(page, "id=\"nameForm\""));
    EXPECT_TRUE(has(scriptOf(page), "\nloadWindows();\n"));
    EXPECT_FALSE(has(scriptOf(page), "loadSlides"));
}

TEST(ControlPage, ScriptNeverWritesMarkup) {
    for (auto provider : allPresentationProviders) {
        const auto script = scriptOf(controlPageHTML(provider));
        ASSERT_FALSE(script.empty());
        for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "Function("}) {
            EXPECT_FALSE(has(script, sink)) << sink;
        }
    }
}

}  // namespace
}  // namespace pavonix::http
