#include "identity/canvas_picture.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace velmo::identity {
namespace {

struct Tap {
    int index;
    double weight;
};

// For each of `to` target cells, the source cells under it and how much of each, as
// fractions of the target cell.
std::vector<std::vector<Tap>> areaTaps(int from, int to) {
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(to));
    const double scale = static_cast<double>(from) / to;
    for (int i = 0; i < to; ++i) {
        const double lo = i * scale;
        const double hi = (i + 1) * scale;
        const int first = static_cast<int>(std::floor(lo));
        const int last = std::min(from - 1, static_cast<int>(std::ceil(hi)) - 1);
        for (int j = first; j <= last; ++j) {
            const double weight = std::min(hi, j + 1.0) - std::max(lo, static_cast<double>(j));
            if (weight > 0) {
                taps[static_cast<size_t>(i)].push_back({j, weight / scale});
            }
        }
    }
    return taps;
}

uint8_t toByte(double value) {
    return static_cast<uint8_t>(std::clamp(std::lround(value), 0L, 255L));
}

} // namespace

canvas::Surface stretchedPicture(const canvas::Surface& source, int width, int height) {
    if (width <= 0 || height <= 0) {
        return {};
    }
    canvas::Surface picture(width, height, canvas::Transparent);
    if (source.empty()) {
        return picture;
    }
    const auto columns = areaTaps(source.width(), width);
    const auto rows = areaTaps(source.height(), height);

    // Horizontal pass into a source-height strip of doubles, then the vertical pass.
    std::vector<double> strip(static_cast<size_t>(width) * source.height() * 4, 0.0);
    for (int y = 0; y < source.height(); ++y) {
        const canvas::Pixel* row = source.row(y);
        for (int x = 0; x < width; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (const Tap& tap : columns[static_cast<size_t>(x)]) {
                const canvas::Argb p = canvas::unpackPixel(row[tap.index]);
                sum[0] += p.a * tap.weight;
                sum[1] += p.r * tap.weight;
                sum[2] += p.g * tap.weight;
                sum[3] += p.b * tap.weight;
            }
            std::copy(sum, sum + 4, strip.begin() + (static_cast<size_t>(y) * width + x) * 4);
        }
    }
    for (int y = 0; y < height; ++y) {
        canvas::Pixel* out = picture.row(y);
        for (int x = 0; x < width; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (const Tap& tap : rows[static_cast<size_t>(y)]) {
                const double* p = strip.data() + (static_cast<size_t>(tap.index) * width + x) * 4;
                for (int c = 0; c < 4; ++c) {
                    sum[c] += p[c] * tap.weight;
                }
            }
            out[x] =
                canvas::makePixel(toByte(sum[0]), toByte(sum[1]), toByte(sum[2]), toByte(sum[3]));
        }
    }
    return picture;
}

} // namespace velmo::identity
