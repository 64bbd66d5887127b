#include "handler/iso_time.h"

#include <cstdio>
#include <ctime>

namespace velmo::server {

std::string isoTime(int64_t unix_ms) {
    const auto seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unix_ms % 1000));
    return text;
}

} // namespace velmo::server
