#include <gtest/gtest.h>

#include "tests/support/isolated_env.h"

// Every test process runs inside its own directory tree, even tests without a fixture.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    tern_test::IsolatedEnv processEnv;
    return RUN_ALL_TESTS();
}
