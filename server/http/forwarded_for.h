#pragma once

#include <string>
#include <string_view>

namespace velmo::server {

// The client a trusted proxy speaks for: the last address of its X-Forwarded-For header (the
// one the proxy itself appended; earlier ones are the client's own word). `fallback` (the
// proxy's address) when the header is absent, empty, or its last entry is not an IP address
// in text (digits, hex letters, '.', ':', at most 45 bytes), so a request can never take a
// made-up name for its limits or the log.
std::string forwardedClient(std::string_view header, std::string_view fallback);

} // namespace velmo::server
