#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace velmo::server {

// One field of a multipart/form-data body; views into the body given to parseMultipart.
struct FormPart {
    std::string_view name; // the name parameter of its content-disposition, may be empty
    std::string_view data;
};

// The boundary parameter of a "multipart/form-data; boundary=..." content type (media type and
// parameter names in any case, the value plain or quoted). Nothing for another type or a
// boundary that is empty or longer than 70 bytes.
std::optional<std::string_view> multipartBoundary(std::string_view content_type);

// Splits a multipart body into its parts. Total: nothing when the body is not one well formed
// multipart body with its closing delimiter, or has more than 64 parts.
std::optional<std::vector<FormPart>> parseMultipart(std::string_view body,
                                                    std::string_view boundary);

} // namespace velmo::server
