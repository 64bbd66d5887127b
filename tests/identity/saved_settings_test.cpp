#include "identity/saved_settings.h"

#include "support/memory_settings.h"

#include <gtest/gtest.h>

namespace velmo::identity {
namespace {

TEST(SavedSettings, TheServerAndImageHostComeFromTheSettingsOrTheDefaults) {
    testing::MemorySettings settings;
    EXPECT_EQ(serverBaseURL(settings), "http://127.0.0.1:8640/");
    EXPECT_EQ(imageHostURL(settings, serverBaseURL(settings)), "http://127.0.0.1:8640/upload.cgi");

    settings.setString("ServerURL", "http://canvas.example:81/");
    EXPECT_EQ(serverBaseURL(settings), "http://canvas.example:81/");
    EXPECT_EQ(imageHostURL(settings, serverBaseURL(settings)),
              "http://canvas.example:81/upload.cgi");

    settings.setString("GyazoURL", "http://images.example/upload.cgi");
    EXPECT_EQ(imageHostURL(settings, serverBaseURL(settings)), "http://images.example/upload.cgi");

    // A list where a string belongs counts as no value.
    settings.setStringList("ServerURL", {"http://x/"});
    EXPECT_EQ(serverBaseURL(settings), "http://127.0.0.1:8640/");
}

} // namespace
} // namespace velmo::identity
