// korvi-bench-send: sends sequence-numbered datagrams to 127.0.0.1:17825,
// flat out or at a fixed rate. With --latency it also reads the receiver's
// stdout on its own stdin and measures the time from send to visible.
//
//   korvi-bench-send --count N --size S [--first F] [--rate R] [--source-port P] [--latency]
//
// Numbers the datagrams F, F+1... (0 on). Prints one line of key=value
// results on stdout; errors= counts sends that failed (a closed port makes
// the next send fail with ECONNREFUSED).
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint16_t TARGET_PORT = 17825;
constexpr std::size_t SEQ_DIGITS = 10;
constexpr std::size_t MIN_SIZE = SEQ_DIGITS + 2; // digits, a space, the newline
constexpr std::int64_t GRACE_NS = 2'000'000'000; // how long late datagrams are awaited

struct Options {
    unsigned count = 0;
    unsigned first = 0;
    std::size_t size = 64;
    double rate = 0; // datagrams per second; 0 = as fast as possible
    int source_port = 0;
    bool latency = false;
};

std::int64_t now_ns()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// Parses the command line into `o`; returns false on anything it does not know.
bool parse_options(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--latency")
            o.latency = true;
        else if (v != nullptr && a == "--count" && ++i)
            o.count = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        else if (v != nullptr && a == "--first" && ++i)
            o.first = static_cast<unsigned>(std::strtoul(v, nullptr, 10));
        else if (v != nullptr && a == "--size" && ++i)
            o.size = std::strtoul(v, nullptr, 10);
        else if (v != nullptr && a == "--rate" && ++i)
            o.rate = std::strtod(v, nullptr);
        else if (v != nullptr && a == "--source-port" && ++i)
            o.source_port = std::atoi(v);
        else
            return false;
    }
    return o.count > 0 && o.size >= MIN_SIZE && o.size <= 65507;
}

// Datagram `seq`: ten digits, a space, padding, a newline; `size` bytes.
void fill_record(std::vector<char>& rec, unsigned seq)
{
    char digits[SEQ_DIGITS + 1];
    std::snprintf(digits, sizeof digits, "%010u", seq);
    std::memcpy(rec.data(), digits, SEQ_DIGITS);
}

// A UDP socket connected to the target (bound to `source_port` if not 0), or -1.
int open_sender(int source_port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (source_port != 0) {
        addr.sin_port = htons(static_cast<std::uint16_t>(source_port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
            return -1;
    }
    addr.sin_port = htons(TARGET_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
        return -1;
    return fd;
}

// Reads records from stdin until all have been seen, EOF, or `stop`; stamps
// each record's first sighting in `seen_ns`.
void read_records(std::vector<std::int64_t>& seen_ns, const std::atomic<bool>& stop)
{
    std::string pending;
    char chunk[65536];
    std::size_t seen = 0;
    while (seen < seen_ns.size() && !stop) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0)
            return;
        const std::int64_t t = now_ns();
        pending.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t nl; (nl = pending.find('\n', start)) != std::string::npos;
             start = nl + 1) {
            const std::string line = pending.substr(start, nl - start);
            if (line.size() <= SEQ_DIGITS || line.find_first_not_of("0123456789") != SEQ_DIGITS)
                continue; // a receiver's own line
            const unsigned long seq = std::strtoul(line.c_str(), nullptr, 10);
            if (seq < seen_ns.size() && seen_ns[seq] == 0) {
                seen_ns[seq] = t;
                ++seen;
            }
        }
        pending.erase(0, start);
    }
}

// Thread body: read_records, then `done`, so main can wait with a deadline.
void read_visible(std::vector<std::int64_t>& seen_ns, const std::atomic<bool>& stop,
                  std::atomic<bool>& done)
{
    read_records(seen_ns, stop);
    done = true;
}

// The q-quantile of `v` (sorted in place), in microseconds.
double quantile_us(std::vector<std::int64_t>& v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1));
    return static_cast<double>(v[at]) / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse_options(argc, argv, o)) {
        std::fprintf(stderr, "usage: korvi-bench-send --count N --size S [--first F] [--rate R] "
                             "[--source-port P] [--latency]\n");
        return 2;
    }
    const int fd = open_sender(o.source_port);
    if (fd < 0) {
        std::perror("korvi-bench-send: socket");
        return 1;
    }
    prctl(PR_SET_TIMERSLACK, 1UL); // pacing sleeps end on time, not 50 us late

    std::vector<std::int64_t> sent_ns(o.latency ? o.count : 0);
    std::vector<std::int64_t> seen_ns(o.latency ? o.count : 0);
    std::atomic<bool> stop_reader{false};
    std::atomic<bool> reader_done{false};
    std::thread reader;
    if (o.latency)
        reader = std::thread(read_visible, std::ref(seen_ns), std::cref(stop_reader),
                             std::ref(reader_done));

    std::vector<char> rec(o.size, 'x');
    rec[SEQ_DIGITS] = ' ';
    rec.back() = '\n';
    unsigned errors = 0;
    const std::int64_t start = now_ns();
    for (unsigned seq = 0; seq < o.count; ++seq) {
        if (o.rate > 0) {
            const auto due = start + static_cast<std::int64_t>(seq * 1e9 / o.rate);
            if (now_ns() < due) {
                const timespec ts{static_cast<time_t>(due / 1'000'000'000), due % 1'000'000'000};
                clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            }
        }
        fill_record(rec, o.first + seq);
        if (o.latency)
            sent_ns[seq] = now_ns();
        if (send(fd, rec.data(), rec.size(), 0) < 0)
            ++errors;
    }
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    std::printf("sent=%u errors=%u seconds=%.6f rate=%.0f", o.count, errors, seconds,
                o.count / seconds);

    if (o.latency) {
        const std::int64_t give_up = now_ns() + GRACE_NS;
        while (!reader_done && now_ns() < give_up)
            poll(nullptr, 0, 10);
        stop_reader = true;
        reader.join();
        std::vector<std::int64_t> lat;
        for (unsigned i = 0; i < o.count; ++i)
            if (seen_ns[i] != 0)
                lat.push_back(seen_ns[i] - sent_ns[i]);
        std::printf(" received=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f", lat.size(),
                    quantile_us(lat, 0.50), quantile_us(lat, 0.99), quantile_us(lat, 1.0));
    }
    std::printf("\n");
    close(fd);
    return 0;
}
