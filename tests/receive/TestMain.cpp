// The receiving and publishing tests run with an application object, so the
// outcomes that the workers hand back arrive through a real event loop.

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
