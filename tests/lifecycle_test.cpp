// Start-up in the ways a logger is started, the refusal of a second copy,
// the wait that fails, and the stop on SIGINT.
#include "logger_process.h"
#include "network_namespace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for them.

// Another program's socket on the port, bound in the ways that block the logger.
struct HolderCase {
    const char* name;
    int family;
    const char* address;
};

// How many descriptors the logger inherits open, next to select's limit.
struct DescriptorCase {
    const char* name;
    int first_free_fd;      // the logger's first descriptor
    const char* refused_fd; // the descriptor it names when it refuses, or nullptr: it runs
};

namespace {

class LifecycleTest : public LoggerTest {};

// Reads whatever stdout brings during `window` (less at end of file).
void read_during(LoggerRun& run, std::chrono::milliseconds window)
{
    const auto end = Clock::now() + window;
    while (Clock::now() < end && read_some(run, end) > 0) {
    }
}

// Idle, the logger writes nothing after its banner, and Ctrl-C stops it at
// once: it sleeps until a datagram or the signal comes, never until a
// wake-up of its own.
TEST_F(LifecycleTest, IdleIsSilentAndStopsAtOnce)
{
    using namespace std::chrono_literals;
    constexpr auto IDLE = 500ms;         // long enough for idle chatter to show
    constexpr auto MOST_TO_STOP = 250ms; // from the signal to the stop line
    LoggerRun& run = start();
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    read_during(run, IDLE);
    EXPECT_EQ(BANNER_LINE, run.output) << "written while idle";

    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_EQ(0, kill(run.pid, SIGINT));
    ASSERT_TRUE(read_until(run, STOPPED_LINE)) << "got: " << run.output;
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - signalled);
    EXPECT_LT(took.count(), MOST_TO_STOP.count()) << "ms from SIGINT to the stop line";
    EXPECT_EQ("exited with 0", finish(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, run.output);
}

TEST_F(LifecycleTest, InterruptWhileIdleWithStdoutToFile)
{
    LoggerRun& run = start({.out = Stdout::File});
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, full_output(run));
}

TEST_F(LifecycleTest, SecondCopyIsRefusedWhileFirstGoesOn)
{
    LoggerRun& first = start();
    LoggerRun& second = spawn();
    ASSERT_EQ("exited with 255", finish(second));
    EXPECT_EQ(std::string(BANNER_LINE) + FAILED_LINE, second.output);

    ASSERT_EQ(6, send_datagram("still\n"));
    EXPECT_TRUE(read_until(first, "still\n")) << "the first copy stopped relaying";
    EXPECT_EQ("exited with 0", interrupt(first));
    EXPECT_EQ(std::string(BANNER_LINE) + "still\n" + STOPPED_LINE, full_output(first));
}

const HolderCase HOLDERS[] = {
    {"Ipv4Any", AF_INET, "0.0.0.0"},
    {"Ipv4Loopback", AF_INET, "127.0.0.1"},
    {"Ipv6DualStack", AF_INET6, "::"},
};

// Binds a UDP socket on the logger's port as `h` says; returns it, or -1.
int hold_port(const HolderCase& h)
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

class PortHeld : public LoggerTest, public ::testing::WithParamInterface<HolderCase> {};

TEST_P(PortHeld, ReportsFailureAndExits255)
{
    const HolderCase& h = GetParam();
    if (const std::string why = ipv6_problem(); h.family == AF_INET6 && !why.empty())
        GTEST_SKIP() << why;
    const ScopedFd holder(hold_port(h));
    ASSERT_GE(holder.fd, 0) << "cannot bind " << h.address << ": " << std::strerror(errno);
    LoggerRun& run = spawn();
    EXPECT_EQ("exited with 255", finish(run));
    EXPECT_EQ(std::string(BANNER_LINE) + FAILED_LINE, run.output);
}

INSTANTIATE_TEST_SUITE_P(LifecycleTest, PortHeld, ::testing::ValuesIn(HOLDERS), CaseName());

// SIGINT already pending at exec, while another program holds the port.
TEST_F(LifecycleTest, InterruptDuringStartupWinsOverBusyPort)
{
    const ScopedFd holder(hold_port(HOLDERS[0]));
    ASSERT_GE(holder.fd, 0) << std::strerror(errno);
    LoggerRun& run = spawn({.sigint = Sigint::Pending});
    EXPECT_EQ("exited with 0", finish(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, run.output);
}

TEST_F(LifecycleTest, ArgumentsChangeNothing)
{
    const std::vector<std::vector<std::string>> arg_lists = {
        {"-h"}, {"--help", "--version"}, {"-p", "9999"}, {"", "x y", "-"}};
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(::testing::PrintToString(args));
        LoggerRun& run = start({.args = args});
        expect_relays_and_stops(run);
        if (HasFatalFailure())
            return;
    }
}

// Started with descriptor 0 closed, as some daemonisers start programs: the
// endpoint is then descriptor 0, and that is a descriptor like any other.
TEST_F(LifecycleTest, StartsWithStdinClosed)
{
    LoggerRun& run = start({.stdin_closed = true});
    expect_relays_and_stops(run);
}

// The logger needs two descriptors below FD_SETSIZE, the most select can
// watch: the endpoint and the one that shows SIGINT. With fewer left it
// refuses at start and names the cause, instead of writing past select's
// set (glibc's check aborts, an unchecked build corrupts its stack).
const DescriptorCase DESCRIPTOR_CASES[] = {
    {"RoomForBoth", FD_SETSIZE - 2, nullptr},
    {"OneShort", FD_SETSIZE - 1, "1024"},
    {"NoneLeft", FD_SETSIZE, "1024"},
};

class Descriptors : public LoggerTest, public ::testing::WithParamInterface<DescriptorCase> {};

TEST_P(Descriptors, RunsOrRefusesByName)
{
    const DescriptorCase& c = GetParam();
    if (const std::string why = descriptor_limit_problem(); !why.empty())
        GTEST_SKIP() << why;
    LoggerRun& run = spawn({.first_free_fd = c.first_free_fd});
    if (c.refused_fd == nullptr) {
        ASSERT_TRUE(wait_holds_port(run)) << "the logger did not bind UDP " << LOGGER_PORT;
        expect_relays_and_stops(run);
        return;
    }
    EXPECT_EQ("exited with 1", finish(run));
    EXPECT_EQ(BANNER_LINE, run.output);
    EXPECT_EQ(std::string("korvi-logger: descriptor ") + c.refused_fd +
                  ": beyond the 1024 that select can watch; start korvi-logger with fewer "
                  "descriptors open\n",
              error_output(run));
}

INSTANTIATE_TEST_SUITE_P(LifecycleTest, Descriptors, ::testing::ValuesIn(DESCRIPTOR_CASES),
                         CaseName());

// With room for the endpoint but not for the descriptor that shows SIGINT
// (ulimit -n 4), the logger says so and ends, as with any call that fails.
TEST_F(LifecycleTest, NoDescriptorLeftForSigintEndsWithStatus1)
{
    // In the sanitizer build, LeakSanitizer would need a descriptor of its
    // own at the exit, and say so on stderr.
    LoggerRun& run = spawn({.open_files = 4, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    EXPECT_EQ("exited with 1", finish(run));
    EXPECT_EQ(BANNER_LINE, run.output);
    EXPECT_EQ("korvi-logger: signalfd: Too many open files\n", error_output(run));
}

// A wait that fails for any reason but an interrupted call ends the logger
// with its cause, instead of failing again at once, for ever.
TEST_F(LifecycleTest, FailedWaitEndsWithStatus1AndSaysWhy)
{
    if (const std::string why = seccomp_problem(); !why.empty())
        GTEST_SKIP() << why;
    LoggerRun& run = spawn({.fault = Fault::SelectFails});
    EXPECT_EQ("exited with 1", finish(run)) << "although its wait failed";
    EXPECT_EQ(BANNER_LINE, run.output);
    EXPECT_EQ("korvi-logger: select: Cannot allocate memory\n", error_output(run));
}

} // namespace
} // namespace korvi_test
