#pragma once

#include <string>
#include <string_view>

namespace velmo::server {

// One line per request: client address, method and target (bytes outside printable ASCII
// shown as \xNN, at most 200 of them), status, body bytes and handling time, then the reason
// of a refusal in quotes when there is one.
std::string accessLogLine(std::string_view client, std::string_view method, std::string_view target,
                          int status, size_t body_bytes, double ms, std::string_view reason = {});

// Writes a whole line to stderr; lines from several threads never interleave.
void writeLogLine(const std::string& line);

} // namespace velmo::server
