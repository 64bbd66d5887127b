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

// An operator's bearer token, kept as its hash: whether an Authorization header value
// ("Bearer" in any case, white space, the token) brings it, compared in constant time.
// Immutable after construction, so any thread may ask.
class BearerToken {
public:
    // None: no header brings it.
    BearerToken() = default;
    // `token` empty: none.
    explicit BearerToken(std::string_view token);

    bool empty() const { return hash_.empty(); }
    bool broughtBy(std::string_view authorization) const;

private:
    std::string hash_;
};

} // namespace velmo::server
