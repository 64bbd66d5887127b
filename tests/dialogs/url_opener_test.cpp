#include "dialogs/url_opener.h"

#include <gtest/gtest.h>

namespace velmo::dialogs {
namespace {

TEST(UrlOpener, SharingURLsAreWholeURLs) {
    const auto mail = openableURL("mailto:?body=http://127.0.0.1:8640/?v:a1B2c3D");
    ASSERT_TRUE(mail.has_value());
    EXPECT_EQ(mail->scheme(), "mailto");
    EXPECT_EQ(mail->query(QUrl::FullyDecoded), "body=http://127.0.0.1:8640/?v:a1B2c3D");

    const auto post =
        openableURL("tweetie:///post?message=http%3A%2F%2F127.0.0.1%3A8640%2F%3Fv%3Aa1B2c3D");
    ASSERT_TRUE(post.has_value());
    EXPECT_EQ(post->scheme(), "tweetie");
    EXPECT_EQ(post->path(), "/post");

    const auto web = openableURL("https://twitter.com/home?status=http%3A%2F%2Fh%2F%3Fv%3Aabc");
    ASSERT_TRUE(web.has_value());
    EXPECT_EQ(web->host(), "twitter.com");
}

TEST(UrlOpener, BrokenTextsOpenNothing) {
    for (const char* text : {"", "no scheme at all", "http://exa mple.com/", "mailto:%zz"}) {
        EXPECT_FALSE(openableURL(QString::fromUtf8(text)).has_value()) << text;
    }
}

} // namespace
} // namespace velmo::dialogs
