// The desktop program's tests: GoogleTest inside a Qt application, so real widgets can be made,
// shown (on the offscreen platform) and driven with QTest.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Also when the build lists the tests, and when run by hand: no display is needed, and no
    // window appears on a developer's screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
