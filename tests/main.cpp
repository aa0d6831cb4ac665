// The test program's start: every test process keeps off the host's UDP port
// before any test runs, so the suite passes beside a running logger and its
// tests may run in parallel.
//
//   korvi-logger-tests --korvi-skips
//
// says, on stderr, which tests this machine makes skip and why, asking the
// same questions the tests ask; ctest runs it before the suite, so that
// the reasons show in its plain output.
#include "logger_process.h"
#include "network_namespace.h"

#include <cstring>
#include <iostream>

namespace {

std::string isolation;

// Not a test of the program but the suite's gate: ctest runs it first, and
// no other test when it fails, so that a port that is not the tests' to use
// is reported once.
TEST(Setup, PortIsOurs)
{
    std::cout << isolation << "\n";
    EXPECT_EQ("", korvi_test::port_problem());
}

// Prints, for each kind of test that this machine makes skip, why.
void explain_skips()
{
    using namespace korvi_test;
    const std::pair<const char*, std::string> kinds[] = {
        {"the tests that need a seccomp filter", seccomp_problem()},
        {"NetworkTest.SubnetBroadcastArrives", subnet_problem()},
        {"the IPv6 tests", ipv6_problem()},
        {"LifecycleTest/Descriptors", descriptor_limit_problem()},
    };
    for (const auto& [tests, why] : kinds)
        if (!why.empty())
            std::cerr << "korvi-logger-tests: skipped here: " << tests << ": " << why << "\n";
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    isolation = korvi_test::isolate_network();
    if (argc == 2 && std::strcmp(argv[1], "--korvi-skips") == 0) {
        explain_skips();
        return 0;
    }
    // Once, and before any test, instead of in every one of them.
    const std::string problem = korvi_test::port_problem();
    if (!problem.empty()) {
        std::cerr << problem;
        return 1;
    }
    return RUN_ALL_TESTS();
}
