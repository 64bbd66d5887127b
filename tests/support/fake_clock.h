#pragma once

#include "platform/clock.h"

namespace velmo::testing {

// A clock that only moves when the test says so.
class FakeClock : public platform::Clock {
public:
    explicit FakeClock(double seconds = 1291201234.567) : seconds_(seconds) {}
    double now() const override { return seconds_; }
    void set(double seconds) { seconds_ = seconds; }
    void advance(double seconds) { seconds_ += seconds; }

private:
    double seconds_;
};

} // namespace velmo::testing
