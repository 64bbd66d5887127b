#include "handler/ban_list.h"

#include "store/sqlite/sqlite_store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace velmo::server {
namespace {

constexpr int64_t Now = 1291201234567;

// Two instances on one database: what one bans, the other refuses once it reads the bans again.
TEST(BanList, BansAreAnsweredFromMemoryAndReadAgainWhenOtherInstancesMayChangeThem) {
    testing::TempDir dir;
    std::string error;
    auto store = SqliteStore::open(dir.file("canvas.sqlite"), &error);
    ASSERT_TRUE(store) << error;
    BanList here(*store, 0);
    BanList there(*store, 1000);
    ASSERT_TRUE(here.load(Now));
    ASSERT_TRUE(there.load(Now));
    const std::string hash(64, 'b');
    EXPECT_EQ(here.set({Ban::Kind::UserName, "vandal@1", Now}, true, Now), false);
    EXPECT_EQ(here.set({Ban::Kind::UserName, "vandal@1", Now}, true, Now), true);
    EXPECT_FALSE(here.anyKeyBanned());
    EXPECT_EQ(here.set({Ban::Kind::Key, hash, Now}, true, Now), false);
    EXPECT_TRUE(here.anyKeyBanned());

    struct Case {
        const char* user;
        std::string key_hash;
        std::optional<Ban::Kind> expected;
    };
    const Case cases[] = {
        {"vandal@1", "", Ban::Kind::UserName}, {"vandal@1", hash, Ban::Kind::UserName},
        {"anna@1", hash, Ban::Kind::Key},      {"anna@1", std::string(64, 'c'), std::nullopt},
        {"anna@1", "", std::nullopt},          {"vandal@2", "", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(here.refused(c.user, c.key_hash, Now), c.expected) << c.user;
        // The other instance reads again only once its memory is a second old.
        EXPECT_EQ(there.refused(c.user, c.key_hash, Now + 999), std::nullopt) << c.user;
    }
    for (const Case& c : cases) {
        EXPECT_EQ(there.refused(c.user, c.key_hash, Now + 1000), c.expected) << c.user;
    }
    EXPECT_EQ(there.set({Ban::Kind::UserName, "vandal@1", 0}, false, Now + 2000), true);
    EXPECT_EQ(there.set({Ban::Kind::UserName, "vandal@1", 0}, false, Now + 2000), false);
    EXPECT_EQ(there.refused("vandal@1", "", Now + 2000), std::nullopt);
    EXPECT_EQ(here.refused("vandal@1", "", Now + 2000), Ban::Kind::UserName); // until it reads
    ASSERT_TRUE(here.load(Now + 2000));
    EXPECT_EQ(here.refused("vandal@1", "", Now + 2000), std::nullopt);
}

} // namespace
} // namespace velmo::server
