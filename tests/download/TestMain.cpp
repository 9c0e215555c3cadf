// A GoogleTest main with the application object the download needs for its
// hand-overs and its wait loop.

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Tests talk to loopback servers only: no proxy from the environment.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
    qputenv("no_proxy", "*");
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
