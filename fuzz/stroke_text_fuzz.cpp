#include "canvas/stroke_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any bytes decode to a stroke; a stroke decoded from text encodes to a text that decodes to
// the same stroke (the encoding may normalise, the record must not change).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto stroke = velmo::canvas::stroke_from_text(text, 0.001f);
    if (stroke.points_x.size() != stroke.points_y.size()) {
        std::abort();
    }
    if (stroke.user_name.find(' ') == std::string::npos) {
        const auto again =
            velmo::canvas::stroke_from_text(velmo::canvas::stroke_to_text(stroke), 0.001f);
        if (!(again == stroke)) {
            std::abort();
        }
    }
    return 0;
}
