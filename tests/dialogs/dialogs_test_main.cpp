#include <QApplication>

#include <gtest/gtest.h>

// Fontconfig keeps its font cache until the process ends, which the leak checker of the
// sanitizer build would report at every text the widgets draw. It is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

// The dialog tests need a widget application; they run on the offscreen platform.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
