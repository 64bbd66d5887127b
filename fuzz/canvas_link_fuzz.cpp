#include "identity/canvas_identity.h"
#include "text/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Links and hand-typed canvas IDs: a link names valid UTF-8 or nothing; a date code, when
// there is one, is seven base-62 digits.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto canvas_id = velmo::identity::canvasIDFromLink(text);
    if (canvas_id && !velmo::text::isValidUtf8(*canvas_id)) {
        std::abort();
    }
    for (const auto& code : {velmo::identity::dateID(text),
                             canvas_id ? velmo::identity::dateID(*canvas_id) : std::nullopt}) {
        if (!code) {
            continue;
        }
        if (code->size() != 7) {
            std::abort();
        }
        for (const char c : *code) {
            const bool digit =
                (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!digit) {
                std::abort();
            }
        }
    }
    return 0;
}
