// Test fixture: runs the real korvi-logger the ways users start it, and
// reads exactly what it writes and what the kernel shows of it.
#pragma once

#include "datagrams.h"
#include "seccomp_faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace korvi_test {

constexpr char BANNER_LINE[] = "KORVI Logger (v1.1)\n";
constexpr char FAILED_LINE[] = "net-setup failed. korvi-logger already running ?\n";
constexpr char STOPPED_LINE[] = "KORVI Logger stopped.\n";

// How long any one event (port bound, bytes arrived, process ended) may take.
// Generous, because the suite also runs under the sanitizers.
constexpr std::chrono::seconds EVENT_DEADLINE{10};

using Clock = std::chrono::steady_clock;

// ---- Running a logger ----

// The path of a program of this build, given relative to the build's top
// folder ("korvi-logger", "examples/send_log"): found beside the tests'
// own program, so that a copy of the build runs anywhere.
std::string built_program(const std::string& relative);

// Where the logger's stdout goes.
enum class Stdout {
    Pipe,     // a pipe the test reads (LoggerRun::out)
    File,     // a file (LoggerRun::out_path)
    DevFull,  // /dev/full: every write fails with ENOSPC
    Closed,   // descriptor 1 is not open
    NoReader, // a pipe whose read end is already closed: EPIPE
    Given,    // what the test made: SpawnOptions::given
};

// The two ends of a stdout the test made itself (a socket pair, say): the
// logger's, which the fixture closes once the logger has it, and the
// test's, which becomes LoggerRun::out.
struct StdoutEnds {
    int logger = -1;
    int test = -1;
};

// The SIGINT state the logger inherits across exec.
enum class Sigint {
    Default, // default action, not blocked
    Blocked, // blocked, nothing pending
    Pending, // blocked and already pending
    Ignored, // SIG_IGN, as a script's background job starts
};

// Whose process the LISTEN_PID of a hand-over names.
enum class ListenPid {
    Logger, // the logger's: the sockets are its own
    Other,  // another process's: they are not for the logger
};

// Sockets handed over as a service manager hands them over
// (sd_listen_fds(3)): at descriptors 3, 4... of the logger, with LISTEN_PID,
// LISTEN_FDS and LISTEN_FDNAMES in its environment. The test keeps its own
// descriptors, as the manager does, and closes them itself.
struct Handover {
    std::vector<int> fds;
    ListenPid pid = ListenPid::Logger;
    std::string count; // LISTEN_FDS; "" for the number of fds
};

struct SpawnOptions {
    Stdout out = Stdout::Pipe;
    StdoutEnds given;                // for Stdout::Given
    bool nonblocking_stdout = false; // O_NONBLOCK on the stdout pipe
    int pipe_size = 0;               // F_SETPIPE_SZ for the stdout pipe; 0 keeps the default
    Sigint sigint = Sigint::Default;
    bool ignore_sigpipe = false; // start with SIGPIPE ignored, so writes fail with EPIPE
    bool stdin_closed = false;   // descriptor 0 is not open
    // When > 0: descriptors 3 up to first_free_fd - 1 are inherited open, none
    // above, and the limit on open files is raised past FD_SETSIZE, so the
    // logger's own descriptors are first_free_fd, first_free_fd + 1...
    int first_free_fd = 0;
    int open_files = 0; // when > 0: the limit on open files (ulimit -n)
    std::optional<Handover> handover;
    Fault fault = Fault::None;
    std::vector<std::string> args; // extra command-line arguments
    std::vector<std::string> env;  // extra environment entries, "NAME=value"
};

// Says why the logger can't be given descriptors past FD_SETSIZE here (the
// hard limit on open files is too low), or "".
std::string descriptor_limit_problem();

// One started copy of the logger.
struct LoggerRun {
    pid_t pid = -1;
    int pidfd = -1;           // readable once the process has ended
    int out = -1;             // the test's end of a pipe or socket stdout, or -1
    std::string out_path;     // stdout file, for Stdout::File
    std::string err_path;     // stderr always goes to a file
    bool err_checked = false; // a test has read stderr, so TearDown need not
    std::string output;       // stdout read so far
    bool reaped = false;
    int wait_status = 0;
};

// Fixture: starts loggers, and in TearDown ends and reaps whatever is left
// and checks that nothing went to stderr.
class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a logger and waits until it holds the port.
    LoggerRun& start(const SpawnOptions& options = {});
    // Starts a logger without waiting for anything.
    LoggerRun& spawn(const SpawnOptions& options = {});
    // Reads stdout to its end and waits for the exit; returns how the run
    // ended ("exited with 0"), or what did not happen in time.
    std::string finish(LoggerRun& run);
    // Sends SIGINT, then finish().
    std::string interrupt(LoggerRun& run);
    // The run relays and stops as it should: "hi\n" sent to it is written,
    // and SIGINT ends it with status 0, the banner, "hi\n" and the stop line.
    void expect_relays_and_stops(LoggerRun& run);
    // Everything the run wrote to stdout, once it has ended.
    std::string full_output(const LoggerRun& run);
    // Everything the run wrote to stderr, once it has ended; TearDown then
    // leaves stderr to the test.
    std::string error_output(LoggerRun& run);

  private:
    std::string dir_;
    std::deque<LoggerRun> runs_; // deque: start() hands out references
};

// A descriptor that is closed when it goes out of scope, also when an
// assertion ends a test early.
struct ScopedFd {
    int fd = -1;
    explicit ScopedFd(int descriptor) : fd(descriptor) {}
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd();
};

// ---- Reading and waiting ----

// Appends what the run's stdout holds, at most `most` bytes (up to 4096),
// waiting for it until `deadline`. Returns the bytes read: 0 at end of
// file, -1 on deadline or error.
ssize_t read_some(LoggerRun& run, Clock::time_point deadline, size_t most = 4096);
// Reads stdout until the output contains `needle`; false on deadline or EOF.
bool read_until(LoggerRun& run, const std::string& needle);
// Reads stdout until end of file; false on deadline.
bool read_to_eof(LoggerRun& run);
// Reads stdout as a slow reader would, at most `chunk` bytes (up to 4096)
// each `period`, until the output contains `needle` or, when `needle` is
// empty, until end of file; false on deadline (or on end of file before
// `needle`).
bool read_slowly_until(LoggerRun& run, const std::string& needle, size_t chunk,
                       std::chrono::microseconds period);

// Returns true once `done()` holds, asking every millisecond; false on
// deadline or when the process ends first.
bool wait_until(const LoggerRun& run, const std::function<bool()>& done);
// Waits for the process to end and reaps it; false on deadline.
bool wait_exit(LoggerRun& run);
// Returns true once the run holds the logger's UDP port; as wait_until.
bool wait_holds_port(const LoggerRun& run);
// Returns true once the process is in state `state` ('T': stopped, also
// when it shows as 't' because a tracer such as strace watches it); as
// wait_until.
bool wait_state(const LoggerRun& run, char state);
// Returns true once the process sleeps in a kernel function whose name
// holds `part` (/proc/PID/wchan): "send" for a socket send that waits for
// room, "pipe_write" for a full pipe; as wait_until.
bool wait_asleep_in(const LoggerRun& run, const std::string& part);

// "exited with N" or "killed by signal N", for assertions that show both sides.
std::string describe_status(int wait_status);
// The whole contents of a file ("" when it can't be read).
std::string file_contents(const std::string& path);

// ---- What the kernel shows of a run ----

// The run's socket on the port: its inode, bytes of datagrams waiting in its
// queue, and datagrams the kernel dropped because the queue was full; all
// -1 when it has none.
struct PortSocket {
    long inode;
    long queued_bytes;
    long drops;
};
PortSocket port_socket(const LoggerRun& run);
// How many sockets on the port the run has open.
int port_sockets(const LoggerRun& run);
// The descriptors the process has open, each with what its link in
// /proc/PID/fd names ("socket:[123]", "anon_inode:[signalfd]"...).
std::vector<std::pair<int, std::string>> open_descriptors(pid_t pid);
// The fields of /proc/PID/stat from field 3 (the state) on; empty once the
// process is gone.
std::vector<std::string> stat_fields(pid_t pid);

// ---- Tables of cases ----

// Every case type has a `name`. CaseName makes it the test's name in
// INSTANTIATE_TEST_SUITE_P, and operator<< prints it where GoogleTest shows
// a parameter, instead of the case's raw bytes.
struct CaseName {
    template <typename Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const
    {
        return info.param.name;
    }
};
template <typename Case, typename = decltype(std::declval<const Case&>().name)>
std::ostream& operator<<(std::ostream& os, const Case& c)
{
    return os << c.name;
}

} // namespace korvi_test
