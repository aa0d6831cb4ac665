// Start-up, the refusal of a second copy, and the stop on SIGINT.
#include "logger_process.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvi_test {
namespace {

TEST_F(LoggerTest, BannerIsTheFirstAndOnlyLineWhileIdle)
{
    LoggerRun& run = start();
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    EXPECT_EQ(BANNER_LINE, run.output);
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, full_output(run));
}

TEST_F(LoggerTest, InterruptWhileIdleWithStdoutToFile)
{
    LoggerRun& run = start({.out = Stdout::File});
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, full_output(run));
}

TEST_F(LoggerTest, SecondCopyIsRefusedWhileFirstGoesOn)
{
    LoggerRun& first = start();
    LoggerRun& second = spawn();
    ASSERT_TRUE(read_to_eof(second));
    ASSERT_TRUE(wait_exit(second)) << "the second copy did not end";
    EXPECT_EQ("exited with 255", describe_status(second.wait_status));
    EXPECT_EQ(std::string(BANNER_LINE) + FAILED_LINE, second.output);

    ASSERT_EQ(6, send_datagram("still\n"));
    EXPECT_TRUE(read_until(first, "still\n")) << "the first copy stopped relaying";
    EXPECT_EQ("exited with 0", interrupt(first));
    EXPECT_EQ(std::string(BANNER_LINE) + "still\n" + STOPPED_LINE, full_output(first));
}

// Another program's socket on the port, bound in the ways that block the logger.
struct Holder {
    const char* name;
    int family;
    const char* address;
};

const Holder HOLDERS[] = {
    {"Ipv4Any", AF_INET, "0.0.0.0"},
    {"Ipv4Loopback", AF_INET, "127.0.0.1"},
    {"Ipv6DualStack", AF_INET6, "::"},
};

// Binds a UDP socket on the logger's port as `h` says; returns it, or -1.
int hold_port(const Holder& h)
{
    const int fd = socket(h.family, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    int rc;
    if (h.family == AF_INET) {
        const sockaddr_in a = ipv4_address(h.address);
        rc = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        const int v6only = 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(LOGGER_PORT);
        inet_pton(AF_INET6, h.address, &a.sin6_addr);
        rc = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    if (rc < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class PortHeldTest : public LoggerTest, public ::testing::WithParamInterface<Holder> {};

TEST_P(PortHeldTest, ReportsFailureAndExits255)
{
    const int holder = hold_port(GetParam());
    if (holder < 0)
        GTEST_SKIP() << "cannot bind " << GetParam().address << " here";
    LoggerRun& run = spawn();
    EXPECT_TRUE(read_to_eof(run));
    EXPECT_TRUE(wait_exit(run)) << "the logger did not end";
    close(holder);
    EXPECT_EQ("exited with 255", describe_status(run.wait_status));
    EXPECT_EQ(std::string(BANNER_LINE) + FAILED_LINE, run.output);
}

INSTANTIATE_TEST_SUITE_P(Holders, PortHeldTest, ::testing::ValuesIn(HOLDERS),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

// SIGINT already pending at exec, while another program holds the port.
TEST_F(LoggerTest, InterruptDuringStartupWinsOverBusyPort)
{
    const int holder = hold_port(HOLDERS[0]);
    ASSERT_GE(holder, 0);
    LoggerRun& run = spawn({.sigint = Sigint::Pending});
    EXPECT_TRUE(read_to_eof(run));
    EXPECT_TRUE(wait_exit(run));
    close(holder);
    EXPECT_EQ("exited with 0", describe_status(run.wait_status));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, run.output);
}

TEST_F(LoggerTest, ArgumentsChangeNothing)
{
    const std::vector<std::vector<std::string>> arg_lists = {
        {"-h"}, {"--help", "--version"}, {"-p", "9999"}, {"", "x y", "-"}};
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(::testing::PrintToString(args));
        LoggerRun& run = start({.args = args});
        ASSERT_EQ(3, send_datagram("hi\n"));
        ASSERT_TRUE(read_until(run, "hi\n")) << "got: " << run.output;
        EXPECT_EQ("exited with 0", interrupt(run));
        EXPECT_EQ(std::string(BANNER_LINE) + "hi\n" + STOPPED_LINE, full_output(run));
    }
}

} // namespace
} // namespace korvi_test
