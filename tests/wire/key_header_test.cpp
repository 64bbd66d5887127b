#include "wire/key_header.h"

#include "wire/wire_limits.h"

#include <gtest/gtest.h>

namespace velmo::wire {
namespace {

const std::string Key16 = "0123456789abcdef";
const std::string Hex16 = "30313233343536373839616263646566";

TEST(KeyHeader, WrittenValuesReadBack) {
    for (const std::string& user : {std::string("anna@20100704130000001"), std::string("a b@1"),
                                    std::string(MaxUserName, 'u')}) {
        for (const std::string& key :
             {Key16, std::string(MaxKeyBytes, '\xff'), std::string("\0\x01\x80\x7f", 4) + Key16}) {
            const auto read = parseKeyHeader(keyHeaderValue(user, key));
            ASSERT_TRUE(read) << user;
            EXPECT_EQ(read->user_id, user);
            EXPECT_EQ(read->key, key);
        }
    }
    EXPECT_EQ(keyHeaderValue("anna@1", Key16), "anna@1 " + Hex16);
}

TEST(KeyHeader, AnythingElseReadsAsNothing) {
    const struct {
        std::string value;
        bool valid;
    } cases[] = {
        {"anna@1 " + Hex16, true},
        {"anna@1 3031323334353637383961626364656g", false}, // not hexadecimal
        {"anna@1 " + Hex16.substr(0, 30), false},           // 15 bytes: too short a key
        {"anna@1 " + Hex16 + "3", false},                   // odd digit count
        {"anna@1 " + std::string(2 * MaxKeyBytes, 'A'), true},
        {"anna@1 " + std::string(2 * MaxKeyBytes + 2, 'a'), false},
        {" " + Hex16, false}, // no user name
        {Hex16, false},       // no space
        {"anna@1 " + Hex16 + " ", false},
        {"anna@1\t" + Hex16, false},
        {"an\x01na@1 " + Hex16, false}, // control byte in the name
        {std::string(MaxUserName + 1, 'u') + " " + Hex16, false},
        {"", false},
        {" ", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseKeyHeader(c.value).has_value(), c.valid) << c.value;
    }
    EXPECT_EQ(parseKeyHeader("anna@1 " + Hex16)->key, Key16);
}

} // namespace
} // namespace velmo::wire
