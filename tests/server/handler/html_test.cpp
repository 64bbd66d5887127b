#include "handler/html.h"

#include "wire/canvas_link.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(Html, EscapesEveryCharacterThatCouldLeaveTextOrAttribute) {
    EXPECT_EQ(escapeHtml("a<b>&\"c'd"), "a&lt;b&gt;&amp;&quot;c&#39;d");
    EXPECT_EQ(escapeHtml("plain \xc3\xa9"), "plain \xc3\xa9");
}

TEST(Html, SharePageEscapesTheIdEverywhereItAppears) {
    const std::string id = "<script>alert(1)</script>\"'&@20101201095959123";
    const std::string page = sharePage(id, "http://x/\"onerror=\"alert(2).png", {},
                                       "http://x/draw/\"onclick=\"alert(3)");
    EXPECT_EQ(page.find("<script>"), std::string::npos);
    EXPECT_EQ(page.find("\"onerror"), std::string::npos);
    EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;@"),
              std::string::npos);
    EXPECT_NE(page.find("href=\"velmorastra://%3Cscript%3Ealert%281%29"), std::string::npos);
    EXPECT_NE(page.find("<img src=\"http://x/&quot;onerror=&quot;alert(2).png\""),
              std::string::npos);
    EXPECT_NE(page.find("Velmorastra</a> <a class=\"open draw\" "
                        "href=\"http://x/draw/&quot;onclick=&quot;alert(3)\">Draw in the browser"),
              std::string::npos);
    EXPECT_EQ(sharePage(id, "http://x/p.png").find("Draw in the browser"), std::string::npos);
}

TEST(Html, SharePageLinkOpensExactlyItsCanvas) {
    for (const std::string id : {"anna@20101201095959123", "50%@20101201095959123",
                                 "<b>\"x\"@20101201095959123", "caf\xc3\xa9@20101201095959123"}) {
        const std::string page = sharePage(id, "http://x/p.png");
        const std::string open = "class=\"open\" href=\"";
        const size_t start = page.find(open);
        ASSERT_NE(start, std::string::npos) << id;
        const size_t end = page.find('"', start + open.size());
        const std::string link = page.substr(start + open.size(), end - start - open.size());
        EXPECT_EQ(wire::canvasIDFromLink(link), id) << link;
    }
}

TEST(Html, SharePageListsTheOtherCanvasesOfItsCodeEscaped) {
    struct Case {
        std::vector<std::string> others;
        std::vector<std::string> links; // expected in this order
    };
    const Case cases[] = {
        {{}, {}},
        {{"bob@20101201095959123"}, {"velmorastra://bob@20101201095959123"}},
        {{"<i>@20101201095959123", "50%@20101201095959123"},
         {"velmorastra://%3Ci%3E@20101201095959123", "velmorastra://50%25@20101201095959123"}},
    };
    for (const Case& c : cases) {
        const std::string page = sharePage("anna@20101201095959123", "http://x/p.png", c.others);
        EXPECT_EQ(page.find("<i>"), std::string::npos);
        EXPECT_EQ(page.find("<h2>") != std::string::npos, !c.others.empty());
        size_t at = 0;
        for (const std::string& link : c.links) {
            at = page.find("class=\"other\" href=\"" + link + "\"", at);
            ASSERT_NE(at, std::string::npos) << link;
            EXPECT_EQ(wire::canvasIDFromLink(link), c.others[&link - c.links.data()]);
        }
        size_t count = 0;
        for (size_t p = page.find("class=\"other\""); p != std::string::npos;
             p = page.find("class=\"other\"", p + 1)) {
            ++count;
        }
        EXPECT_EQ(count, c.others.size());
    }
}

TEST(Html, FrontPageEscapesEveryArgumentAndLoadsNothingButPictures) {
    const std::string id = "<script>alert(1)</script>\"'&@20101201095959123";
    const CanvasCard cards[] = {
        {id, "http://x/r.png?a=1&b=\"onerror=\"alert(2)", "http://x/?v:<i>", "http://x/d\"<i>"},
        {"anna@20101201095959123", "http://x/anna.png", "http://x/?v:0wSJIGK"},
    };
    const std::string page = frontPage("1.<2>", "http://x/\"><script>", cards);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("\"onerror"), std::string::npos);
    EXPECT_EQ(page.find("<i>"), std::string::npos);
    EXPECT_NE(page.find("version 1.&lt;2&gt;"), std::string::npos);
    EXPECT_NE(page.find("velmorastra --server http://x/&quot;&gt;&lt;script&gt;"),
              std::string::npos);
    EXPECT_NE(page.find("<li><a href=\"http://x/?v:&lt;i&gt;\"><img "
                        "src=\"http://x/r.png?a=1&amp;b=&quot;onerror=&quot;alert(2)\""),
              std::string::npos);
    EXPECT_NE(page.find("<br>&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp;@"),
              std::string::npos);
    EXPECT_NE(page.find("&amp;@20101201095959123</a><br><a class=\"draw\" "
                        "href=\"http://x/d&quot;&lt;i&gt;\">Draw in the browser</a></li>"),
              std::string::npos);
    EXPECT_EQ(page.find("Draw in the browser"), page.rfind("Draw in the browser"));
    EXPECT_LT(page.find("http://x/r.png"), page.find("http://x/anna.png"));
    // Nothing but the pictures is loaded: no frame, object or style sheet from elsewhere.
    for (const char* tag : {"<iframe", "<object", "<embed", "<link", "<base"}) {
        EXPECT_EQ(page.find(tag), std::string::npos) << tag;
    }
    EXPECT_EQ(frontPage("0.1", "http://x/", {}).find("<ul"), std::string::npos);
}

} // namespace
} // namespace velmo::server
