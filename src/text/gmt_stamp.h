#pragma once

#include <cstdint>
#include <string>

namespace velmo::text {

// The GMT calendar time of `seconds` since 1970 in ASCII digits: "yyyyMMddHHmmssSSS" (17
// digits) with milliseconds, "yyyyMMddHHmmss" (14) without. Milliseconds are those of the
// client-time rule, seconds x 1000.0 truncated, so an ID made at the same moment as a stroke
// names the same millisecond. Years beyond 9999 take more digits.
std::string gmtStampMillis(double seconds);
std::string gmtStampSeconds(double seconds);

} // namespace velmo::text
