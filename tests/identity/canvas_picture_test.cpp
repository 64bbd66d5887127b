#include "identity/canvas_picture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>

namespace velmo::identity {
namespace {

using canvas::makePixel;
using canvas::Surface;

Surface randomOpaqueSurface(int width, int height, uint32_t seed) {
    std::mt19937 random(seed);
    Surface s(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            s.at(x, y) = makePixel(255, static_cast<uint8_t>(random()),
                                   static_cast<uint8_t>(random()), static_cast<uint8_t>(random()));
        }
    }
    return s;
}

TEST(CanvasPicture, ASameSizePictureIsAnExactCopy) {
    const Surface display = randomOpaqueSurface(FullImageWidth, FullImageHeight, 1);
    EXPECT_EQ(stretchedPicture(display, FullImageWidth, FullImageHeight), display);
}

TEST(CanvasPicture, AFifthInEachDirectionIsTheMeanOfEachBlock) {
    const Surface display = randomOpaqueSurface(320, 480, 2);
    const Surface thumbnail = stretchedPicture(display, ThumbnailWidth, ThumbnailHeight);
    ASSERT_EQ(thumbnail.width(), 64);
    ASSERT_EQ(thumbnail.height(), 96);
    for (const auto& [tx, ty] : {std::pair{0, 0}, std::pair{63, 95}, std::pair{17, 40}}) {
        int sums[3] = {0, 0, 0};
        for (int y = ty * 5; y < ty * 5 + 5; ++y) {
            for (int x = tx * 5; x < tx * 5 + 5; ++x) {
                const auto p = canvas::unpackPixel(display.at(x, y));
                sums[0] += p.r;
                sums[1] += p.g;
                sums[2] += p.b;
            }
        }
        const auto p = canvas::unpackPixel(thumbnail.at(tx, ty));
        EXPECT_EQ(p.a, 255);
        EXPECT_NEAR(p.r, sums[0] / 25.0, 0.5 + 1e-9);
        EXPECT_NEAR(p.g, sums[1] / 25.0, 0.5 + 1e-9);
        EXPECT_NEAR(p.b, sums[2] / 25.0, 0.5 + 1e-9);
    }
}

TEST(CanvasPicture, StretchesEachAxisOnItsOwn) {
    // A 768 x 1024 display: left half red, right half blue, a black bottom quarter.
    Surface display(768, 1024, makePixel(255, 255, 0, 0));
    for (int y = 0; y < 1024; ++y) {
        for (int x = 384; x < 768; ++x) {
            display.at(x, y) = makePixel(255, 0, 0, 255);
        }
    }
    for (int y = 768; y < 1024; ++y) {
        for (int x = 0; x < 768; ++x) {
            display.at(x, y) = makePixel(255, 0, 0, 0);
        }
    }
    const Surface full = stretchedPicture(display, 320, 480);
    EXPECT_EQ(full.at(159, 0), makePixel(255, 255, 0, 0));
    EXPECT_EQ(full.at(160, 0), makePixel(255, 0, 0, 255));
    EXPECT_EQ(full.at(0, 359), makePixel(255, 255, 0, 0));
    EXPECT_EQ(full.at(0, 360), makePixel(255, 0, 0, 0));
    EXPECT_EQ(full.at(319, 479), makePixel(255, 0, 0, 0));
}

TEST(CanvasPicture, EnlargesASmallCanvasAndSurvivesEmptyInput) {
    const Surface tiny(32, 48, makePixel(255, 10, 20, 30));
    const Surface full = stretchedPicture(tiny, 320, 480);
    EXPECT_EQ(full, Surface(320, 480, makePixel(255, 10, 20, 30)));
    EXPECT_EQ(stretchedPicture(Surface(), 64, 96), Surface(64, 96));
    EXPECT_TRUE(stretchedPicture(tiny, 0, 96).empty());
}

} // namespace
} // namespace velmo::identity
