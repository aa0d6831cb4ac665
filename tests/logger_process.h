// Test fixture: runs the real korvi-logger, talks to it over UDP on loopback
// and reads exactly what it writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <functional>
#include <netinet/in.h>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace korvi_test {

constexpr int LOGGER_PORT = 17825;
constexpr char BANNER_LINE[] = "KORVI Logger (v1.1)\n";
constexpr char FAILED_LINE[] = "net-setup failed. korvi-logger already running ?\n";
constexpr char STOPPED_LINE[] = "KORVI Logger stopped.\n";

// How long any one event (port bound, bytes arrived, process ended) may take.
// Generous, because the suite also runs under the sanitizers.
constexpr std::chrono::seconds EVENT_DEADLINE{10};

// Where the logger's stdout goes.
enum class Stdout {
    Pipe,     // a pipe the test reads (LoggerRun::out)
    File,     // a file (LoggerRun::out_path)
    DevFull,  // /dev/full: every write fails with ENOSPC
    Closed,   // descriptor 1 is not open
    NoReader, // a pipe whose read end is already closed: EPIPE
    Messages, // a SOCK_SEQPACKET socket: each write(2) arrives as one message
    Stream,   // a non-blocking TCP socket with small buffers: takes part of a write
    // A blocking stream socket with a send timeout and the smallest buffer,
    // read only by the test: a write that finds it full waits, and a stop
    // signal (SIGSTOP, then SIGCONT) makes that write fail with EINTR.
    TimedStream,
};

// The SIGINT state the logger inherits across exec.
enum class Sigint {
    Default, // default action, not blocked
    Blocked, // blocked, nothing pending
    Pending, // blocked and already pending
    Ignored, // SIG_IGN, as a script's background job starts
};

// A system call that the kernel makes misbehave for the logger (seccomp).
enum class Fault {
    None,
    BindKills,   // bind(2) kills the logger with SIGSYS: proves it never took the port
    SelectFails, // select(2) fails with ENOMEM
    // write(2) to stdout returns 0, taking nothing and naming no error; and
    // bind(2) kills, as with BindKills.
    StdoutTakesNothing,
};

// Says why no seccomp filter can be put on the logger here (an architecture
// the tests know no audit number for, or an emulator such as qemu-user,
// which refuses filters), or "" when one can: tests that need one skip
// with that reason. On a native kernel of a known architecture it is "".
std::string seccomp_problem();

struct SpawnOptions {
    Stdout out = Stdout::Pipe;
    bool nonblocking_stdout = false; // O_NONBLOCK on the stdout pipe
    int pipe_size = 0;               // F_SETPIPE_SZ for the stdout pipe; 0 keeps the default
    Sigint sigint = Sigint::Default;
    bool ignore_sigpipe = false; // start with SIGPIPE ignored, so writes fail with EPIPE
    bool stdin_closed = false;   // descriptor 0 is not open
    // When > 0: descriptors 3 up to first_free_fd - 1 are inherited open, none
    // above, and the limit on open files is raised past FD_SETSIZE, so the
    // logger's own descriptors are first_free_fd, first_free_fd + 1...
    int first_free_fd = 0;
    Fault fault = Fault::None;
    std::vector<std::string> args; // extra command-line arguments
    std::vector<std::string> env;  // extra environment entries, "NAME=value"
};

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

// Tables of cases: every case type has a `name`. CaseName makes it the
// test's name in INSTANTIATE_TEST_SUITE_P, and operator<< prints it where
// GoogleTest shows a parameter, instead of the case's raw bytes.
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

// Runs this process, and so every logger it starts, in a network namespace
// of its own with only loopback, where nothing else holds the port; as root,
// or else in a new user namespace. Where neither can be made, takes a lock
// that keeps other test processes on this host out until this one ends; so
// it does when KORVI_TESTS_ON_HOST_NETWORK is set. Returns a line that says
// which it did.
std::string isolate_network();
// True once isolate_network() has given this process a network of its own.
bool own_network();
// Says why the tests can't have the port to themselves, or "" when they
// can: always in a namespace of their own, else when nothing holds it.
std::string port_problem();

// The logger's port at IPv4 address `ip` (dotted quad).
sockaddr_in ipv4_address(const char* ip);
// Sends one IPv4 datagram to the logger's port at `ip`; returns bytes sent or -1.
ssize_t send_datagram(const std::string& payload, const char* ip = "127.0.0.1");
// Sends one IPv6 datagram to [::1] at the logger's port; returns bytes sent or
// -1 (errno set) when IPv6 is not available.
ssize_t send_datagram6(const std::string& payload);

// Size of a numbered test record.
constexpr size_t RECORD_SIZE = 256;
// Record `seq`: "#", its number in ten digits, padding, and a newline;
// exactly RECORD_SIZE bytes, so a cut or a merge shows.
std::string record(unsigned seq);

// Returns true when nothing in this network holds the logger's UDP port.
bool port_is_free();

// Reads the stdout pipe until the output contains `needle`; false on deadline or EOF.
bool read_until(LoggerRun& run, const std::string& needle);
// Reads whatever the stdout pipe brings during `window` (less at end of file).
void read_during(LoggerRun& run, std::chrono::milliseconds window);
// Reads the stdout pipe until end of file; false on deadline.
bool read_to_eof(LoggerRun& run);
// Reads a Stdout::Messages socket, one message per read, appending each to
// `messages` until it holds `count`; false on deadline or end of file first.
bool read_messages(LoggerRun& run, std::vector<std::string>& messages, size_t count);
// Reads the stdout pipe as a slow reader would, at most `chunk` bytes (up
// to 4096) each `period`, until the output contains `needle` or, when
// `needle` is empty, until end of file; false on deadline (or on end of file
// before `needle`).
bool read_slowly_until(LoggerRun& run, const std::string& needle, size_t chunk,
                       std::chrono::microseconds period);
// Waits for the process to end and reaps it; false on deadline.
bool wait_exit(LoggerRun& run);
// "exited with N" or "killed by signal N", for assertions that show both sides.
std::string describe_status(int wait_status);
// Where two long texts part: their sizes, the first byte that differs and
// a few bytes from there, escaped; for assertions on binary output.
std::string describe_difference(const std::string& expected, const std::string& got);
// The whole contents of a file ("" when it can't be read).
std::string file_contents(const std::string& path);

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
    // Sends SIGINT, drains stdout, reaps; returns describe_status of the end.
    std::string interrupt(LoggerRun& run);
    // Everything the run wrote to stdout, once it has ended.
    std::string full_output(const LoggerRun& run);
    // Everything the run wrote to stderr, once it has ended; TearDown then
    // leaves stderr to the test.
    std::string error_output(LoggerRun& run);

  private:
    std::string dir_;
    std::deque<LoggerRun> runs_; // deque: start() hands out references
};

// Returns true once `done()` holds, asking every millisecond; false on
// deadline or when the process ends first.
bool wait_until(const LoggerRun& run, const std::function<bool()>& done);
// Returns true once the run holds the logger's UDP port; as wait_until.
bool wait_holds_port(const LoggerRun& run);
// The run's socket on the port: datagrams waiting in its queue, and those the
// kernel dropped because the queue was full; {-1, -1} when it has none.
struct PortQueue {
    long queued_bytes;
    long drops;
};
PortQueue port_queue(const LoggerRun& run);
// Returns true once a datagram waits in the run's socket queue; false on deadline.
bool wait_queued(const LoggerRun& run);
// Returns true once the process is in state `state` ('T': stopped, also
// when it shows as 't' because a tracer such as strace watches it), as
// /proc/PID/stat shows it; false on deadline.
bool wait_state(const LoggerRun& run, char state);
// Returns true once the process sleeps in a socket send that waits for
// room (/proc/PID/wchan); false on deadline.
bool wait_blocked_in_send(const LoggerRun& run);
// A counter of /proc/PID/io ("syscw": write calls so far), or -1.
long io_counter(const LoggerRun& run, const std::string& name);
// CPU time the process has used so far, user and system, in seconds.
double cpu_seconds(const LoggerRun& run);

} // namespace korvi_test
