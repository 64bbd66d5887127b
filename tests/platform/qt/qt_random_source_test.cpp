#include "platform/qt/qt_random_source.h"

#include <gtest/gtest.h>

#include <set>

namespace velmo::platform::qt {
namespace {

TEST(QtRandomSource, GivesTheSizeAskedAndNeverTheSameKeyTwice) {
    QtRandomSource random;
    for (const size_t size : {size_t{0}, size_t{1}, size_t{3}, size_t{16}, size_t{33}}) {
        EXPECT_EQ(random.bytes(size).size(), size);
    }
    // 64 keys of 128 bits: a repeat, or fewer than 200 distinct values among their 1024 bytes
    // (about 251 expected, give or take 2), would mean the bytes are not random.
    std::set<std::string> keys;
    std::set<unsigned char> seen;
    for (int i = 0; i < 64; ++i) {
        const std::string key = random.bytes(16);
        keys.insert(key);
        for (const char c : key) {
            seen.insert(static_cast<unsigned char>(c));
        }
    }
    EXPECT_EQ(keys.size(), 64u);
    EXPECT_GT(seen.size(), 200u);
}

} // namespace
} // namespace velmo::platform::qt
