#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmo::server {

enum class LogFormat { Text, Json };

// One line per request. Text: client address, method and target (bytes outside printable
// ASCII shown as \xNN, at most 200 of them), status, body bytes and handling time, then the
// reason of a refusal in quotes when there is one. Json: one object a line with "time" (ISO
// 8601 UTC to the millisecond, from `unix_ms`), "address", "method", "route" (the target
// without its query, at most 200 bytes), "status", "bytes", "duration_ms" and "reason" when
// there is one; bytes that are not UTF-8 become U+FFFD, so any request gives valid JSON.
std::string accessLogLine(LogFormat format, std::string_view client, std::string_view method,
                          std::string_view target, int status, size_t body_bytes, double ms,
                          std::string_view reason = {}, int64_t unix_ms = -1);

// `text` as the contents of a JSON string: quotes, backslashes and control bytes escaped,
// invalid UTF-8 replaced by U+FFFD, appended to `out`.
void appendJsonString(std::string& out, std::string_view text);

// Writes a whole line to stderr; lines from several threads never interleave.
void writeLogLine(const std::string& line);

} // namespace velmo::server
