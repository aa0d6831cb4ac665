#include "logger_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {
namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll(2); 0 once it has passed.
int ms_left(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits until fd is readable or the deadline passes; true when readable.
bool wait_readable(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    int rc;
    do
        rc = poll(&p, 1, timeout_ms);
    while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// Socket inodes the process has open, as "socket:[N]" link texts.
std::vector<std::string> socket_links(pid_t pid)
{
    std::vector<std::string> links;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return links;
    while (const dirent* e = readdir(d)) {
        char target[64] = {};
        const std::string path = dir + "/" + e->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0 &&
            std::strncmp(target, "socket:[", 8) == 0)
            links.emplace_back(target);
    }
    closedir(d);
    return links;
}

// The drop counter of the socket on the logger's port whose inode is one of
// `links`, as /proc/net/udp lists it; -1 when there is no such socket.
long port_drops(const std::vector<std::string>& links)
{
    std::ifstream udp("/proc/net/udp");
    std::string line;
    std::getline(udp, line); // header
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode, ref,
            pointer;
        long drops = 0;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >>
            inode >> ref >> pointer >> drops;
        const auto colon = local.rfind(':');
        if (colon == std::string::npos ||
            std::stoi(local.substr(colon + 1), nullptr, 16) != LOGGER_PORT)
            continue;
        for (const auto& link : links)
            if (link == "socket:[" + inode + "]")
                return drops;
    }
    return -1;
}

// In the child, before exec: installs a seccomp filter under which any
// bind(2) ends the process with SIGSYS, so a test can tell that the logger
// never tried to take the port.
void forbid_bind()
{
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_bind, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

// In the child, before exec: gives SIGINT the state the test asked for.
// Blocked and pending signals, and SIG_IGN, all survive exec.
void set_sigint(Sigint state)
{
    signal(SIGINT, state == Sigint::Ignored ? SIG_IGN : SIG_DFL);
    sigset_t mask;
    sigemptyset(&mask);
    if (state == Sigint::Blocked || state == Sigint::Pending)
        sigaddset(&mask, SIGINT);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (state == Sigint::Pending)
        kill(getpid(), SIGINT);
}

// Appends what the stdout pipe holds, at most `most` bytes (up to 4096),
// waiting for it until `deadline`. Returns the bytes read: 0 at end of file,
// -1 on deadline or error.
ssize_t read_chunk(LoggerRun& run, Clock::time_point deadline, size_t most = 4096)
{
    char chunk[4096];
    ssize_t n;
    do {
        if (!wait_readable(run.out, ms_left(deadline)))
            return -1;
        n = read(run.out, chunk, std::min(most, sizeof chunk));
    } while (n < 0 && errno == EINTR);
    if (n > 0)
        run.output.append(chunk, static_cast<size_t>(n));
    return n;
}

} // namespace

sockaddr_in ipv4_address(const char* ip)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(LOGGER_PORT);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    return addr;
}

ssize_t send_datagram(const std::string& payload, const char* ip)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    const sockaddr_in addr = ipv4_address(ip);
    const ssize_t sent = sendto(fd, payload.data(), payload.size(), 0,
                                reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    close(fd);
    return sent;
}

ssize_t send_datagram6(const std::string& payload)
{
    const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(LOGGER_PORT);
    addr.sin6_addr = in6addr_loopback;
    const ssize_t sent = sendto(fd, payload.data(), payload.size(), 0,
                                reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int saved = errno;
    close(fd);
    errno = saved;
    return sent;
}

std::string record(unsigned seq)
{
    char head[32];
    std::snprintf(head, sizeof head, "#%010u ", seq);
    std::string r(head);
    r.append(RECORD_SIZE - 1 - r.size(), '=');
    r.push_back('\n');
    return r;
}

bool port_is_free()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    const sockaddr_in addr = ipv4_address("0.0.0.0");
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return free;
}

bool wait_holds_port(const LoggerRun& run)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    for (;;) {
        if (port_drops(socket_links(run.pid)) >= 0)
            return true;
        // Sleeps only while the process lives: its end wakes us at once.
        if (Clock::now() >= deadline || wait_readable(run.pidfd, 2))
            return false;
    }
}

long kernel_drops(const LoggerRun& run)
{
    return port_drops(socket_links(run.pid));
}

bool read_until(LoggerRun& run, const std::string& needle)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (run.output.find(needle) == std::string::npos)
        if (read_chunk(run, deadline) <= 0)
            return false;
    return true;
}

bool read_to_eof(LoggerRun& run)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    for (;;) {
        const ssize_t n = read_chunk(run, deadline);
        if (n <= 0)
            return n == 0;
    }
}

bool read_slowly_until(LoggerRun& run, const std::string& needle, size_t chunk,
                       std::chrono::microseconds period)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    for (auto next = Clock::now();; next += period) {
        if (!needle.empty() && run.output.find(needle) != std::string::npos)
            return true;
        std::this_thread::sleep_until(next); // the reader's pace, not a wait for an event
        const ssize_t n = read_chunk(run, deadline, chunk);
        if (n <= 0)
            return n == 0 && needle.empty();
    }
}

bool wait_exit(LoggerRun& run)
{
    if (run.reaped)
        return true;
    if (!wait_readable(run.pidfd, ms_left(Clock::now() + EVENT_DEADLINE)))
        return false;
    run.reaped = waitpid(run.pid, &run.wait_status, 0) == run.pid;
    return run.reaped;
}

std::string describe_status(int wait_status)
{
    if (WIFEXITED(wait_status))
        return "exited with " + std::to_string(WEXITSTATUS(wait_status));
    if (WIFSIGNALED(wait_status))
        return "killed by signal " + std::to_string(WTERMSIG(wait_status));
    return "unknown wait status " + std::to_string(wait_status);
}

std::string file_contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void LoggerTest::SetUp()
{
    ASSERT_TRUE(port_is_free())
        << "UDP port " << LOGGER_PORT
        << " is already held by another program (a korvi-logger left running?).\n"
           "See who holds it with: ss -uanp 'sport = :17825'\n"
           "Stop it and run the tests again; they need the port to themselves.";
    char tmpl[] = "/tmp/korvi-test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr) << std::strerror(errno);
    dir_ = tmpl;
}

void LoggerTest::TearDown()
{
    for (auto& run : runs_) {
        if (!run.reaped) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, &run.wait_status, 0);
            run.reaped = true;
        }
        if (!run.err_checked) {
            EXPECT_EQ("", file_contents(run.err_path)) << "the logger wrote to stderr";
        }
        if (run.out >= 0)
            close(run.out);
        close(run.pidfd);
        unlink(run.err_path.c_str());
        if (!run.out_path.empty())
            unlink(run.out_path.c_str());
    }
    if (!dir_.empty())
        rmdir(dir_.c_str());
}

namespace {

// Opens what the logger's stdout is to be, as `options` says; returns the
// descriptor the child gets as stdout, or -1 for a closed stdout.
int open_stdout(LoggerRun& run, const SpawnOptions& options, const std::string& tag)
{
    switch (options.out) {
    case Stdout::File:
        run.out_path = tag + ".out";
        return open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    case Stdout::DevFull:
        return open("/dev/full", O_WRONLY | O_CLOEXEC);
    case Stdout::Closed:
        return -1;
    case Stdout::Pipe:
    case Stdout::NoReader:
        break;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    if (options.out == Stdout::NoReader)
        close(fds[0]);
    else
        run.out = fds[0];
    if (options.pipe_size > 0) {
        EXPECT_GE(fcntl(fds[1], F_SETPIPE_SZ, options.pipe_size), 0) << std::strerror(errno);
    }
    // O_NONBLOCK belongs to the pipe's open file, so the child inherits it.
    if (options.nonblocking_stdout)
        fcntl(fds[1], F_SETFL, O_NONBLOCK);
    return fds[1];
}

} // namespace

LoggerRun& LoggerTest::spawn(const SpawnOptions& options)
{
    LoggerRun& run = runs_.emplace_back();
    const std::string tag = dir_ + "/run" + std::to_string(runs_.size());
    run.err_path = tag + ".err";

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls until exec.
    std::vector<std::string> args{KORVI_LOGGER_PATH};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const int err_fd = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int out_fd = open_stdout(run, options, tag);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(err_fd >= 0 && null_fd >= 0 && (out_fd >= 0 || options.out == Stdout::Closed))
        << std::strerror(errno);

    run.pid = fork();
    if (run.pid == 0) {
        set_sigint(options.sigint);
        signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        dup2(null_fd, STDIN_FILENO);
        if (out_fd >= 0)
            dup2(out_fd, STDOUT_FILENO);
        else
            close(STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        if (options.forbid_bind)
            forbid_bind();
        execv(argv[0], argv.data());
        _exit(127);
    }
    run.pidfd = static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0));
    close(err_fd);
    if (out_fd >= 0)
        close(out_fd);
    close(null_fd);
    EXPECT_GE(run.pidfd, 0) << "fork or pidfd_open failed: " << std::strerror(errno);
    return run;
}

LoggerRun& LoggerTest::start(const SpawnOptions& options)
{
    LoggerRun& run = spawn(options);
    EXPECT_TRUE(wait_holds_port(run))
        << "the logger did not bind UDP " << LOGGER_PORT << " within the deadline";
    return run;
}

std::string LoggerTest::interrupt(LoggerRun& run)
{
    kill(run.pid, SIGINT);
    if (run.out >= 0) {
        EXPECT_TRUE(read_to_eof(run)) << "stdout not closed within the deadline";
    }
    if (!wait_exit(run))
        return "still running after SIGINT";
    return describe_status(run.wait_status);
}

std::string LoggerTest::full_output(const LoggerRun& run)
{
    return run.out >= 0 ? run.output : file_contents(run.out_path);
}

std::string LoggerTest::error_output(LoggerRun& run)
{
    run.err_checked = true;
    return file_contents(run.err_path);
}

} // namespace korvi_test
