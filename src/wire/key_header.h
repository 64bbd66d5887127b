#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The request header by which a client proves that a user ID is its own: the user ID, one
// space, and the secret key it made for that ID in hexadecimal. The server keeps only a hash
// of the key; the first key that comes for a user name binds the name to it.
inline constexpr std::string_view KeyHeaderName = "Velmorastra-Key";
// Key sizes in bytes: at least 128 bits, and a bound on what the server hashes.
inline constexpr size_t MinKeyBytes = 16;
inline constexpr size_t MaxKeyBytes = 64;

struct KeyHeader {
    std::string user_id;
    std::string key; // the key's bytes, decoded from hexadecimal

    bool operator==(const KeyHeader&) const = default;
};

// Reads a header value. Total: nothing unless the value is a user name as a command may carry
// it (1 to MaxUserName bytes, no control byte), a space, and an even number of hexadecimal
// digits (either case) for MinKeyBytes to MaxKeyBytes bytes.
std::optional<KeyHeader> parseKeyHeader(std::string_view value);

// The header value for `user_id` and the key's bytes, digits in lower case.
std::string keyHeaderValue(std::string_view user_id, std::string_view key);

} // namespace velmo::wire
