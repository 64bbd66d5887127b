#include "png/png_bands.h"

#include "support/png_test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velmo::png {
namespace {

// A picture as plain rows of r, g, b bytes.
struct Rgb {
    int width;
    int height;
    std::vector<uint8_t> bytes;

    void row(int y, uint8_t* out) const {
        const size_t stride = static_cast<size_t>(width) * 3;
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(y * stride), stride, out);
    }
};

// Flat runs with noise in them, as a canvas looks: what run lengths and the filter meet.
Rgb randomPicture(std::mt19937& random, int width, int height) {
    Rgb picture{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 3, 255)};
    for (uint8_t& byte : picture.bytes) {
        if (random() % 4 == 0) {
            byte = static_cast<uint8_t>(random());
        }
    }
    return picture;
}

// The width and height a file's IHDR gives.
std::pair<int, int> sizeOf(const std::string& file) {
    const auto at = [&file](size_t i) {
        return static_cast<int>(
            static_cast<uint8_t>(file[i]) << 24 | static_cast<uint8_t>(file[i + 1]) << 16 |
            static_cast<uint8_t>(file[i + 2]) << 8 | static_cast<uint8_t>(file[i + 3]));
    };
    return {at(16), at(20)};
}

std::string fileOf(const Rgb& picture, int band_rows) {
    PngBands bands(picture.width, picture.height, band_rows);
    EXPECT_TRUE(bands.encode([&](int y, uint8_t* out) { picture.row(y, out); }));
    return bands.file();
}

TEST(PngBands, FilesDecodeToTheRowsGiven) {
    std::mt19937 random(20101201);
    const struct {
        int width;
        int height;
        int band_rows;
    } cases[] = {
        {1, 1, 16},  {1, 40, 16},    {37, 1, 16}, {64, 48, 16},
        {97, 61, 7}, {320, 480, 16}, {33, 33, 1}, {50, 10, 100},
    };
    for (const auto& c : cases) {
        const Rgb picture = randomPicture(random, c.width, c.height);
        const std::string file = fileOf(picture, c.band_rows);
        EXPECT_EQ(testing::rgbOfPng(file), picture.bytes)
            << c.width << " x " << c.height << " in bands of " << c.band_rows;
        EXPECT_EQ(sizeOf(file), std::make_pair(c.width, c.height));
    }
}

// The cache beside the truth: after any sequence of changes, the bands encoded again where
// marked give the file a fresh encoding of the picture gives, byte for byte.
TEST(PngBands, ChangedBandsEncodedAgainGiveTheFileOfTheWholePicture) {
    std::mt19937 random(20100704);
    for (int round = 0; round < 6; ++round) {
        const int width = 1 + static_cast<int>(random() % 80);
        const int height = 1 + static_cast<int>(random() % 90);
        const int band_rows = 1 + static_cast<int>(random() % 20);
        Rgb picture = randomPicture(random, width, height);
        PngBands bands(width, height, band_rows);
        const auto source = [&](int y, uint8_t* out) { picture.row(y, out); };
        ASSERT_TRUE(bands.encode(source));
        EXPECT_FALSE(bands.changed());
        for (int step = 0; step < 12; ++step) {
            // Rows top .. bottom - 1 change, sometimes only the last row of a band.
            const int top = static_cast<int>(random() % static_cast<unsigned>(height));
            const int bottom =
                std::min(height, top + 1 + static_cast<int>(random() % (step % 3 == 0 ? 1 : 12)));
            for (int y = top; y < bottom; ++y) {
                for (int x = 0; x < width * 3; ++x) {
                    picture.bytes[static_cast<size_t>(y * width * 3 + x)] =
                        static_cast<uint8_t>(random());
                }
            }
            bands.markChanged(top, bottom);
            EXPECT_TRUE(bands.changed());
            ASSERT_TRUE(bands.encode(source));
            ASSERT_EQ(bands.file("Key", "value"),
                      [&] {
                          PngBands fresh(width, height, band_rows);
                          EXPECT_TRUE(fresh.encode(source));
                          return fresh.file("Key", "value");
                      }())
                << "round " << round << " step " << step << ": rows " << top << " to " << bottom;
        }
        EXPECT_EQ(testing::rgbOfPng(bands.file()), picture.bytes);
    }
}

TEST(PngBands, MarksOnlyWhatIsInsideAndCountsItsMemory) {
    std::mt19937 random(7);
    const Rgb picture = randomPicture(random, 20, 40);
    PngBands bands(20, 40, 8);
    EXPECT_TRUE(bands.changed()); // nothing is encoded at first
    ASSERT_TRUE(bands.encode([&](int y, uint8_t* out) { picture.row(y, out); }));
    const struct {
        int top;
        int bottom;
        bool changed;
    } cases[] = {
        {-10, 0, false},                  // wholly above the picture
        {-10, 1, true},  {40, 50, false}, // wholly below
        {5, 5, false},                    // no row
        {39, 100, true},
    };
    for (const auto& c : cases) {
        PngBands copy = bands;
        copy.markChanged(c.top, c.bottom);
        EXPECT_EQ(copy.changed(), c.changed) << c.top << " to " << c.bottom;
    }
    EXPECT_GT(bands.memoryBytes(), bands.file().size() - 100);
}

} // namespace
} // namespace velmo::png
