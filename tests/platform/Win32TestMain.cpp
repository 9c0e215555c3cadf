// The main of the Windows test programs: GoogleTest, or one of the child
// roles the tests start the program in again.

#include "Win32TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (argc > 1 && argv[1][0] != '-')
        return win32_testing::RunChildRole(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
