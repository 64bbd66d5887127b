#include "imagehost/upload_answer.h"
#include "text/utf8_text.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any answer gives nothing or one whole line of it that is an http or https URL.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view answer(reinterpret_cast<const char*>(data), size);
    const auto url = velmo::imagehost::readUploadAnswer(answer);
    if (!url) {
        return 0;
    }
    if ((!url->starts_with("http://") && !url->starts_with("https://")) ||
        url->find("\r\n") != std::string::npos || velmo::text::holdsLineTerminator(*url) ||
        !velmo::text::isValidUtf8(*url) || answer.find(*url) == std::string_view::npos) {
        std::abort();
    }
    return 0;
}
