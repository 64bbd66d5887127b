#include <QCoreApplication>

#include <gtest/gtest.h>

// The adapters need a Qt application object for their event loop.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
