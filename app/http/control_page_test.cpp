#include "app/http/control_page.h"

#include <gtest/gtest.h>

namespace pavonix::http {
namespace {

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

// The sections, buttons, forms, lists, script errors and the layout switch are exercised
// in a real browser by tests/browser; here that no path of the script, taken or not, writes markup.
TEST(ControlPage, ScriptNeverWritesMarkup) {
    for (auto provider : allPresentationProviders) {
        const auto script = scriptOf(controlPageHTML(provider));
        ASSERT_FALSE(script.empty());
        for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "Function("}) {
            EXPECT_EQ(script.find(sink), std::string::npos) << sink;
        }
    }
}

}  // namespace
}  // namespace pavonix::http
