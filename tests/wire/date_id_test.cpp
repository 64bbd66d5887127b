#include "wire/date_id.h"

#include <gtest/gtest.h>

namespace velmo::wire {
namespace {

TEST(DateId, EncodesTheCreationTimeInSevenBase62Digits) {
    EXPECT_EQ(dateIdOf("public@20100101000000000"), "0000000");
    EXPECT_EQ(dateIdOf("public@20100101000000061"), "000000Z");
    EXPECT_EQ(dateIdOf("public@20100101000000062"), "0000010");
    EXPECT_EQ(dateIdOf("anna@20100704123456789"), "0hSboGx");
    EXPECT_EQ(dateIdOf("20100704123456789"), "0hSboGx");
}

TEST(DateId, NothingForIdsWithoutAUsableTimeStamp) {
    EXPECT_EQ(dateIdOf(""), std::nullopt);
    EXPECT_EQ(dateIdOf("public@2010010100000000"), std::nullopt);  // 16 digits
    EXPECT_EQ(dateIdOf("public@2010010100000000x"), std::nullopt); // not a digit
    EXPECT_EQ(dateIdOf("public@20091231235959999"), std::nullopt); // before 2010
    EXPECT_TRUE(dateIdOf("public@99991231235959999").has_value()); // far future: wraps, no UB
}

} // namespace
} // namespace velmo::wire
