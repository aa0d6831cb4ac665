// Standard output that is slow, non-blocking, takes part of a write, or is
// broken: nothing is dropped, torn or repeated while stdout can take it,
// each text leaves in one write, and a stdout that fails for good ends the
// logger with status 1 and the cause on stderr, never with a silent success.
#include "logger_process.h"

#include <csignal>
#include <random>
#include <sys/ioctl.h>
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
    const long drops = port_queue(run).drops;
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

    LoggerRun& run = start({.out = Stdout::Stream});
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
    const long drops = port_queue(run).drops;
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
    LoggerRun& run = start({.out = Stdout::Messages});
    for (const auto& text : texts)
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text));
    std::vector<std::string> messages;
    ASSERT_TRUE(read_messages(run, messages, 1 + texts.size()))
        << messages.size() << " messages so far";
    kill(run.pid, SIGINT);
    ASSERT_TRUE(read_messages(run, messages, 2 + texts.size())) << "no stop line";
    EXPECT_TRUE(read_to_eof(run)) << "stdout not closed within the deadline";
    ASSERT_TRUE(wait_exit(run));
    EXPECT_EQ("exited with 0", describe_status(run.wait_status));

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
    LoggerRun& run = start({.out = Stdout::TimedStream});
    std::string expected = BANNER_LINE;
    for (unsigned seq = 0; seq < RECORDS; ++seq) {
        ASSERT_EQ(static_cast<ssize_t>(RECORD_SIZE), send_datagram(record(seq)));
        expected += record(seq);
    }
    ASSERT_TRUE(wait_blocked_in_send(run)) << "the logger never waited for room on its stdout";
    ASSERT_EQ(0, kill(run.pid, SIGSTOP));
    ASSERT_TRUE(wait_state(run, 'T')) << "the logger did not stop on SIGSTOP";
    ASSERT_EQ(0, kill(run.pid, SIGCONT));
    ASSERT_TRUE(read_until(run, record(RECORDS - 1)))
        << "got " << run.output.size() << " of " << expected.size() << " bytes; the kernel dropped "
        << port_queue(run).drops;
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
    ASSERT_TRUE(wait_exit(run)) << "the logger did not end although its reader went away";
    EXPECT_EQ("killed by signal " + std::to_string(SIGPIPE), describe_status(run.wait_status));
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
    ASSERT_TRUE(wait_exit(*run)) << "the logger did not end although stdout failed";
    EXPECT_EQ("exited with 1", describe_status(run->wait_status));
    EXPECT_EQ(std::string("korvi-logger: standard output: ") + c.cause + "\n", error_output(*run));
}

INSTANTIATE_TEST_SUITE_P(OutputTest, Failure, ::testing::ValuesIn(FAILURE_CASES), CaseName());

} // namespace
} // namespace korvi_test
