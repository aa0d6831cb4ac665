#include "logger_process.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {
namespace {

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
    for (const auto& open : open_descriptors(pid))
        if (open.second.rfind("socket:[", 0) == 0)
            links.push_back(open.second);
    return links;
}

// The rows of /proc/net/udp for the sockets on the logger's port whose
// inodes are among `links`.
std::vector<PortSocket> port_rows(const std::vector<std::string>& links)
{
    std::vector<PortSocket> rows;
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
                rows.push_back({std::stol(inode),
                                std::stol(queues.substr(queues.find(':') + 1), nullptr, 16),
                                drops});
    }
    return rows;
}

// In the child, before exec: puts the handed-over descriptors at 3, 4...,
// open across exec, and the service manager's variables in `env`, whose
// LISTEN_PID entry was made with room for any pid.
void hand_over(const Handover& handover, std::string* listen_pid_entry)
{
    constexpr int OUT_OF_THE_WAY = 64;
    int moved[16];
    const size_t n = std::min(handover.fds.size(), std::size(moved));
    for (size_t i = 0; i < n; ++i)
        if ((moved[i] = fcntl(handover.fds[i], F_DUPFD, OUT_OF_THE_WAY)) < 0)
            _exit(124);
    for (size_t i = 0; i < n; ++i) {
        if (dup2(moved[i], 3 + static_cast<int>(i)) < 0)
            _exit(124);
        close(moved[i]);
    }
    if (handover.pid == ListenPid::Logger) {
        // The pid in decimal, without allocating: digits from the end.
        char digits[24];
        char* at = digits + sizeof digits;
        *--at = '\0';
        auto pid = static_cast<unsigned long>(getpid());
        do
            *--at = static_cast<char>('0' + pid % 10);
        while ((pid /= 10) != 0);
        std::strcpy(listen_pid_entry->data() + std::strlen("LISTEN_PID="), at);
    }
}

// True for the environment entries through which a service manager speaks
// to the programs it starts (sd_notify(3), sd_listen_fds(3)): the tests run
// in containers that set them, and a logger gets them only from its test.
bool from_service_manager(const char* entry)
{
    for (const char* name : {"NOTIFY_SOCKET=", "LISTEN_PID=", "LISTEN_FDS=", "LISTEN_FDNAMES="})
        if (std::strncmp(entry, name, std::strlen(name)) == 0)
            return true;
    return false;
}

// In the child, before exec: leaves descriptors 3 up to first_free - 1 open
// (copies of stderr) and none above, with the limit on open files raised
// far enough that the logger can open descriptors past FD_SETSIZE.
void fill_descriptors(int first_free)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, static_cast<rlim_t>(first_free) + 64);
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        _exit(125);
    for (int fd = 3; fd < first_free; ++fd)
        if (dup2(STDERR_FILENO, fd) < 0)
            _exit(125);
    close_range(static_cast<unsigned>(first_free), ~0U, 0);
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
    case Stdout::Given:
        run.out = options.given.test;
        return options.given.logger;
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

// ---- Running a logger ----

std::string built_program(const std::string& relative)
{
    static const std::string top = [] {
        char self[PATH_MAX] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) < 0)
            return std::string(".");
        std::string path(self); // the build's top folder/tests/korvi-logger-tests
        path.erase(path.rfind('/'));
        path.erase(path.rfind('/'));
        return path;
    }();
    return top + "/" + relative;
}

std::string descriptor_limit_problem()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::string("getrlimit: ") + std::strerror(errno);
    if (limit.rlim_max >= static_cast<rlim_t>(FD_SETSIZE) + 8)
        return "";
    return "the hard limit on open files, " + std::to_string(limit.rlim_max) +
           ", does not reach past FD_SETSIZE";
}

void LoggerTest::SetUp()
{
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

LoggerRun& LoggerTest::spawn(const SpawnOptions& options)
{
    LoggerRun& run = runs_.emplace_back();
    const std::string tag = dir_ + "/run" + std::to_string(runs_.size());
    run.err_path = tag + ".err";

    // Everything the child needs is made before fork: after it, only
    // async-signal-safe calls until exec.
    std::vector<std::string> args{built_program("korvi-logger")};
    args.insert(args.end(), options.args.begin(), options.args.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // The test's own entries replace inherited ones of the same name: with
    // a name twice, which one a program sees depends on its C library (or
    // on qemu-user, which keeps the last).
    std::vector<std::string> env_entries(options.env);
    const auto set_by_test = [&](const char* entry) {
        return std::any_of(options.env.begin(), options.env.end(), [&](const std::string& own) {
            const auto name_end = own.find('=') + 1;
            return std::strncmp(entry, own.c_str(), name_end) == 0;
        });
    };
    for (char** e = environ; *e != nullptr; ++e)
        if (!from_service_manager(*e) && !set_by_test(*e))
            env_entries.emplace_back(*e);
    if (options.handover) {
        const Handover& h = *options.handover;
        // The logger's pid is written in the child; this makes room for it.
        env_entries.push_back("LISTEN_PID=" + (h.pid == ListenPid::Logger
                                                   ? std::string(20, '0')
                                                   : std::to_string(getpid())));
        env_entries.push_back("LISTEN_FDS=" +
                              (h.count.empty() ? std::to_string(h.fds.size()) : h.count));
        env_entries.emplace_back("LISTEN_FDNAMES=korvi-logger.socket");
    }
    std::string* listen_pid_entry =
        options.handover ? &env_entries[env_entries.size() - 3] : nullptr;
    std::vector<char*> envp;
    for (auto& e : env_entries)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<sock_filter> filter = fault_filter(options.fault);
    const int err_fd = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int out_fd = open_stdout(run, options, tag);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_TRUE(err_fd >= 0 && null_fd >= 0 && (out_fd >= 0 || options.out == Stdout::Closed))
        << std::strerror(errno);

    run.pid = fork();
    if (run.pid == 0) {
        // A job of its own, as a shell starts one: a group whose parent is
        // outside it is never orphaned, so a stop signal (SIGTSTP) stops it.
        setpgid(0, 0);
        set_sigint(options.sigint);
        signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        if (options.stdin_closed)
            close(STDIN_FILENO);
        else
            dup2(null_fd, STDIN_FILENO);
        if (out_fd >= 0)
            dup2(out_fd, STDOUT_FILENO);
        else
            close(STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        // Nothing the test program inherited (from ctest, say) goes on to
        // the logger: it gets 0 to 2 and what the test hands over.
        unsigned first_closed = 3;
        if (options.handover) {
            hand_over(*options.handover, listen_pid_entry);
            first_closed += static_cast<unsigned>(options.handover->fds.size());
        }
        close_range(first_closed, ~0U, 0);
        if (options.first_free_fd > 0)
            fill_descriptors(options.first_free_fd);
        if (options.open_files > 0) {
            rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(options.open_files);
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(125);
        }
        install_filter(filter);
        execve(argv[0], argv.data(), envp.data());
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

std::string LoggerTest::finish(LoggerRun& run)
{
    if (run.out >= 0 && !read_to_eof(run))
        return "stdout not closed within the deadline";
    if (!wait_exit(run))
        return "still running at the deadline";
    return describe_status(run.wait_status);
}

std::string LoggerTest::interrupt(LoggerRun& run)
{
    kill(run.pid, SIGINT);
    return finish(run);
}

void LoggerTest::expect_relays_and_stops(LoggerRun& run)
{
    ASSERT_EQ(3, send_datagram("hi\n")) << std::strerror(errno);
    ASSERT_TRUE(read_until(run, "hi\n")) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + "hi\n" + STOPPED_LINE, full_output(run));
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

ScopedFd::~ScopedFd()
{
    if (fd >= 0)
        close(fd);
}

// ---- Reading and waiting ----

ssize_t read_some(LoggerRun& run, Clock::time_point deadline, size_t most)
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

bool read_until(LoggerRun& run, const std::string& needle)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (run.output.find(needle) == std::string::npos)
        if (read_some(run, deadline) <= 0)
            return false;
    return true;
}

bool read_to_eof(LoggerRun& run)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    for (;;) {
        const ssize_t n = read_some(run, deadline);
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
        const ssize_t n = read_some(run, deadline, chunk);
        if (n <= 0)
            return n == 0 && needle.empty();
    }
}

bool wait_until(const LoggerRun& run, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (!done())
        // Sleeps only while the process lives: its end wakes us at once.
        if (Clock::now() >= deadline || wait_readable(run.pidfd, 1))
            return false;
    return true;
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

bool wait_holds_port(const LoggerRun& run)
{
    return wait_until(run, [&] { return port_socket(run).drops >= 0; });
}

bool wait_asleep_in(const LoggerRun& run, const std::string& part)
{
    const std::string wchan_path = "/proc/" + std::to_string(run.pid) + "/wchan";
    return wait_until(run, [&] {
        const auto fields = stat_fields(run.pid);
        return !fields.empty() && fields[0] == "S" &&
               file_contents(wchan_path).find(part) != std::string::npos;
    });
}

bool wait_state(const LoggerRun& run, char state)
{
    const char traced = state == 'T' ? 't' : state;
    return wait_until(run, [&] {
        const auto fields = stat_fields(run.pid);
        return !fields.empty() && (fields[0][0] == state || fields[0][0] == traced);
    });
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

// ---- What the kernel shows of a run ----

PortSocket port_socket(const LoggerRun& run)
{
    const auto rows = port_rows(socket_links(run.pid));
    return rows.empty() ? PortSocket{-1, -1, -1} : rows.front();
}

int port_sockets(const LoggerRun& run)
{
    return static_cast<int>(port_rows(socket_links(run.pid)).size());
}

std::vector<std::pair<int, std::string>> open_descriptors(pid_t pid)
{
    std::vector<std::pair<int, std::string>> open;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return open;
    while (const dirent* e = readdir(d)) {
        char target[64] = {};
        const std::string path = dir + "/" + e->d_name;
        if (readlink(path.c_str(), target, sizeof target - 1) > 0)
            open.emplace_back(std::atoi(e->d_name), target);
    }
    closedir(d);
    return open;
}

std::vector<std::string> stat_fields(pid_t pid)
{
    // The command name before them may itself hold spaces and parentheses.
    const std::string stat = file_contents("/proc/" + std::to_string(pid) + "/stat");
    const auto end_of_name = stat.rfind(')');
    std::vector<std::string> fields;
    if (end_of_name == std::string::npos)
        return fields;
    std::istringstream rest(stat.substr(end_of_name + 1));
    for (std::string f; rest >> f;)
        fields.push_back(f);
    return fields;
}

} // namespace korvi_test
