#include "handler/multipart.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// The first line is taken as the Content-Type, the rest as the body. Parts must lie inside the
// body and never overlap or go backwards.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::server;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t eol = input.find('\n');
    const std::string_view content_type = input.substr(0, eol);
    const std::string_view body =
        eol == std::string_view::npos ? std::string_view() : input.substr(eol + 1);
    const auto boundary = multipartBoundary(content_type);
    if (boundary &&
        (boundary->empty() || boundary->size() > 70 || boundary->data() < content_type.data() ||
         boundary->data() + boundary->size() > content_type.data() + content_type.size())) {
        std::abort();
    }
    const auto parts = parseMultipart(body, boundary ? *boundary : std::string_view("B"));
    if (!parts) {
        return 0;
    }
    const char* previous_end = body.data();
    for (const FormPart& part : *parts) {
        if (part.data.data() < previous_end ||
            part.data.data() + part.data.size() > body.data() + body.size()) {
            std::abort();
        }
        previous_end = part.data.data() + part.data.size();
    }
    return 0;
}
