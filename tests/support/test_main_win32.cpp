// The main of every unit test on Windows: no network namespace there (the
// tests that need one are not built for Windows).
#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
