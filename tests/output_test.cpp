// Standard output that is slow, non-blocking, takes part of a write, or is
// broken: nothing is dropped, torn or repeated while stdout can take it,
// each text leaves in one write, and a stdout that fails for good ends the
// logger with status 1 and the cause on stderr, never with a silent success.
#include "logger_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <random>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {

// When stdout fails for good.
enum class FailsAt {
    Banner,   // at start: the port must never be taken
    Datagram, // while relaying
    StopLine, // at the stop, with nothing written in between
};

// Outside the unnamed namespace, so that GoogleTest finds operator<< for it.
struct FailureCase {
    const char* name;
    Stdout out;
    FailsAt when;
    const char* cause;
    Fault fault = Fault::BindKills; // at the banner: what else the kernel does to the logger
};

namespace {

using namespace std::chrono_literals;

class OutputTest : public LoggerTest {};

// A SOCK_SEQPACKET pair: each write(2) of the logger arrives as one message.
StdoutEnds message_socket()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return {};
    return {fds[1], fds[0]};
}

// A TCP connection on loopback whose buffers are as small as the kernel
// allows, non-blocking on the logger's side: while the test reads slowly, a
// write of a few hundred bytes is often taken only in part. Its segments are
// small too: with loopback's 64 KiB ones, the receiver's window stays below
// one segment and the connection can stall for seconds on TCP's persist
// timer.
StdoutEnds stream_socket()
{
    const int smallest = 1; // the kernel raises it to its minimum
    const int segment = 536;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int logger_end = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int test_end = -1;
    sockaddr_in addr = ipv4_address("127.0.0.1");
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    const bool ok =
        listener >= 0 && logger_end >= 0 &&
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest) == 0 &&
        setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) == 0 &&
        setsockopt(logger_end, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) == 0 &&
        bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        connect(logger_end, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        (test_end = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 &&
        fcntl(logger_end, F_SETFL, O_NONBLOCK) == 0;
    if (listener >= 0)
        close(listener);
    if (ok)
        return {logger_end, test_end};
    if (logger_end >= 0)
        close(logger_end);
    if (test_end >= 0)
        close(test_end);
    return {};
}

// An AF_UNIX stream pair with the smallest send buffer and a send timeout
// far beyond any test on the logger's end, which stays blocking: a write
// that finds it full waits, and a stop signal (SIGSTOP, then SIGCONT) makes
// that write fail with EINTR.
StdoutEnds timed_stream_socket()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return {};
    const int smallest = 1; // the kernel raises it to its minimum
    const timeval timeout{600, 0};
    if (setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) != 0 ||
        setsockopt(fds[1], SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    return {fds[1], fds[0]};
}

// Reads a message socket, one message per read, appending each to
// `messages` until it holds `count`; false on deadline or end of file first.
bool read_messages(LoggerRun& run, std::vector<std::string>& messages, size_t count)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (messages.size() < count) {
        const size_t before = run.output.size();
        if (read_some(run, deadline) <= 0)
            return false;
        messages.push_back(run.output.substr(before));
    }
    return true;
}

// CPU time the process has used so far, user and system, in seconds.
double cpu_seconds(const LoggerRun& run)
{
    // utime and stime are fields 14 and 15 of the whole line, in clock ticks.
    const auto fields = stat_fields(run.pid);
    if (fields.size() < 13)
        return -1;
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Where two long texts part: their sizes, the first byte that differs and
// a few bytes from there, escaped; for assertions on binary output.
std::string describe_difference(const std::string& expected, const std::string& got)
{
    const auto at = std::mismatch(expected.begin(), expected.end(), got.begin(), got.end());
    const auto from = static_cast<size_t>(at.first - expected.begin());
    return "expected " + std::to_string(expected.size()) + " bytes, got " +
           std::to_string(got.size()) + "; they differ from byte " + std::to_string(from) +
           ": expected " + ::testing::PrintToString(expected.substr(from, 16)) + ", got " +
           ::testing::PrintToString(got.substr(std::min(from, got.size()), 16));
}

// A non-blocking stdout pipe of one page, read 1 KiB a millisecond: far
// slower than the logger writes, so most writes find the pipe full. All the
// records fit in the socket's default receive queue, so the kernel keeps
// every one while the logger waits for the reader.
TEST_F(OutputTest, NonBlockingStdoutReadSlowlyLosesNothing)
{
    constexpr unsigned RECORDS = 120;
    LoggerRun& run = start({.nonblocking_stdout = true, .pipe_size = 4096});
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    std::string expected = BANNER_LINE;
    for (unsigned seq = 0; seq < RECORDS; ++seq) {
        ASSERT_EQ(static_cast<ssize_t>(RECORD_SIZE), send_datagram(record(seq)));
        expected += record(seq);
    }
    const bool all_read = read_slowly_until(run, record(RECORDS - 1), 1024, 1ms);
    const long drops = port_socket(run).drops;
    ASSERT_TRUE(all_read) << "the last record did not arrive; the kernel dropped " << drops;
    kill(run.pid, SIGINT);
    EXPECT_TRUE(read_slowly_until(run, "", 1024, 1ms)) << "stdout not closed within the deadline";
    ASSERT_TRUE(wait_exit(run));
    EXPECT_EQ("exited with 0", describe_status(run.wait_status));
    EXPECT_EQ(expected + STOPPED_LINE, run.output) << "the kernel dropped " << drops;
}

// A non-blocking stdout that stays full is waited on, not retried in a loop:
// while the reader pauses, the logger sleeps. A logger that retried at once
// would write the same bytes in the end, but burn a core meanwhile.
TEST_F(OutputTest, FullNonBlockingStdoutIsWaitedOnWithoutSpinning)
{
    constexpr int PIPE_SIZE = 4096;
    constexpr unsigned RECORDS = 24; // 6 KiB: more than the pipe holds
    constexpr auto PAUSE = 1s;
    constexpr double MOST_CPU_SECONDS = 0.1; // in the pause; a spin takes nearly all of it
    LoggerRun& run = start({.nonblocking_stdout = true, .pipe_size = PIPE_SIZE});
    std::string expected = BANNER_LINE;
    for (unsigned seq = 0; seq < RECORDS; ++seq) {
        ASSERT_EQ(static_cast<ssize_t>(RECORD_SIZE), send_datagram(record(seq)));
        expected += record(seq);
    }
    // Full: no further record fits, so the logger's next write finds no room.
    int in_pipe = 0;
    const bool full = wait_until(run, [&] {
        return ioctl(run.out, FIONREAD, &in_pipe) == 0 && PIPE_SIZE - in_pipe < int{RECORD_SIZE};
    });
    ASSERT_TRUE(full) << "the pipe never filled: it holds " << in_pipe << " bytes";

    const double cpu_before = cpu_seconds(run);
    std::this_thread::sleep_for(PAUSE); // the reader's pause, not a wait for an event
    const double cpu_in_pause = cpu_seconds(run) - cpu_before;
    EXPECT_LT(cpu_in_pause, MOST_CPU_SECONDS) << "CPU seconds used while stdout was full";

    ASSERT_TRUE(read_until(run, record(RECORDS - 1))) << "got " << run.output.size() << " bytes";
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(expected + STOPPED_LINE, run.output);
}

// A wait for room on a full non-blocking stdout that fails ends the logger
// with its cause, instead of being tried again at once, for ever.
TEST_F(OutputTest, FailedWaitForRoomEndsWithStatus1AndSaysWhy)
{
    if (const std::string why = seccomp_problem(); !why.empty())
        GTEST_SKIP() << why;
    constexpr unsigned RECORDS = 24; // 6 KiB: more than the pipe holds
    LoggerRun& run =
        start({.nonblocking_stdout = true, .pipe_size = 4096, .fault = Fault::PollFails});
    for (unsigned seq = 0; seq < RECORDS; ++seq)
        ASSERT_EQ(static_cast<ssize_t>(RECORD_SIZE), send_datagram(record(seq)));
    EXPECT_TRUE(wait_exit(run)) << "the logger did not end although its wait for room failed";
    EXPECT_EQ("exited with 1", describe_status(run.wait_status));
    EXPECT_EQ("korvi-logger: standard output: Cannot allocate memory\n", error_output(run));
}

// A stdout that takes only part of a write (a non-blocking TCP socket with
// small buffers, read slowly): the rest of the text follows, from where the
// write stopped, so the bytes come out exactly once and in order.
TEST_F(OutputTest, PartlyTakenWritesAreCompleted)
{
    constexpr unsigned DATAGRAMS = 60; // all fit in the socket's default receive queue
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> size(1, 1024);
    std::uniform_int_distribution<int> byte(1, 255); // any byte but NUL, which ends a text

    const StdoutEnds ends = stream_socket();
    ASSERT_GE(ends.logger, 0) << "no TCP connection on loopback: " << std::strerror(errno);
    LoggerRun& run = start({.out = Stdout::Given, .given = ends});
    std::string expected = BANNER_LINE;
    for (unsigned i = 0; i < DATAGRAMS; ++i) {
        std::string text(size(rng), '\0');
        for (char& c : text)
            c = static_cast<char>(byte(rng));
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text));
        expected += text;
    }
    const std::string end_mark = "<end of random texts>\n";
    ASSERT_EQ(static_cast<ssize_t>(end_mark.size()), send_datagram(end_mark));
    expected += end_mark;
    const bool all_read = read_slowly_until(run, end_mark, 512, 1ms);
    const long drops = port_socket(run).drops;
    ASSERT_EQ(0, drops) << "the kernel dropped datagrams; the test proves nothing";
    ASSERT_TRUE(all_read) << "the end mark did not arrive";
    EXPECT_EQ("exited with 0", interrupt(run));
    expected += STOPPED_LINE;
    EXPECT_TRUE(expected == run.output) << describe_difference(expected, run.output);
}

// Each text leaves in a single write(2), so no other writer's text can land
// inside it: on a stdout where every write is one message (SOCK_SEQPACKET),
// each message is exactly one datagram's text, the largest included, and
// each of the logger's own lines is one message too.
TEST_F(OutputTest, EachTextIsOneWrite)
{
    const std::vector<std::string> texts = {"one\n", "two words\n", std::string(1024, 'L'), "x"};
    const StdoutEnds ends = message_socket();
    ASSERT_GE(ends.logger, 0) << "no socket pair: " << std::strerror(errno);
    LoggerRun& run = start({.out = Stdout::Given, .given = ends});
    for (const auto& text : texts)
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text));
    std::vector<std::string> messages;
    ASSERT_TRUE(read_messages(run, messages, 1 + texts.size()))
        << messages.size() << " messages so far";
    kill(run.pid, SIGINT);
    ASSERT_TRUE(read_messages(run, messages, 2 + texts.size())) << "no stop line";
    EXPECT_EQ("exited with 0", finish(run));

    std::vector<std::string> expected = {BANNER_LINE};
    expected.insert(expected.end(), texts.begin(), texts.end());
    expected.emplace_back(STOPPED_LINE);
    EXPECT_EQ(expected, messages);
}

// A write that waits for room on a full stdout is cut short by Ctrl-Z and
// fg (SIGSTOP, SIGCONT): on a socket with a send timeout it then fails with
// EINTR (signal(7)). That is no failure of stdout: the logger writes again
// and loses nothing.
TEST_F(OutputTest, WriteInterruptedByStopAndContinueGoesOn)
{
    constexpr unsigned RECORDS = 60; // 15 KiB: more than the stdout socket holds
    const StdoutEnds ends = timed_stream_socket();
    ASSERT_GE(ends.logger, 0) << "no socket pair: " << std::strerror(errno);
    LoggerRun& run = start({.out = Stdout::Given, .given = ends});
    std::string expected = BANNER_LINE;
    for (unsigned seq = 0; seq < RECORDS; ++seq) {
        ASSERT_EQ(static_cast<ssize_t>(RECORD_SIZE), send_datagram(record(seq)));
        expected += record(seq);
    }
    // It sleeps in sock_alloc_send_pskb, for a full AF_UNIX stream.
    ASSERT_TRUE(wait_asleep_in(run, "send")) << "the logger never waited for room on its stdout";
    ASSERT_EQ(0, kill(run.pid, SIGSTOP));
    ASSERT_TRUE(wait_state(run, 'T')) << "the logger did not stop on SIGSTOP";
    ASSERT_EQ(0, kill(run.pid, SIGCONT));
    ASSERT_TRUE(read_until(run, record(RECORDS - 1)))
        << "got " << run.output.size() << " of " << expected.size() << " bytes; the kernel dropped "
        << port_socket(run).drops;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_TRUE(expected + STOPPED_LINE == run.output)
        << describe_difference(expected + STOPPED_LINE, run.output);
}

// With SIGPIPE at its default, as most programs start, a reader that goes
// away ends the logger by SIGPIPE, as it ends cat, and nothing is said.
TEST_F(OutputTest, ReaderGoneEndsItBySigpipe)
{
    LoggerRun& run = start();
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    close(run.out);
    run.out = -1;
    ASSERT_EQ(5, send_datagram("lost\n"));
    EXPECT_EQ("killed by signal " + std::to_string(SIGPIPE), finish(run))
        << "although its reader went away";
}

const FailureCase FAILURE_CASES[] = {
    {"DevFull", Stdout::DevFull, FailsAt::Banner, "No space left on device"},
    {"Closed", Stdout::Closed, FailsAt::Banner, "Bad file descriptor"},
    {"NoReader", Stdout::NoReader, FailsAt::Banner, "Broken pipe"},
    // No real stdout does it, but a write that takes nothing and names no
    // error must neither be retried for ever nor be taken as done.
    {"WriteTakesNothing", Stdout::Pipe, FailsAt::Banner, "No space left on device",
     Fault::StdoutTakesNothing},
    {"ReaderGoneWhileRelaying", Stdout::Pipe, FailsAt::Datagram, "Broken pipe"},
    {"ReaderGoneAtStop", Stdout::Pipe, FailsAt::StopLine, "Broken pipe"},
};

class Failure : public LoggerTest, public ::testing::WithParamInterface<FailureCase> {};

// SIGPIPE is ignored in every case, so a write to a pipe with no reader
// fails with EPIPE instead of ending the logger by the signal.
TEST_P(Failure, EndsWithStatus1AndSaysWhy)
{
    const FailureCase& c = GetParam();
    LoggerRun* run = nullptr;
    if (c.when == FailsAt::Banner) {
        if (const std::string why = seccomp_problem(); !why.empty())
            GTEST_SKIP() << why;
        // A bind would kill the logger with SIGSYS, and the status would show it.
        run = &spawn({.out = c.out, .ignore_sigpipe = true, .fault = c.fault});
    } else {
        run = &start({.out = c.out, .ignore_sigpipe = true});
        ASSERT_TRUE(read_until(*run, BANNER_LINE)) << "got: " << run->output;
        close(run->out);
        run->out = -1;
        if (c.when == FailsAt::Datagram)
            ASSERT_EQ(5, send_datagram("lost\n"));
        else
            ASSERT_EQ(0, kill(run->pid, SIGINT));
    }
    EXPECT_EQ("exited with 1", finish(*run)) << "although stdout failed";
    EXPECT_EQ(std::string("korvi-logger: standard output: ") + c.cause + "\n", error_output(*run));
}

INSTANTIATE_TEST_SUITE_P(OutputTest, Failure, ::testing::ValuesIn(FAILURE_CASES), CaseName());

} // namespace
} // namespace korvi_test
