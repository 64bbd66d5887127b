#pragma once

#include <charconv>
#include <string>
#include <string_view>

namespace velmo::server {

// `data` framed as one chunk of a chunked body; nothing for no data, since an empty chunk ends
// the body.
inline std::string chunk(std::string_view data) {
    if (data.empty()) {
        return {};
    }
    std::string framed;
    framed.reserve(data.size() + 20);
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, data.size(), 16).ptr;
    framed.append(digits, end);
    framed += "\r\n";
    framed += data;
    framed += "\r\n";
    return framed;
}

} // namespace velmo::server
