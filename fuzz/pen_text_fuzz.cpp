#include "canvas/stroke_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any bytes decode to a pen, and a decoded pen survives its own text form.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto pen = velmo::canvas::pen_from_text(text, 0.0024f);
    if (!(velmo::canvas::pen_from_text(velmo::canvas::pen_to_text(pen), 0.0024f) == pen)) {
        std::abort();
    }
    return 0;
}
