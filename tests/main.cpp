// The test program's start: every test process keeps off the host's UDP port
// before any test runs, so the suite passes beside a running logger and its
// tests may run in parallel.
#include "logger_process.h"

#include <iostream>

namespace {

std::string isolation;

// ctest runs this first, and no other test when it fails: a port that is
// not the tests' to use is reported once.
TEST(Setup, PortIsOurs)
{
    std::cout << isolation << "\n";
    EXPECT_EQ("", korvi_test::port_problem());
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests)) {
        isolation = korvi_test::isolate_network();
        // Once, and before any test, instead of in every one of them.
        const std::string problem = korvi_test::port_problem();
        if (!problem.empty()) {
            std::cerr << problem;
            return 1;
        }
    }
    return RUN_ALL_TESTS();
}
