#include "platform/qt/qt_settings_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSize>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using velmo::platform::qt::QtSettingsStore;

namespace {

ino_t inodeOf(const QString& path) {
    struct stat info {};
    if (stat(path.toLocal8Bit().constData(), &info) != 0) {
        return 0;
    }
    return info.st_ino;
}

} // namespace

TEST(QtSettingsStore, StringsAndListsSurviveARestart) {
    QTemporaryDir dir;
    const QString path = dir.filePath("client.ini");
    const std::string nickname = "Zoë \xe2\x9c\x8f";
    const std::string not_utf8 = "a\xff\xfe"
                                 "b";
    const std::vector<std::string> history = {"1 2 user@1 ff000000 30 128 0 1 2 3 4",
                                              "3 4 other,comma = \"quoted\" \\ ;", ""};
    {
        QtSettingsStore store(path);
        store.setString("UserNickname", nickname);
        store.setString("Bytes", not_utf8);
        store.setString("Empty", "");
        store.setStringList("StrokesHistory", history);
        store.setStringList("One", {"single"});
        store.setStringList("None", {});
        store.synchronize();
        EXPECT_TRUE(store.lastSyncSucceeded());
        EXPECT_EQ(QFileInfo(store.fileName()).absoluteFilePath(),
                  QFileInfo(path).absoluteFilePath());
    }
    const QtSettingsStore store(path);
    EXPECT_EQ(store.stringValue("UserNickname"), nickname);
    EXPECT_EQ(store.stringValue("Bytes"), not_utf8);
    EXPECT_EQ(store.stringValue("Empty"), "");
    EXPECT_EQ(store.stringList("StrokesHistory"), history);
    EXPECT_EQ(store.stringList("One"), std::vector<std::string>{"single"});
    EXPECT_EQ(store.stringList("None"), std::vector<std::string>{});
}

TEST(QtSettingsStore, AKeyOfTheOtherKindReadsAsNothing) {
    QTemporaryDir dir;
    QtSettingsStore store(dir.filePath("s.ini"));
    EXPECT_FALSE(store.stringValue("Missing").has_value());
    EXPECT_FALSE(store.stringList("Missing").has_value());
    store.setString("CanvasID", "public@20261207000000000");
    store.setStringList("QueuedCommands", {"a", "b"});
    EXPECT_FALSE(store.stringList("CanvasID").has_value());
    EXPECT_FALSE(store.stringValue("QueuedCommands").has_value());

    // A key rewritten as the other kind loses its old value completely.
    store.setString("QueuedCommands", "now a string");
    EXPECT_EQ(store.stringValue("QueuedCommands"), "now a string");
    EXPECT_FALSE(store.stringList("QueuedCommands").has_value());
    store.setStringList("CanvasID", {"x"});
    EXPECT_FALSE(store.stringValue("CanvasID").has_value());
    EXPECT_EQ(store.stringList("CanvasID"), std::vector<std::string>{"x"});
}

TEST(QtSettingsStore, AListDropsElementsThatAreNotStrings) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    {
        QSettings raw(path, QSettings::IniFormat);
        raw.beginWriteArray("StrokesHistory", 3);
        raw.setArrayIndex(0);
        raw.setValue("value", "first");
        raw.setArrayIndex(1);
        raw.setValue("value", QVariant(QSize(3, 4)));
        raw.setArrayIndex(2);
        raw.setValue("value", "third");
        raw.endArray();
    }
    const QtSettingsStore store(path);
    EXPECT_EQ(store.stringList("StrokesHistory"), (std::vector<std::string>{"first", "third"}));
}

TEST(QtSettingsStore, SynchronizeReplacesTheFileWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath("s.ini");
    QtSettingsStore store(path);
    store.setString("CanvasID", "first");
    store.synchronize();
    const ino_t before = inodeOf(path);
    ASSERT_NE(before, 0u);
    // A second file name for the old contents: an in-place write would change it too.
    ASSERT_EQ(
        ::link(path.toLocal8Bit().constData(), dir.filePath("old.ini").toLocal8Bit().constData()),
        0);
    store.setString("CanvasID", "second");
    store.synchronize();
    EXPECT_NE(inodeOf(path), before) << "the file was rewritten in place";
    QSettings old(dir.filePath("old.ini"), QSettings::IniFormat);
    EXPECT_EQ(old.value("CanvasID").toString(), "first");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2)
        << "no temporary file may be left: "
        << QDir(dir.path()).entryList().join(' ').toStdString();
}

TEST(QtSettingsStore, AFailedWriteIsReported) {
    QTemporaryDir dir;
    // A plain file where the settings folder should be: no one can write below it.
    const QString blocker = dir.filePath("blocker");
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    QtSettingsStore store(blocker + "/s.ini");
    store.setString("CanvasID", "x");
    store.synchronize();
    EXPECT_FALSE(store.lastSyncSucceeded());

    QtSettingsStore good(dir.filePath("good.ini"));
    good.setString("CanvasID", "x");
    good.synchronize();
    EXPECT_TRUE(good.lastSyncSucceeded());
}

TEST(QtSettingsStore, TheEventLoopLeavesTheFileAlone) {
    // The writes happen on the settings' own thread; the UI thread's event loop must not
    // read the file again (a parse of the whole history) nor write it.
    QTemporaryDir dir;
    const QString path = dir.filePath("client.ini");
    QtSettingsStore store(path);
    store.setString("Key", "mine");
    store.synchronize();
    {
        // Another process's write (QSettings objects of one process share what they read).
        QFile other(path);
        ASSERT_TRUE(other.open(QIODevice::WriteOnly | QIODevice::Truncate));
        other.write("[General]\nKey=written by another, longer\n");
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(store.stringValue("Key"), "mine");
}
