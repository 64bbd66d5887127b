#pragma once

#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

namespace velmo::server {

// What goes before `size` bytes of data to frame them as one chunk; "\r\n" goes after them.
// Lets a large piece be sent framed without a copy of it.
inline std::string chunkHead(size_t size) {
    char digits[20];
    const auto end = std::to_chars(digits, digits + sizeof digits, size, 16).ptr;
    std::string head(digits, end);
    head += "\r\n";
    return head;
}

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
