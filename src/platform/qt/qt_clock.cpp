#include "platform/qt/qt_clock.h"

#include <chrono>

namespace velmo::platform::qt {

double QtClock::now() const {
    // Microseconds keep the fraction that client times in milliseconds need.
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count()) /
           1e6;
}

} // namespace velmo::platform::qt
