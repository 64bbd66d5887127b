#pragma once

#include <cstdint>
#include <string>

namespace velmo::server {

// "2026-12-11T03:04:05.678Z": ISO 8601 in UTC to the millisecond, of ms since 1970.
std::string isoTime(int64_t unix_ms);

} // namespace velmo::server
