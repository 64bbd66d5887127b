#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::server {

// The longest bearer token read from a file or taken from an Authorization header.
constexpr size_t MaxTokenBytes = 4096;

// A bearer token the operator keeps in a file (--admin-token-file, --metrics-token-file): the
// file's contents without the white space around them. Nothing, with a message naming
// `option` and the file, when the file cannot be read, holds more than MaxTokenBytes, or the
// token is empty or shorter than `min_bytes`. Reads no more than MaxTokenBytes and a chunk,
// whatever the file holds.
std::optional<std::string> readTokenFile(std::string_view option, const std::string& path,
                                         size_t min_bytes, std::string* error);

} // namespace velmo::server
