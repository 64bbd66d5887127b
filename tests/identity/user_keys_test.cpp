#include "identity/user_keys.h"

#include "support/counting_random.h"
#include "support/memory_settings.h"
#include "wire/key_header.h"

#include <gtest/gtest.h>

namespace velmo::identity {
namespace {

TEST(UserKeys, AKeyIsMadeOnceForEachUserId) {
    testing::CountingRandom random;
    UserKeys keys(random);
    EXPECT_FALSE(keys.header("anna@1"));
    keys.make("anna@1");
    keys.make("anna@1"); // an ID made again in the same millisecond keeps its key
    keys.make("bob@1");
    EXPECT_EQ(random.calls, 2);
    const auto anna = wire::parseKeyHeader(keys.header("anna@1").value_or(""));
    const auto bob = wire::parseKeyHeader(keys.header("bob@1").value_or(""));
    ASSERT_TRUE(anna && bob);
    EXPECT_EQ(anna->user_id, "anna@1");
    EXPECT_EQ(anna->key.size(), UserKeys::KeyBytes);
    EXPECT_EQ(anna->key,
              std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16));
    EXPECT_NE(anna->key, bob->key);
}

TEST(UserKeys, SavedKeysAreTheNeededOnesAndLoadBack) {
    testing::CountingRandom random;
    testing::MemorySettings settings;
    UserKeys keys(random);
    for (const char* id : {"anna@1", "anna@2", "bob@1"}) {
        keys.make(id);
    }
    const std::string anna = *keys.header("anna@1");
    const std::string bob = *keys.header("bob@1");
    keys.save(settings, {"anna@1", "bob@1", "carol@1"});
    EXPECT_EQ(settings.stringList(UserKeysKey), (std::vector<std::string>{anna, bob}));
    EXPECT_FALSE(keys.header("anna@2")); // nothing will send under it again

    UserKeys loaded(random);
    loaded.load(settings);
    EXPECT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.header("anna@1"), anna);
    EXPECT_EQ(loaded.header("bob@1"), bob);
    EXPECT_EQ(random.calls, 3); // loading makes no key

    // A file from before keys has none, and elements that do not read are dropped.
    testing::MemorySettings old;
    UserKeys fresh(random);
    fresh.load(old);
    EXPECT_EQ(fresh.size(), 0u);
    old.setStringList(UserKeysKey, {"anna@1 00", "", bob});
    fresh.load(old);
    EXPECT_EQ(fresh.size(), 1u);
    EXPECT_EQ(fresh.header("bob@1"), bob);
    // A key made in this run is not replaced by a saved one.
    fresh.make("anna@1");
    const std::string made = *fresh.header("anna@1");
    EXPECT_NE(made, anna);
    fresh.load(settings);
    EXPECT_EQ(fresh.header("anna@1"), made);
}

} // namespace
} // namespace velmo::identity
