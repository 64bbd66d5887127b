#include "text/utf8_text.h"
#include "wire/canvas_link.h"
#include "wire/date_id.h"
#include "wire/percent_codec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace velmo;

// A date code, when there is one, is seven base-62 digits.
void checkDateID(std::string_view canvas_id) {
    const auto code = wire::dateID(canvas_id);
    if (!code) {
        return;
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

} // namespace

// Links and hand-typed canvas IDs: a link names valid UTF-8 or nothing, and nothing whenever
// its escapes are malformed; percent encoding round-trips any bytes; an encoded UTF-8 ID
// behind the prefix is read back unchanged.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto canvas_id = wire::canvasIDFromLink(text);
    if (canvas_id && !text::isValidUtf8(*canvas_id)) {
        std::abort();
    }
    if (canvas_id && !wire::percentDecode(text)) {
        std::abort();
    }
    checkDateID(text);
    if (canvas_id) {
        checkDateID(*canvas_id);
    }

    const std::string encoded = wire::percentEncode(text);
    if (wire::percentDecode(encoded) != text) {
        std::abort();
    }
    if (text::isValidUtf8(text) &&
        wire::canvasIDFromLink(std::string(wire::LinkPrefix) + encoded) != text) {
        std::abort();
    }
    return 0;
}
