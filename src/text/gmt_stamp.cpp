#include "text/gmt_stamp.h"

#include <chrono>
#include <cstdio>

namespace velmo::text {
namespace {

int64_t floorDiv(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

std::string format(double seconds, bool with_millis) {
    // Clocks far outside any calendar are clamped rather than overflowing the conversion.
    constexpr double Limit = 2.5e14; // about 7900 years either side of 1970
    const double ms_double = seconds * 1000.0;
    const int64_t ms = ms_double > Limit        ? static_cast<int64_t>(Limit)
                       : ms_double < -Limit     ? static_cast<int64_t>(-Limit)
                       : ms_double == ms_double ? static_cast<int64_t>(ms_double)
                                                : 0;
    const int64_t day_ms = 86400000;
    const int64_t days = floorDiv(ms, day_ms);
    const int64_t in_day = ms - days * day_ms;
    const std::chrono::year_month_day date{
        std::chrono::sys_days{std::chrono::days{static_cast<int>(days)}}};
    char text[48];
    const int hour = static_cast<int>(in_day / 3600000);
    const int minute = static_cast<int>(in_day / 60000 % 60);
    const int second = static_cast<int>(in_day / 1000 % 60);
    const int millis = static_cast<int>(in_day % 1000);
    const int length =
        with_millis
            ? std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d%03d",
                            static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                            static_cast<unsigned>(date.day()), hour, minute, second, millis)
            : std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02d",
                            static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                            static_cast<unsigned>(date.day()), hour, minute, second);
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

} // namespace

std::string gmtStampMillis(double seconds) {
    return format(seconds, true);
}
std::string gmtStampSeconds(double seconds) {
    return format(seconds, false);
}

} // namespace velmo::text
