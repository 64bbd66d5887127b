#include "imagehost/gyazo_client.h"

#include "png/png_encoder.h"
#include "support/fake_clock.h"
#include "support/scripted_http.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::imagehost {
namespace {

constexpr double March4th2010 = 1267679167.25; // 2010-03-04 05:06:07.250 GMT
const char* const UploadURL = "http://127.0.0.1:8640/upload.cgi";

class GyazoClientTest : public ::testing::Test {
protected:
    testing::FakeClock clock{March4th2010};
    testing::ScriptedHttp http;
    GyazoClient client{http, clock, UploadURL};
    canvas::Surface picture{4, 6, canvas::makePixel(255, 1, 2, 3)};
};

std::string header(const platform::HttpRequest& request, const std::string& name) {
    for (const auto& [key, value] : request.headers) {
        if (key == name) {
            return value;
        }
    }
    return "<none>";
}

TEST_F(GyazoClientTest, PostsTheMultipartBodyByteForByte) {
    http.scriptSync("http://i.example/abc.png");
    EXPECT_EQ(client.getURLOfImage(picture), "http://i.example/abc.png");

    ASSERT_EQ(http.sync_requests.size(), 1u);
    const auto& request = http.sync_requests[0];
    const std::string png = *png::encodePng(picture);
    const std::string expected = "------BOUNDARYBOUNDARY----\r\n"
                                 "content-disposition: form-data; name=\"id\"\r\n"
                                 "\r\n"
                                 "20100304050607\r\n"
                                 "------BOUNDARYBOUNDARY----\r\n"
                                 "content-disposition: form-data; name=\"version\"\r\n"
                                 "\r\n"
                                 "0.4\r\n"
                                 "------BOUNDARYBOUNDARY----\r\n"
                                 "content-disposition: form-data; name=\"imagedata\"\r\n"
                                 "\r\n" +
                                 png + "\r\n------BOUNDARYBOUNDARY------\r\n";
    EXPECT_EQ(request.body, expected);
    EXPECT_EQ(request.url, UploadURL);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.timeout_seconds, 3.0);
    EXPECT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(header(request, "Content-Length"), std::to_string(expected.size()));
    EXPECT_EQ(header(request, "Content-type"),
              "multipart/form-data; boundary=----BOUNDARYBOUNDARY----");
    EXPECT_EQ(client.image, picture);
}

TEST_F(GyazoClientTest, NamesTheUploadInGmtSeconds) {
    clock.set(1291197599.999); // 2010-12-01 09:59:59.999 GMT
    http.scriptSync("");
    client.getURLOfImage(picture);
    EXPECT_NE(http.sync_requests[0].body.find("\r\n\r\n20101201095959\r\n"), std::string::npos);
}

TEST_F(GyazoClientTest, EveryUploadStartsWithoutAResult) {
    http.scriptSync("http://i.example/first.png\r\n");
    http.scriptSync(std::nullopt);
    http.scriptSync("error page");
    EXPECT_EQ(client.getURLOfImage(picture), "http://i.example/first.png");
    EXPECT_EQ(client.getURLOfImage(picture), std::nullopt);
    EXPECT_EQ(client.resultURLString, std::nullopt);
    EXPECT_EQ(client.getURLOfImage(picture), std::nullopt);
}

TEST_F(GyazoClientTest, OnlyAnUploadTheHostTookGivesItsURL) {
    const struct {
        int status;
        std::optional<std::string> url;
    } cases[] = {
        {200, "https://i.example/a.png"},
        {201, "https://i.example/a.png"},
        {302, std::nullopt},
        {400, std::nullopt},
        {413, std::nullopt},
        {429, std::nullopt},
        {500, std::nullopt},
        {503, std::nullopt},
    };
    for (const auto& c : cases) {
        http.scriptSyncStatus({c.status, std::nullopt}, "https://i.example/a.png\r\n");
        EXPECT_EQ(client.getURLOfImage(picture), c.url) << c.status;
    }
}

TEST_F(GyazoClientTest, APictureThatCannotBeEncodedIsNotSent) {
    EXPECT_EQ(client.getURLOfImage(canvas::Surface()), std::nullopt);
    EXPECT_TRUE(http.sync_requests.empty());
}

TEST(GyazoEndpoint, DefaultsToTheCanvasServersOwnUploadPath) {
    EXPECT_EQ(defaultUploadURL("http://127.0.0.1:8640/"), "http://127.0.0.1:8640/upload.cgi");
    EXPECT_EQ(defaultUploadURL("https://example.org:9/canvas/?q"),
              "https://example.org:9/upload.cgi");
    EXPECT_EQ(defaultUploadURL("http://host"), "http://host/upload.cgi");
}

} // namespace
} // namespace velmo::imagehost
