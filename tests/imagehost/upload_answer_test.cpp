#include "imagehost/upload_answer.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velmo::imagehost {
namespace {

TEST(UploadAnswer, TakesTheLastWholeLineThatIsAnHttpOrHttpsURL) {
    const struct {
        std::string answer;
        std::optional<std::string> url;
    } cases[] = {
        {"http://i.example/a.png", "http://i.example/a.png"},
        {"word\r\nhttp://i.example/a.png\r\nhttp://i.example/b.png\r\n", "http://i.example/b.png"},
        {"https://i.example/a.png", "https://i.example/a.png"},
        {"http://i.example/a.png\r\nhttps://i.example/b.png\r\n", "https://i.example/b.png"},
        {"https://i.example/a.png\r\nword", "https://i.example/a.png"},
        {"https:/i.example/a.png", std::nullopt},
        {"ftp://i.example/a.png", std::nullopt},
        {"HTTPS://i.example/a.png", std::nullopt},
        {"see http://i.example/a.png", std::nullopt},
        {"http://", "http://"},
        {"", std::nullopt},
        {"\r\n", std::nullopt},
        // Bare line feeds do not cut lines, and "." stops at them.
        {"http://i.example/a.png\nhttp://i.example/b.png", std::nullopt},
        {"http://i.example/a.png\n", std::nullopt},
        {"http://i.example/a.png\r", std::nullopt},
        {"http://a\r\n\r\nhttp://b\x0c", "http://a"},
        {"http://i.example/\xe2\x80\xa8", std::nullopt},
        {"http://i.example/\xc3\xa9", "http://i.example/\xc3\xa9"},
        // Not UTF-8: nothing is read at all.
        {"http://i.example/a.png\r\n\xff", std::nullopt},
        {"HTTP://i.example/a.png", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(readUploadAnswer(c.answer), c.url) << c.answer;
    }
}

} // namespace
} // namespace velmo::imagehost
