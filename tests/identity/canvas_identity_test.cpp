#include "identity/canvas_identity.h"

#include "text/gmt_stamp.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::identity {
namespace {

constexpr double July4th2010 = 1278246896.789; // 2010-07-04 12:34:56.789 GMT

TEST(CanvasIdentity, MakesIDsFromTheNicknameAndTheGmtMillisecond) {
    EXPECT_EQ(makeID("public", July4th2010), "public@20100704123456789");
    EXPECT_EQ(makeID("", 0.0), "@19700101000000000");
    EXPECT_EQ(makeID("anna", 1267679167.0), "anna@20100304050607000");
    EXPECT_EQ(makeID("x", 1267679167.9999), "x@20100304050607999");
    EXPECT_EQ(text::gmtStampSeconds(1267679167.5), "20100304050607");
    // Leap day and the end of a year.
    EXPECT_EQ(text::gmtStampMillis(951782400.0), "20000229000000000");
    EXPECT_EQ(text::gmtStampMillis(1293839999.999), "20101231235959999");
}

TEST(CanvasIdentity, ClocksOutsideAnyCalendarStillGiveDigits) {
    for (const double seconds : {-1.0, -1e300, 1e300, 1e30}) {
        const std::string stamp = text::gmtStampMillis(seconds);
        EXPECT_GE(stamp.size(), 17u) << seconds;
    }
}

} // namespace
} // namespace velmo::identity
