#pragma once

#include <string>
#include <string_view>

namespace velmo::server {

// SHA-256 of `bytes` (libcrypto) as 64 lower-case hexadecimal digits. Hosted images are named
// by it, so nobody can make another picture appear under an existing name, and the server keeps
// users' keys only as it.
std::string sha256Hex(std::string_view bytes);

} // namespace velmo::server
