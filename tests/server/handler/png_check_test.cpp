#include "handler/png_check.h"

#include "handler/limits.h"
#include "png/png_encoder.h"
#include "support/png_test_files.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

using testing::pngChunk;
using testing::pngWithHeader;

std::optional<PngProblem> problem(const std::string& bytes) {
    const auto result = checkPng(bytes);
    if (const auto* p = std::get_if<PngProblem>(&result)) {
        return *p;
    }
    return std::nullopt;
}

TEST(PngCheck, AcceptsAnEncodedPictureAndReportsItsSize) {
    const auto png = png::encodePng(canvas::Surface(64, 96, canvas::OpaqueWhite));
    ASSERT_TRUE(png);
    const auto result = checkPng(*png);
    ASSERT_TRUE(std::holds_alternative<PngSize>(result));
    EXPECT_EQ(std::get<PngSize>(result).width, 64u);
    EXPECT_EQ(std::get<PngSize>(result).height, 96u);
}

TEST(PngCheck, BoundsComeFromTheHeaderBeforeAnyDecoding) {
    EXPECT_EQ(problem(pngWithHeader(4096, 4096)), std::nullopt);
    EXPECT_EQ(problem(pngWithHeader(4097, 4096)), PngProblem::TooManyPixels);
    EXPECT_EQ(problem(pngWithHeader(8193, 1)), PngProblem::TooManyPixels);
    EXPECT_EQ(problem(pngWithHeader(0x7FFFFFFF, 0x7FFFFFFF)), PngProblem::TooManyPixels);
    EXPECT_EQ(problem(std::string(MaxUploadImage + 1, 'x')), PngProblem::TooLarge);
}

TEST(PngCheck, RefusesWhatIsNotOneWellFormedPng) {
    const std::string good = pngWithHeader(10, 10);
    EXPECT_EQ(problem(good), std::nullopt);
    EXPECT_EQ(problem("GIF89a"), PngProblem::NotPng);
    EXPECT_EQ(problem(""), PngProblem::NotPng);
    EXPECT_EQ(problem(good.substr(0, 8)), PngProblem::Malformed);
    EXPECT_EQ(problem(good.substr(0, good.size() - 1)), PngProblem::Malformed);
    EXPECT_EQ(problem(good + "trailing"), PngProblem::Malformed);
    std::string bad_crc = good;
    bad_crc[8 + 8 + 13] ^= 1; // first CRC byte of IHDR
    EXPECT_EQ(problem(bad_crc), PngProblem::Malformed);
    EXPECT_EQ(problem(pngWithHeader(0, 10)), PngProblem::Malformed);
    EXPECT_EQ(problem(pngWithHeader(10, 10, 7, 6)), PngProblem::Malformed); // bad depth
    EXPECT_EQ(problem(pngWithHeader(10, 10, 8, 5)), PngProblem::Malformed); // bad colour type
    EXPECT_EQ(problem(pngWithHeader(10, 10, 8, 3)), PngProblem::Malformed); // palette missing
    const std::string sig("\x89PNG\r\n\x1a\n", 8);
    EXPECT_EQ(problem(sig + pngChunk("IEND", "")), PngProblem::Malformed); // no IHDR
    // A chunk length pointing far beyond the data.
    std::string huge = good;
    huge[8 + 13 + 12] = '\x7f';
    EXPECT_EQ(problem(huge), PngProblem::Malformed);
}

} // namespace
} // namespace velmo::server
