// main() of the Qt tests: a QApplication (on the offscreen platform with an 800 x 600 screen
// unless QT_QPA_PLATFORM says otherwise), then GoogleTest.
#include <QtWidgets/QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", ZM_OFFSCREEN);
    }
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
