#include "handler/html.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(Html, EscapesEveryCharacterThatCouldLeaveTextOrAttribute) {
    EXPECT_EQ(escapeHtml("a<b>&\"c'd"), "a&lt;b&gt;&amp;&quot;c&#39;d");
    EXPECT_EQ(escapeHtml("plain \xc3\xa9"), "plain \xc3\xa9");
}

TEST(Html, SharePageEscapesTheIdEverywhereItAppears) {
    const std::string id = "<script>alert(1)</script>\"'&@20101201095959123";
    const std::string page = sharePage(id, "http://x/\"onerror=\"alert(2).png");
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("\"onerror"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;@"),
              std::string::npos);
    EXPECT_NE(page.find("href=\"velmorastra://&lt;script&gt;"), std::string::npos);
    EXPECT_NE(page.find("<img src=\"http://x/&quot;onerror=&quot;alert(2).png\""),
              std::string::npos);
}

} // namespace
} // namespace velmo::server
