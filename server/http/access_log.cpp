#include "http/access_log.h"

#include "handler/iso_time.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace velmo::server {
namespace {

constexpr size_t MaxLoggedTarget = 200;
constexpr char Hex[] = "0123456789abcdef";

void appendPrintable(std::string& out, std::string_view text) {
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

// The length of the well-formed UTF-8 sequence at the start of `text` (no overlong forms,
// no surrogates, nothing above U+10FFFF); 0 when there is none.
size_t utf8Sequence(std::string_view text) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    size_t size = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < size || at(1) < low || at(1) > high) {
        return 0;
    }
    for (size_t i = 2; i < size; ++i) {
        if (at(i) < 0x80 || at(i) > 0xBF) {
            return 0;
        }
    }
    return size;
}

void appendJsonField(std::string& out, const char* name, std::string_view value) {
    out += ",\"";
    out += name;
    out += "\":\"";
    appendJsonString(out, value);
    out += '"';
}

std::string jsonLine(std::string_view client, std::string_view method, std::string_view target,
                     int status, size_t body_bytes, double ms, std::string_view reason,
                     int64_t unix_ms) {
    if (unix_ms < 0) {
        unix_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
    }
    std::string line = "{\"time\":\"" + isoTime(unix_ms) + '"';
    appendJsonField(line, "address", client);
    appendJsonField(line, "method", method.substr(0, MaxLoggedTarget));
    appendJsonField(line, "route", target.substr(0, target.find('?')).substr(0, MaxLoggedTarget));
    line += ",\"status\":" + std::to_string(status);
    line += ",\"bytes\":" + std::to_string(body_bytes);
    char timing[48];
    std::snprintf(timing, sizeof timing, ",\"duration_ms\":%.2f", ms);
    line += timing;
    if (!reason.empty()) {
        appendJsonField(line, "reason", reason);
    }
    line += "}\n";
    return line;
}

} // namespace

void appendJsonString(std::string& out, std::string_view text) {
    while (!text.empty()) {
        const size_t size = utf8Sequence(text);
        if (size == 0) {
            out += "\xEF\xBF\xBD";
            text.remove_prefix(1);
            continue;
        }
        const auto byte = static_cast<unsigned char>(text[0]);
        if (size > 1) {
            out.append(text.substr(0, size));
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20 || byte == 0x7F) {
            out += "\\u00";
            out += Hex[byte >> 4];
            out += Hex[byte & 15];
        } else {
            out += static_cast<char>(byte);
        }
        text.remove_prefix(size);
    }
}

std::string accessLogLine(LogFormat format, std::string_view client, std::string_view method,
                          std::string_view target, int status, size_t body_bytes, double ms,
                          std::string_view reason, int64_t unix_ms) {
    if (format == LogFormat::Json) {
        return jsonLine(client, method, target, status, body_bytes, ms, reason, unix_ms);
    }
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
