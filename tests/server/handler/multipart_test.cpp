#include "handler/multipart.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::server {
namespace {

// The body the client builds, byte for byte.
std::string gyazoBody(const std::string& png) {
    const std::string b = "----BOUNDARYBOUNDARY----";
    return "--" + b + "\r\ncontent-disposition: form-data; name=\"id\"\r\n\r\n20100304050607\r\n" +
           "--" + b + "\r\ncontent-disposition: form-data; name=\"version\"\r\n\r\n0.4\r\n" + "--" +
           b + "\r\ncontent-disposition: form-data; name=\"imagedata\"\r\n\r\n" + png + "\r\n--" +
           b + "--\r\n";
}

TEST(Multipart, ReadsTheGyazoForm) {
    const auto boundary =
        multipartBoundary("multipart/form-data; boundary=----BOUNDARYBOUNDARY----");
    ASSERT_TRUE(boundary);
    EXPECT_EQ(*boundary, "----BOUNDARYBOUNDARY----");
    const std::string png = std::string("\x89PNG\r\n\x1a\n", 8) + "\r\n--not the boundary\r\n";
    const std::string body = gyazoBody(png);
    const auto parts = parseMultipart(body, *boundary);
    ASSERT_TRUE(parts);
    ASSERT_EQ(parts->size(), 3u);
    EXPECT_EQ((*parts)[0].name, "id");
    EXPECT_EQ((*parts)[0].data, "20100304050607");
    EXPECT_EQ((*parts)[1].name, "version");
    EXPECT_EQ((*parts)[1].data, "0.4");
    EXPECT_EQ((*parts)[2].name, "imagedata");
    EXPECT_EQ((*parts)[2].data, png);
}

TEST(Multipart, BoundaryParameterForms) {
    EXPECT_EQ(multipartBoundary("Multipart/Form-Data; Boundary=\"a;b c\""), "a;b c");
    EXPECT_EQ(multipartBoundary("multipart/form-data; charset=utf-8; boundary=xyz"), "xyz");
    EXPECT_EQ(multipartBoundary("multipart/form-data"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary="), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=" + std::string(71, 'b')),
              std::nullopt);
    EXPECT_EQ(multipartBoundary("text/plain; boundary=xyz"), std::nullopt);
    EXPECT_EQ(multipartBoundary("multipart/form-data; boundary=\"open"), std::nullopt);
}

TEST(Multipart, CurlStyleFormWithFileNameAndTypeAndPreamble) {
    const std::string body = "preamble\r\n--XYZ\r\nContent-Disposition: form-data; "
                             "name=\"imagedata\"; filename=\"a.png\"\r\nContent-Type: "
                             "image/png\r\n\r\nDATA\r\n--XYZ--\r\n";
    const auto parts = parseMultipart(body, "XYZ");
    ASSERT_TRUE(parts);
    ASSERT_EQ(parts->size(), 1u);
    EXPECT_EQ((*parts)[0].name, "imagedata");
    EXPECT_EQ((*parts)[0].data, "DATA");
}

TEST(Multipart, MalformedBodiesGiveNothing) {
    const char* bodies[] = {
        "",
        "--XYZ",
        "--XYZ\r\n",
        "--XYZ\r\nname: x\r\n\r\nno closing delimiter",
        "--XYZ\r\ncontent-disposition: form-data; name=\"a\"\r\nno blank line",
        "--XYZjunk\r\n\r\nx\r\n--XYZ--",
        "nothing like a form",
    };
    for (const char* body : bodies) {
        EXPECT_EQ(parseMultipart(body, "XYZ"), std::nullopt) << body;
    }
    std::string many;
    for (int i = 0; i < 65; ++i) {
        many += "--XYZ\r\n\r\nx\r\n";
    }
    many += "--XYZ--";
    EXPECT_EQ(parseMultipart(many, "XYZ"), std::nullopt);
}

} // namespace
} // namespace velmo::server
