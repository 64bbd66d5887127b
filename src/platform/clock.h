#pragma once

namespace velmo::platform {

// Wall-clock time. Tests use a clock they set.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00 UTC, with a fractional part.
    virtual double now() const = 0;
};

} // namespace velmo::platform
