// Test fixture: runs the real korvi-logger, talks to it over UDP on loopback
// and reads exactly what it writes.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <netinet/in.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace korvi_test {

constexpr int LOGGER_PORT = 17825;
constexpr char BANNER_LINE[] = "KORVI Logger (v1.1)\n";
constexpr char FAILED_LINE[] = "net-setup failed. korvi-logger already running ?\n";
constexpr char STOPPED_LINE[] = "KORVI Logger stopped.\n";

// How long any one event (port bound, bytes arrived, process ended) may take.
// Generous, because the suite also runs under the sanitizers.
constexpr std::chrono::seconds EVENT_DEADLINE{10};

struct SpawnOptions {
    bool stdout_to_file = false;   // otherwise a pipe the test reads
    bool sigint_pending = false;   // start with SIGINT blocked and already pending
    std::vector<std::string> args; // extra command-line arguments
};

// One started copy of the logger.
struct LoggerRun {
    pid_t pid = -1;
    int pidfd = -1;       // readable once the process has ended
    int out = -1;         // read end of the stdout pipe, or -1
    std::string out_path; // stdout file, when stdout_to_file
    std::string err_path; // stderr always goes to a file
    std::string output;   // stdout read from the pipe so far
    bool reaped = false;
    int wait_status = 0;
};

// The logger's port at IPv4 address `ip` (dotted quad).
sockaddr_in ipv4_address(const char* ip);
// Sends one IPv4 datagram to the logger's port at `ip`; returns bytes sent or -1.
ssize_t send_datagram(const std::string& payload, const char* ip = "127.0.0.1");
// Sends one IPv6 datagram to [::1] at the logger's port; returns bytes sent or
// -1 (errno set) when IPv6 is not available.
ssize_t send_datagram6(const std::string& payload);

// Returns true when nothing on the host holds the logger's UDP port.
bool port_is_free();

// Reads the stdout pipe until the output contains `needle`; false on deadline or EOF.
bool read_until(LoggerRun& run, const std::string& needle);
// Reads the stdout pipe until end of file; false on deadline.
bool read_to_eof(LoggerRun& run);
// Waits for the process to end and reaps it; false on deadline.
bool wait_exit(LoggerRun& run);
// "exited with N" or "killed by signal N", for assertions that show both sides.
std::string describe_status(int wait_status);
// The whole contents of a file ("" when it can't be read).
std::string file_contents(const std::string& path);

// Fixture: checks that the port is free, starts loggers, and in TearDown ends
// and reaps whatever is left and checks that nothing went to stderr.
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

  private:
    std::string dir_;
    std::deque<LoggerRun> runs_; // deque: start() hands out references
};

// Returns true once the process `pid` holds the logger's UDP port; false on
// deadline or when the process ends first.
bool wait_holds_port(const LoggerRun& run);

} // namespace korvi_test
