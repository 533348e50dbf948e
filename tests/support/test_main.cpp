// The entry point of every test program, compiled with the precompiled test
// headers rather than from GoogleTest's own sources in each build tree.
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
