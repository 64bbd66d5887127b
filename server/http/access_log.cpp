#include "http/access_log.h"

#include <cstdio>
#include <mutex>

namespace velmo::server {
namespace {

constexpr size_t MaxLoggedTarget = 200;

void appendPrintable(std::string& out, std::string_view text) {
    static constexpr char Hex[] = "0123456789abcdef";
    for (const char c : text.substr(0, MaxLoggedTarget)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7F || c == '"' || c == '\\') {
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 15];
        } else {
            out += c;
        }
    }
    if (text.size() > MaxLoggedTarget) {
        out += "...";
    }
}

} // namespace

std::string accessLogLine(std::string_view client, std::string_view method, std::string_view target,
                          int status, size_t body_bytes, double ms, std::string_view reason) {
    std::string line(client);
    line += " \"";
    appendPrintable(line, method);
    line += ' ';
    appendPrintable(line, target);
    line += "\" ";
    line += std::to_string(status);
    line += ' ';
    line += std::to_string(body_bytes);
    char timing[32];
    std::snprintf(timing, sizeof timing, " %.2fms", ms);
    line += timing;
    if (!reason.empty()) {
        line += " \"";
        appendPrintable(line, reason);
        line += '"';
    }
    line += '\n';
    return line;
}

void writeLogLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace velmo::server
