#include "canvas/pixel_math.h"

#include <gtest/gtest.h>

#include <cmath>

namespace velmo::canvas {
namespace {

TEST(PixelMath, UnpremultiplyRoundsToNearestAndPremultipliesBackExactly) {
    for (uint32_t alpha = 1; alpha <= 255; ++alpha) {
        for (uint32_t channel = 0; channel <= alpha; ++channel) {
            const uint8_t straight = unpremultiply(channel, alpha);
            // Halves round up, as lround does for positive values (1 / 2 is 127.5, so 128).
            const auto nearest = static_cast<long>(std::lround(channel * 255.0 / alpha));
            ASSERT_EQ(straight, nearest) << channel << " / " << alpha;
            ASSERT_EQ(mul255(straight, alpha), channel) << channel << " / " << alpha;
        }
    }
}

TEST(PixelMath, UnpremultiplyOfTransparentOrOutOfRangeChannels) {
    const struct {
        uint32_t channel, alpha;
        uint8_t straight;
    } cases[] = {
        {0, 0, 0},       {255, 0, 0},    // nothing to divide by: black
        {255, 255, 255}, {0, 255, 0},    // opaque: unchanged
        {128, 128, 255}, {64, 128, 128}, // half-transparent white and grey
        {2, 1, 255},     {255, 1, 255},  // a channel above its alpha saturates
        {200, 100, 255},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unpremultiply(c.channel, c.alpha), c.straight) << c.channel << " / " << c.alpha;
    }
}

} // namespace
} // namespace velmo::canvas
