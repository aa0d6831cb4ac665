// The stop on SIGINT: taken at once under any load, whatever SIGINT state
// the logger inherits, and always clean: nothing cut or repeated, nothing
// received after the signal written, the stop line once and last.
#include "logger_process.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for them.
struct FloodCase {
    const char* name;
    Stdout out;
    bool nonblocking; // O_NONBLOCK on the stdout pipe
};

struct InheritedCase {
    const char* name;
    Sigint state;
};

// What a signal other than SIGINT does to the logger: what it does to any
// program that leaves it at its default action.
enum class Effect {
    Ends,     // ends it, without the stop line
    Ignored,  // nothing: it goes on relaying
    Suspends, // stops it until SIGCONT, then it relays again
};

struct SignalCase {
    const char* name;
    int signal;
    Effect effect;
};

namespace {

using namespace std::chrono_literals;

// Bounds on each flood. Both lie well past EVENT_DEADLINE, so a logger that
// held off the stop until the flood ended fails on the deadline, not by luck.
constexpr auto FLOOD_LIMIT = 30s;
constexpr unsigned MAX_RECORDS = 50'000'000;

// A slow reader of a pipe: 4 KiB each millisecond.
constexpr size_t SLOW_CHUNK = 4096;
constexpr auto SLOW_PERIOD = 1ms;

// A counter of /proc/PID/io ("wchar": bytes written so far), or -1.
long io_counter(const LoggerRun& run, const std::string& name)
{
    std::ifstream io("/proc/" + std::to_string(run.pid) + "/io");
    std::string key;
    long value = 0;
    while (io >> key >> value)
        if (key == name + ":")
            return value;
    return -1;
}

// Returns true once a datagram waits in the run's socket queue; false on deadline.
bool wait_queued(const LoggerRun& run)
{
    return wait_until(run, [&] { return port_socket(run).queued_bytes > 0; });
}

// What a flood did.
struct FloodResult {
    bool socket_opened = false;
    unsigned sent = 0;           // records sent in all
    unsigned interrupted_at = 0; // every record from this one on was sent after SIGINT
};

// Sends records 0, 1, 2... flat out until `done` (or a bound). From record
// `interrupt_from` on, as soon as the logger has written one record, SIGINTs
// it and goes on sending, so that records keep coming after the signal.
void flood(const LoggerRun& run, unsigned interrupt_from, const std::atomic<bool>& done,
           FloodResult& result)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    result.socket_opened = fd >= 0;
    if (fd < 0) {
        kill(run.pid, SIGINT); // ends the run at once; the test then fails on socket_opened
        return;
    }
    const long one_record_written = static_cast<long>(sizeof BANNER_LINE - 1 + RECORD_SIZE);
    const sockaddr_in to = ipv4_address("127.0.0.1");
    const auto limit = std::chrono::steady_clock::now() + FLOOD_LIMIT;
    bool interrupted = false;
    unsigned seq = 0;
    for (; seq < MAX_RECORDS && !done; ++seq) {
        if (!interrupted && seq >= interrupt_from &&
            io_counter(run, "wchar") >= one_record_written) {
            kill(run.pid, SIGINT);
            interrupted = true;
            result.interrupted_at = seq;
        }
        if (seq % 1024 == 0 && std::chrono::steady_clock::now() > limit)
            break;
        const std::string r = record(seq);
        sendto(fd, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    if (!interrupted) {
        kill(run.pid, SIGINT);
        result.interrupted_at = seq;
    }
    result.sent = seq;
    close(fd);
}

// Checks that `out` is the banner, whole records in rising order, all sent
// before the signal (the kernel may have dropped some, and those still queued
// at the signal are never written; none may be repeated or cut), at least
// one of them, and the stop line once, last.
void expect_clean_stop(const std::string& out, unsigned interrupt_at)
{
    const std::string banner = BANNER_LINE;
    const std::string stopped = STOPPED_LINE;
    ASSERT_GE(out.size(), banner.size() + stopped.size()) << out;
    ASSERT_EQ(banner, out.substr(0, banner.size()));
    ASSERT_EQ(stopped, out.substr(out.size() - stopped.size())) << "the stop line is not last";
    const std::string body = out.substr(banner.size(), out.size() - banner.size() - stopped.size());
    ASSERT_EQ(0u, body.size() % RECORD_SIZE)
        << "a record was cut: " << body.size() << " bytes of records";
    ASSERT_FALSE(body.empty()) << "no record was written, although one was before SIGINT";
    long last = -1;
    for (size_t at = 0; at < body.size(); at += RECORD_SIZE) {
        const std::string got = body.substr(at, RECORD_SIZE);
        unsigned seq = 0;
        ASSERT_EQ(1, std::sscanf(got.c_str(), "#%10u", &seq)) << "at byte " << at << ": " << got;
        ASSERT_EQ(record(seq), got) << "record damaged at byte " << at;
        ASSERT_GT(static_cast<long>(seq), last) << "record repeated or out of order";
        ASSERT_LT(seq, interrupt_at) << "a record sent after SIGINT was written";
        last = seq;
    }
}

const FloodCase FLOOD_CASES[] = {
    {"ToFile", Stdout::File, false},
    {"ToSlowPipe", Stdout::Pipe, false},
    {"ToSlowNonBlockingPipe", Stdout::Pipe, true},
};

class StopTest : public LoggerTest {};
class Flood : public LoggerTest, public ::testing::WithParamInterface<FloodCase> {};

// SIGINT at a random moment of a flood that outpaces the logger and goes on
// after the signal: the stop comes at once, wherever the signal lands.
TEST_P(Flood, InterruptIsTakenAtOnceAndCleanly)
{
    constexpr int TRIALS = 10;
    const FloodCase& c = GetParam();
    const unsigned seed = std::random_device{}();
    RecordProperty("seed", static_cast<int>(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<unsigned> when(0, 5000);

    for (int trial = 0; trial < TRIALS; ++trial) {
        const unsigned interrupt_from = when(rng);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGINT from record " +
                     std::to_string(interrupt_from));
        LoggerRun& run = start({.out = c.out, .nonblocking_stdout = c.nonblocking});
        std::atomic<bool> done{false};
        FloodResult result;
        std::thread sender(flood, std::cref(run), interrupt_from, std::cref(done),
                           std::ref(result));
        const bool drained =
            c.out != Stdout::Pipe || read_slowly_until(run, "", SLOW_CHUNK, SLOW_PERIOD);
        const bool ended = drained && wait_exit(run);
        done = true;
        sender.join();
        ASSERT_TRUE(result.socket_opened) << "the flood could not open its socket";
        ASSERT_TRUE(ended) << "the logger did not end after SIGINT while the flood went on";
        EXPECT_EQ("exited with 0", describe_status(run.wait_status));
        SCOPED_TRACE("SIGINT before record " + std::to_string(result.interrupted_at) + " of " +
                     std::to_string(result.sent) + " sent");
        expect_clean_stop(full_output(run), result.interrupted_at);
        if (HasFailure())
            return;
    }
}

INSTANTIATE_TEST_SUITE_P(StopTest, Flood, ::testing::ValuesIn(FLOOD_CASES), CaseName());

const InheritedCase INHERITED_CASES[] = {
    {"Blocked", Sigint::Blocked},
    {"Pending", Sigint::Pending}, // the earliest an interrupt can come: before start-up
    {"Ignored", Sigint::Ignored}, // as `korvi-logger > f &` in a script starts
};

class InheritedSigint : public LoggerTest, public ::testing::WithParamInterface<InheritedCase> {};

TEST_P(InheritedSigint, StopsCleanlyOnSigint)
{
    const Sigint state = GetParam().state;
    LoggerRun& run = spawn({.sigint = state});
    if (state == Sigint::Pending) {
        EXPECT_EQ("exited with 0", finish(run));
        EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, run.output);
        return;
    }
    ASSERT_TRUE(wait_holds_port(run)) << "the logger did not bind UDP " << LOGGER_PORT;
    expect_relays_and_stops(run);
}

INSTANTIATE_TEST_SUITE_P(StopTest, InheritedSigint, ::testing::ValuesIn(INHERITED_CASES),
                         CaseName());

// A SIGINT that comes while the banner is being written, the earliest
// moment a script can know the logger runs, is taken as any other: the
// logger, asleep on a full stdout pipe, goes on once it drains, and stops
// with its stop line and status 0.
TEST_F(StopTest, InterruptWhileTheBannerIsWrittenStopsCleanly)
{
    constexpr int PIPE_SIZE = 4096;
    int fds[2];
    ASSERT_EQ(0, pipe2(fds, O_CLOEXEC)) << std::strerror(errno);
    ASSERT_EQ(PIPE_SIZE, fcntl(fds[1], F_SETPIPE_SZ, PIPE_SIZE)) << std::strerror(errno);
    const std::string filler(PIPE_SIZE, '.');
    ASSERT_EQ(PIPE_SIZE, write(fds[1], filler.data(), filler.size())) << "the pipe is not full";
    LoggerRun& run = spawn({.out = Stdout::Given, .given = {fds[1], fds[0]}});
    ASSERT_TRUE(wait_asleep_in(run, "pipe_write")) << "the logger never waited to write its banner";
    ASSERT_EQ(0, kill(run.pid, SIGINT));
    EXPECT_EQ("exited with 0", finish(run));
    EXPECT_EQ(filler + BANNER_LINE + STOPPED_LINE, run.output);
}

// A SIGINT, then a datagram, both waiting while the logger is stopped
// (SIGSTOP): when it runs again it takes the interrupt and writes nothing of
// the datagram that came after it. Unlike a flood, no timing can hide a
// logger that receives before it looks for the interrupt.
TEST_F(StopTest, DatagramAfterInterruptIsNeverWritten)
{
    LoggerRun& run = start();
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    ASSERT_EQ(0, kill(run.pid, SIGSTOP));
    ASSERT_TRUE(wait_state(run, 'T')) << "the logger did not stop on SIGSTOP";
    ASSERT_EQ(0, kill(run.pid, SIGINT));
    ASSERT_EQ(6, send_datagram("after\n"));
    ASSERT_TRUE(wait_queued(run)) << "the datagram did not reach the logger's socket";
    ASSERT_EQ(0, kill(run.pid, SIGCONT));
    EXPECT_EQ("exited with 0", finish(run));
    EXPECT_EQ(std::string(BANNER_LINE) + STOPPED_LINE, run.output);
}

// clang-format off
const SignalCase SIGNAL_CASES[] = {
    {"Term", SIGTERM, Effect::Ends},
    {"Hup", SIGHUP, Effect::Ends},        // the terminal closed
    {"Pipe", SIGPIPE, Effect::Ends},
    {"Usr1", SIGUSR1, Effect::Ends},
    {"Winch", SIGWINCH, Effect::Ignored}, // the terminal resized
    {"Chld", SIGCHLD, Effect::Ignored},
    {"Tstp", SIGTSTP, Effect::Suspends},  // Ctrl-Z
};
// clang-format on

class OtherSignal : public LoggerTest, public ::testing::WithParamInterface<SignalCase> {};

// Only SIGINT is the logger's own; every other signal does what it does to
// any program, and none of them writes the stop line.
TEST_P(OtherSignal, KeepsItsUsualEffect)
{
    const SignalCase& c = GetParam();
    LoggerRun& run = start();
    ASSERT_TRUE(read_until(run, BANNER_LINE)) << "got: " << run.output;
    ASSERT_EQ(0, kill(run.pid, c.signal));
    if (c.effect == Effect::Ends) {
        EXPECT_EQ("killed by signal " + std::to_string(c.signal), finish(run));
        EXPECT_EQ(BANNER_LINE, run.output);
        return;
    }
    const std::string text = "after the signal\n";
    if (c.effect == Effect::Suspends) {
        ASSERT_TRUE(wait_state(run, 'T')) << "the logger was not suspended";
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text));
        ASSERT_TRUE(wait_queued(run)) << "the datagram did not reach the logger's socket";
        EXPECT_EQ(BANNER_LINE, run.output) << "written while suspended";
        ASSERT_EQ(0, kill(run.pid, SIGCONT));
    } else {
        ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text));
    }
    ASSERT_TRUE(read_until(run, text)) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(BANNER_LINE + text + STOPPED_LINE, run.output);
}

INSTANTIATE_TEST_SUITE_P(StopTest, OtherSignal, ::testing::ValuesIn(SIGNAL_CASES), CaseName());

} // namespace
} // namespace korvi_test
