// Standard output that is slow, non-blocking or broken: nothing is dropped or
// torn while stdout can take it, and a stdout that fails for good ends the
// logger with status 1 and the cause on stderr, never with a silent success.
#include "logger_process.h"

#include <csignal>
#include <unistd.h>

namespace korvi_test {
namespace {

using namespace std::chrono_literals;

// A non-blocking stdout pipe of one page, read 1 KiB a millisecond: far
// slower than the logger writes, so most writes find the pipe full. All the
// records fit in the socket's default receive queue, so the kernel keeps
// every one while the logger waits for the reader.
TEST_F(LoggerTest, NonBlockingStdoutReadSlowlyLosesNothing)
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
    const long drops = kernel_drops(run);
    ASSERT_TRUE(all_read) << "the last record did not arrive; the kernel dropped " << drops;
    kill(run.pid, SIGINT);
    EXPECT_TRUE(read_slowly_until(run, "", 1024, 1ms)) << "stdout not closed within the deadline";
    ASSERT_TRUE(wait_exit(run));
    EXPECT_EQ("exited with 0", describe_status(run.wait_status));
    EXPECT_EQ(expected + STOPPED_LINE, run.output) << "the kernel dropped " << drops;
}

struct FailureCase {
    const char* name;
    Stdout out;
    bool at_start; // the banner already fails: the port must never be taken
    const char* cause;
};

const FailureCase FAILURE_CASES[] = {
    {"DevFull", Stdout::DevFull, true, "No space left on device"},
    {"Closed", Stdout::Closed, true, "Bad file descriptor"},
    {"NoReader", Stdout::NoReader, true, "Broken pipe"},
    {"ReaderGoneWhileRelaying", Stdout::Pipe, false, "Broken pipe"},
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.name;
}

class OutputFailureTest : public LoggerTest, public ::testing::WithParamInterface<FailureCase> {};

// SIGPIPE is ignored in every case, so a write to a pipe with no reader
// fails with EPIPE instead of ending the logger by the signal.
TEST_P(OutputFailureTest, EndsWithStatus1AndSaysWhy)
{
    const FailureCase& c = GetParam();
    LoggerRun* run = nullptr;
    if (c.at_start) {
        // A bind would kill the logger with SIGSYS, and the status would show it.
        run = &spawn({.out = c.out, .ignore_sigpipe = true, .forbid_bind = true});
    } else {
        run = &start({.out = c.out, .ignore_sigpipe = true});
        ASSERT_TRUE(read_until(*run, BANNER_LINE)) << "got: " << run->output;
        close(run->out);
        run->out = -1;
        ASSERT_EQ(5, send_datagram("lost\n"));
    }
    ASSERT_TRUE(wait_exit(*run)) << "the logger did not end although stdout failed";
    EXPECT_EQ("exited with 1", describe_status(run->wait_status));
    EXPECT_EQ(std::string("korvi-logger: standard output: ") + c.cause + "\n", error_output(*run));
}

INSTANTIATE_TEST_SUITE_P(Stdout, OutputFailureTest, ::testing::ValuesIn(FAILURE_CASES),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

} // namespace
} // namespace korvi_test
