#pragma once

#include "platform/clock.h"

namespace velmo::platform::qt {

// The system's wall clock.
class QtClock : public Clock {
public:
    double now() const override;
};

} // namespace velmo::platform::qt
