// SIGINT at random moments while a sender floods the logger: the stop is
// clean wherever it lands, also in the middle of writing a datagram.
#include "logger_process.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {
namespace {

constexpr size_t RECORD_SIZE = 256;
constexpr unsigned MAX_RECORDS = 200000; // bounds each flood

// Record `seq`: its number, padding, and a newline; exactly RECORD_SIZE bytes.
std::string record(unsigned seq)
{
    char head[32];
    std::snprintf(head, sizeof head, "#%010u ", seq);
    std::string r(head);
    r.append(RECORD_SIZE - 1 - r.size(), '=');
    r.push_back('\n');
    return r;
}

// Sends records 0, 1, 2... until `done` or MAX_RECORDS; SIGINTs `pid` after
// `interrupt_after` of them, so the signal lands while datagrams still come.
void flood(pid_t pid, unsigned interrupt_after, const std::atomic<bool>& done)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in to = ipv4_address("127.0.0.1");
    for (unsigned seq = 0; seq < MAX_RECORDS && !done; ++seq) {
        if (seq == interrupt_after)
            kill(pid, SIGINT);
        const std::string r = record(seq);
        sendto(fd, r.data(), r.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    if (interrupt_after >= MAX_RECORDS)
        kill(pid, SIGINT);
    close(fd);
}

// Checks that `out` is the banner, whole records in rising order (some may
// have been dropped by the kernel, none repeated or cut), and the stop line
// once, last.
void expect_clean_stop(const std::string& out)
{
    const std::string banner = BANNER_LINE;
    const std::string stopped = STOPPED_LINE;
    ASSERT_GE(out.size(), banner.size() + stopped.size()) << out;
    ASSERT_EQ(banner, out.substr(0, banner.size()));
    ASSERT_EQ(stopped, out.substr(out.size() - stopped.size())) << "the stop line is not last";
    const std::string body = out.substr(banner.size(), out.size() - banner.size() - stopped.size());
    ASSERT_EQ(0u, body.size() % RECORD_SIZE)
        << "a record was cut: " << body.size() << " bytes of records";
    long last = -1;
    for (size_t at = 0; at < body.size(); at += RECORD_SIZE) {
        const std::string got = body.substr(at, RECORD_SIZE);
        unsigned seq = 0;
        ASSERT_EQ(1, std::sscanf(got.c_str(), "#%10u", &seq)) << "at byte " << at << ": " << got;
        ASSERT_EQ(record(seq), got) << "record damaged at byte " << at;
        ASSERT_GT(static_cast<long>(seq), last) << "record repeated or out of order";
        last = seq;
    }
}

TEST_F(LoggerTest, InterruptDuringFloodStopsCleanly)
{
    constexpr int TRIALS = 30;
    const unsigned seed = std::random_device{}();
    RecordProperty("seed", static_cast<int>(seed));
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<unsigned> when(0, 5000);

    for (int trial = 0; trial < TRIALS; ++trial) {
        // Half to a file, half to a pipe that fills up and blocks the writes.
        const bool to_file = trial % 2 == 0;
        const unsigned interrupt_after = when(rng);
        SCOPED_TRACE("trial " + std::to_string(trial) + (to_file ? ", file" : ", pipe") +
                     ", SIGINT after " + std::to_string(interrupt_after) + " datagrams");
        LoggerRun& run = start({.stdout_to_file = to_file});
        std::atomic<bool> done{false};
        std::thread sender(flood, run.pid, interrupt_after, std::cref(done));
        if (!to_file)
            read_to_eof(run);
        const bool ended = wait_exit(run);
        done = true;
        sender.join();
        ASSERT_TRUE(ended) << "the logger did not end after SIGINT";
        EXPECT_EQ("exited with 0", describe_status(run.wait_status));
        expect_clean_stop(full_output(run));
        if (HasFailure())
            return;
    }
}

} // namespace
} // namespace korvi_test
