#include "identity/background_settings.h"

#include "support/memory_settings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::identity {
namespace {

using List = std::vector<std::string>;

TEST(BackgroundSettings, ReadsAnswerTheNewestWriteWhateverTheWriterHasDone) {
    testing::MemorySettings behind;
    behind.values["Kept"] = std::string("from the file");
    behind.values["Both"] = List{"a list"};
    {
        BackgroundSettings settings(behind);
        EXPECT_EQ(settings.stringValue("Kept"), "from the file");
        EXPECT_FALSE(settings.stringValue("Both")) << "a list is no string";
        EXPECT_EQ(settings.stringList("Both"), List{"a list"});
        settings.setString("Both", "now a string");
        EXPECT_FALSE(settings.stringList("Both"));
        EXPECT_EQ(settings.stringValue("Both"), "now a string");
        EXPECT_FALSE(settings.stringValue("Absent"));

        // A job handed over sees what was written before it; a write made after it was
        // handed over is what is read and kept, what the job alone wrote is read from it.
        settings.setString("Nickname", "anna");
        settings.perform([](platform::SettingsStore& store) {
            EXPECT_EQ(store.stringValue("Nickname"), "anna");
            store.setString("Nickname", "from the job");
            store.setStringList("History", {"s1", "s2"});
            store.synchronize();
        });
        settings.setString("Nickname", "bob");
        settings.synchronize();
        settings.flush();
        EXPECT_EQ(settings.stringValue("Nickname"), "bob");
        EXPECT_EQ(settings.stringList("History"), (List{"s1", "s2"}));
        EXPECT_EQ(std::get<std::string>(behind.values.at("Nickname")), "bob");
        settings.setString("Last", "written before the end");
        settings.synchronize();
    }
    EXPECT_EQ(std::get<std::string>(behind.values.at("Last")), "written before the end");
    EXPECT_EQ(std::get<std::string>(behind.values.at("Both")), "now a string");
    EXPECT_EQ(behind.synchronizations, 4);
}

} // namespace
} // namespace velmo::identity
