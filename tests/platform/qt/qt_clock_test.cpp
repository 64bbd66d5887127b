#include "platform/qt/qt_clock.h"

#include <gtest/gtest.h>

#include <chrono>

using velmo::platform::qt::QtClock;

TEST(QtClock, GivesSecondsSince1970WithAFraction) {
    const QtClock clock;
    const double expected =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const double now = clock.now();
    EXPECT_NEAR(now, expected, 1.0);
    // Milliseconds must survive: two readings a few ms apart differ.
    const double later = [&] {
        double t = clock.now();
        while (t - now < 0.003) {
            t = clock.now();
        }
        return t;
    }();
    EXPECT_GT(later * 1000.0 - now * 1000.0, 2.0);
}
