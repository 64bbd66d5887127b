#include "platform/qt/qt_journal_file.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using velmo::platform::qt::QtJournalFile;

// Appends reach the file at once (a reader sees them before any sync, as one would after the
// writer was killed); a replacement takes the file's place whole, and appends go on after it.
TEST(QtJournalFile, AppendsAreInTheFileAtOnceAndAReplacementStartsItAfresh) {
    QTemporaryDir dir;
    const QString path = QtJournalFile::besideSettings(dir.filePath("client.ini"));
    EXPECT_EQ(path, dir.filePath("client.ini.journal"));
    QtJournalFile journal(path);
    EXPECT_EQ(journal.readAll(), "");
    EXPECT_FALSE(journal.sync()) << "nothing open to sync yet";

    ASSERT_TRUE(journal.append("one\n"));
    ASSERT_TRUE(journal.append(std::string("two\0\xff\n", 6)));
    QtJournalFile reader(path);
    EXPECT_EQ(reader.readAll(), std::string("one\ntwo\0\xff\n", 10));
    EXPECT_TRUE(journal.sync());

    ASSERT_TRUE(journal.replace("header\n"));
    EXPECT_EQ(reader.readAll(), "header\n");
    ASSERT_TRUE(journal.append("three\n"));
    EXPECT_EQ(reader.readAll(), "header\nthree\n");

    // A journal that cannot be written says so and changes nothing.
    QtJournalFile nowhere(dir.filePath("missing/dir/client.ini.journal"));
    EXPECT_FALSE(nowhere.append("x\n"));
    EXPECT_FALSE(nowhere.replace("x\n"));
    EXPECT_EQ(nowhere.readAll(), "");
}
