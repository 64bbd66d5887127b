#include "handler/admin_routes.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

TEST(AdminRoutes, FormValuesAreDecodedAndAnythingElseNamesNothing) {
    struct Case {
        const char* form;
        const char* name;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"user=anna%401", "user", "anna@1"},
        {"a=1&user=b+c&user=d", "user", "b c"}, // the first, '+' a space
        {"user=", "user", ""},
        {"username=x", "user", std::nullopt},
        {"user", "user", std::nullopt},
        {"user=%zz", "user", std::nullopt},
        {"user=%4", "user", std::nullopt},
        {"&&user=%00&", "user", std::string(1, '\0')},
        {"", "user", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formValue(c.form, c.name), c.expected) << c.form;
    }
}

TEST(AdminRoutes, OnlyTheBearerTokenItselfIsAuthorized) {
    const AdminRoutes routes("the-operators-token", {});
    struct Case {
        const char* authorization;
        bool authorized;
    };
    const Case cases[] = {
        {"Bearer the-operators-token", true},
        {"BEARER the-operators-token ", true},
        {"Bearer  the-operators-token", true},
        {"Bearer the-operators-tokeN", false},
        {"Bearer the-operators-toke", false},
        {"Bearer the-operators-token2", false},
        {"Basic the-operators-token", false},
        {"Bearer ", false},
        {"Bearer", false},
        {"", false},
        {"the-operators-token", false},
        {"Bearerthe-operators-token", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(routes.authorized(c.authorization), c.authorized) << c.authorization;
    }
}

} // namespace
} // namespace velmo::server
