#include "handler/limits.h"
#include "handler/png_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any bytes give a size within the bounds or a problem; nothing is read past the end.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::server;
    const auto result = checkPng(std::string_view(reinterpret_cast<const char*>(data), size));
    if (const auto* png = std::get_if<PngSize>(&result)) {
        if (png->width == 0 || png->height == 0 || png->width > MaxImageSide ||
            png->height > MaxImageSide || uint64_t{png->width} * png->height > MaxImagePixels) {
            std::abort();
        }
    }
    return 0;
}
