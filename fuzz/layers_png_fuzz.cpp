#include "png/layers_png.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any bytes give nothing or layers within the bounds, opaque, of one size, whose file written
// again reads back the same.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo;
    const auto decoded =
        png::decodeLayersPng(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded) {
        return 0;
    }
    const canvas::Surface& first = decoded->layers[0];
    if (first.empty() || first.width() > png::MaxLayersWidth ||
        first.height() > png::MaxLayersHeight || decoded->through < 0 || decoded->strokes < 0) {
        std::abort();
    }
    for (const canvas::Surface& layer : decoded->layers) {
        if (layer.width() != first.width() || layer.height() != first.height()) {
            std::abort();
        }
        for (int y = 0; y < layer.height(); ++y) {
            for (int x = 0; x < layer.width(); ++x) {
                if (canvas::unpackPixel(layer.at(x, y)).a != 255) {
                    std::abort();
                }
            }
        }
    }
    const auto again = png::encodeLayersPng(decoded->layers, decoded->through, decoded->strokes);
    if (!again || png::decodeLayersPng(*again) != decoded) {
        std::abort();
    }
    return 0;
}
