#include "handler/token_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace velmo::server {
namespace {

TEST(TokenFile, TheTokenIsTheFileWithoutTheWhiteSpaceAroundIt) {
    testing::TempDir dir;
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(dir.file(name), std::ios::binary) << text;
        return dir.file(name);
    };
    struct Case {
        std::string text;
        size_t min_bytes;
        std::optional<std::string> token; // nothing: refused
        std::string said = "";            // in the refusal
    };
    const Case cases[] = {
        {"  tok en\n\n", 1, "tok en"},
        {"abc", 1, "abc"},
        {"\r\n0123456789abcdef\r\n", 16, "0123456789abcdef"},
        {std::string(MaxTokenBytes, 'x'), 16, std::string(MaxTokenBytes, 'x')},
        {" \n\t\n", 1, std::nullopt, "is empty"},
        {"", 16, std::nullopt, "is empty"},
        // Counted without the white space: a short token padded out is still short.
        {"  short-token    \n", 16, std::nullopt, "at least 16 bytes"},
        {std::string(MaxTokenBytes + 1, 'x'), 1, std::nullopt, "more than 4096 bytes"},
        {std::string(5000, ' ') + "abc", 1, std::nullopt, "more than 4096 bytes"},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const std::string path = write("token" + std::to_string(i), c.text);
        std::string error;
        const auto token = readTokenFile("--some-token-file", path, c.min_bytes, &error);
        EXPECT_EQ(token, c.token) << i;
        if (!c.token) {
            EXPECT_NE(error.find(c.said), std::string::npos) << i << ": " << error;
            EXPECT_EQ(error.rfind("--some-token-file " + path + ": ", 0), 0u) << error;
        }
    }
    std::string error;
    EXPECT_FALSE(readTokenFile("--admin-token-file", dir.file("missing"), 16, &error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
    EXPECT_EQ(error.rfind("--admin-token-file ", 0), 0u) << error;
}

} // namespace
} // namespace velmo::server
