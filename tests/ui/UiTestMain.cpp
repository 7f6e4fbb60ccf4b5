// The desktop program's tests: GoogleTest inside a Qt application, so real widgets can be made,
// shown (on the offscreen platform) and driven with QTest.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
