#include "logger_process.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

// The row of /proc/net/udp for the socket on the logger's port whose inode
// is one of `links`: its receive queue in bytes and its drops; {-1, -1} when
// there is no such socket.
PortQueue port_row(const std::vector<std::string>& links)
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
                return {std::stol(queues.substr(queues.find(':') + 1), nullptr, 16), drops};
    }
    return {-1, -1};
}

// The seccomp audit architecture of the system calls this build makes: a
// filter checks it first, since the same number means another call on
// another architecture. 0 where no branch below knows it.
#if defined(__x86_64__) && defined(__ILP32__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = 0; // x32: its calls carry a flag bit; not covered
#elif defined(__x86_64__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_AARCH64;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_PPC64LE;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_RISCV64;
#elif defined(__s390x__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_S390X;
#elif defined(__mips64) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_MIPSEL64;
#elif defined(__loongarch64) && defined(AUDIT_ARCH_LOONGARCH64)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_LOONGARCH64;
#else
constexpr std::uint32_t AUDIT_ARCH_NATIVE = 0;
#endif

// Offset in seccomp_data of the low 32 bits of the first argument.
constexpr std::uint32_t ARG0_LOW =
    offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);

// One rule of a filter: what `call` does, when its first argument is
// `arg0` (any first argument when arg0 is -1).
struct Rule {
    long call;
    long arg0;
    std::uint32_t action;
};

// The rules that make `fault` happen.
std::vector<Rule> fault_rules(Fault fault)
{
    const std::uint32_t kill = SECCOMP_RET_KILL_PROCESS;
    switch (fault) {
    case Fault::None:
        break;
    case Fault::BindKills:
        return {{__NR_bind, -1, kill}};
    case Fault::SelectFails: {
        std::vector<Rule> rules{{__NR_pselect6, -1, SECCOMP_RET_ERRNO | ENOMEM}};
#ifdef __NR_select // not on architectures whose only select is pselect6 (arm64)
        rules.push_back({__NR_select, -1, SECCOMP_RET_ERRNO | ENOMEM});
#endif
        return rules;
    }
    case Fault::StdoutTakesNothing:
        // An "error" of 0 is a return value of 0: the write took nothing.
        return {{__NR_write, STDOUT_FILENO, SECCOMP_RET_ERRNO | 0}, {__NR_bind, -1, kill}};
    }
    return {};
}

// A seccomp filter that applies `fault` to the logger, or an empty one for
// Fault::None. Built before fork, since the child may not allocate. A logger
// run on another architecture, or through the x32 calls, is killed at its
// first system call: the check then fails instead of passing unseen.
std::vector<sock_filter> fault_filter(Fault fault)
{
    const std::vector<Rule> rules = fault_rules(fault);
    if (rules.empty())
        return {};
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_NATIVE, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
#if defined(__x86_64__)
    // x32 calls share AUDIT_ARCH_X86_64 and differ by this bit of their number.
    constexpr std::uint32_t X32_SYSCALL_BIT = 0x40000000;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, X32_SYSCALL_BIT, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (const Rule& rule : rules) {
        const auto call = static_cast<std::uint32_t>(rule.call);
        if (rule.arg0 < 0) {
            filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
            filter.push_back(BPF_STMT(BPF_RET | BPF_K, rule.action));
            continue;
        }
        // Not this call: skip the 4 statements of the rule. This call with
        // another argument: load the number back and go on.
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 4));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG0_LOW));
        filter.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(rule.arg0), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, rule.action));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return filter;
}

// In the child, before exec: installs `filter`, if any.
void install_filter(std::vector<sock_filter>& filter)
{
    if (filter.empty())
        return;
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
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

bool wait_until(const LoggerRun& run, const std::function<bool()>& done)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (!done())
        // Sleeps only while the process lives: its end wakes us at once.
        if (Clock::now() >= deadline || wait_readable(run.pidfd, 1))
            return false;
    return true;
}

bool wait_holds_port(const LoggerRun& run)
{
    return wait_until(run, [&] { return port_queue(run).drops >= 0; });
}

PortQueue port_queue(const LoggerRun& run)
{
    return port_row(socket_links(run.pid));
}

bool wait_queued(const LoggerRun& run)
{
    return wait_until(run, [&] { return port_queue(run).queued_bytes > 0; });
}

namespace {

// The fields of /proc/PID/stat after the command name, which may itself
// hold spaces: field 3 (state) first. Empty once the process is gone.
std::vector<std::string> stat_fields(pid_t pid)
{
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

// True when this process runs under an emulator such as qemu-user: the
// kernel then runs the emulator, which shows the tests' own program as
// /proc/self/exe but can't hide itself from another process. A child that
// runs no program of its own shows the same executable as its parent,
// unless both are the emulator.
bool under_emulator()
{
    char self[PATH_MAX] = {};
    char child_exe[PATH_MAX] = {};
    int gate[2];
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0 || pipe2(gate, O_CLOEXEC) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        char byte;
        close(gate[1]);
        while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
        } // until the parent has looked and closed its end
        _exit(0);
    }
    close(gate[0]);
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    const bool looked = child > 0 && readlink(link.c_str(), child_exe, sizeof child_exe - 1) > 0;
    close(gate[1]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return looked && std::strcmp(self, child_exe) != 0;
}

} // namespace

std::string seccomp_problem()
{
    static const std::string problem = [] {
        if (AUDIT_ARCH_NATIVE == 0)
            return std::string("no seccomp audit architecture is known for this build's target, "
                               "so no filter can be written for it");
        if (under_emulator())
            return std::string("this runs under an emulator (qemu-user), which cannot install "
                               "seccomp filters");
        return std::string();
    }();
    return problem;
}

bool wait_state(const LoggerRun& run, char state)
{
    const char traced = state == 'T' ? 't' : state;
    return wait_until(run, [&] {
        const auto fields = stat_fields(run.pid);
        return !fields.empty() && (fields[0][0] == state || fields[0][0] == traced);
    });
}

bool wait_blocked_in_send(const LoggerRun& run)
{
    // The kernel function it sleeps in: sock_alloc_send_pskb for a full
    // AF_UNIX stream, for one.
    const std::string wchan_path = "/proc/" + std::to_string(run.pid) + "/wchan";
    return wait_until(run, [&] {
        const auto fields = stat_fields(run.pid);
        return !fields.empty() && fields[0] == "S" &&
               file_contents(wchan_path).find("send") != std::string::npos;
    });
}

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

double cpu_seconds(const LoggerRun& run)
{
    // utime and stime are fields 14 and 15 of the whole line, in clock ticks.
    const auto fields = stat_fields(run.pid);
    if (fields.size() < 13)
        return -1;
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool read_until(LoggerRun& run, const std::string& needle)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (run.output.find(needle) == std::string::npos)
        if (read_chunk(run, deadline) <= 0)
            return false;
    return true;
}

void read_during(LoggerRun& run, std::chrono::milliseconds window)
{
    const auto end = Clock::now() + window;
    while (Clock::now() < end && read_chunk(run, end) > 0) {
    }
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

bool read_messages(LoggerRun& run, std::vector<std::string>& messages, size_t count)
{
    const auto deadline = Clock::now() + EVENT_DEADLINE;
    while (messages.size() < count) {
        const size_t before = run.output.size();
        if (read_chunk(run, deadline) <= 0)
            return false;
        messages.push_back(run.output.substr(before));
    }
    return true;
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

std::string describe_difference(const std::string& expected, const std::string& got)
{
    const auto at = std::mismatch(expected.begin(), expected.end(), got.begin(), got.end());
    const auto from = static_cast<size_t>(at.first - expected.begin());
    return "expected " + std::to_string(expected.size()) + " bytes, got " +
           std::to_string(got.size()) + "; they differ from byte " + std::to_string(from) +
           ": expected " + ::testing::PrintToString(expected.substr(from, 16)) + ", got " +
           ::testing::PrintToString(got.substr(std::min(from, got.size()), 16));
}

std::string file_contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

// Set by isolate_network(): this process has a network of its own.
bool in_own_network = false;

// Writes `text` to the file at `path`; false on failure.
bool write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return whole;
}

// Enters a new user namespace, in which this user keeps its ids but may
// manage the network namespace made with it; false when none can be made.
bool enter_user_and_network_namespace()
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    return write_file("/proc/self/setgroups", "deny") &&
           write_file("/proc/self/uid_map",
                      std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
}

// Brings up the loopback device of a new network namespace: 127.0.0.0/8 and,
// where the kernel has IPv6, ::1.
bool bring_up_loopback()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq lo{};
    std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    close(fd);
    return up;
}

} // namespace

std::string isolate_network()
{
    // Set to run on the host's network as where no namespace can be made.
    const bool shared = std::getenv("KORVI_TESTS_ON_HOST_NETWORK") != nullptr;
    if (!shared && (unshare(CLONE_NEWNET) == 0 || enter_user_and_network_namespace())) {
        in_own_network = bring_up_loopback();
        if (in_own_network)
            return "the tests run in a network namespace of their own";
    }
    // Held until this process ends; the kernel lets go of it then, however it ends.
    const int lock = open("/tmp/korvi-logger-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return std::string("no network namespace, and no lock: ") + std::strerror(errno);
    return "no network namespace could be made: the tests share the host's port, one at a time";
}

bool own_network()
{
    return in_own_network;
}

std::string port_problem()
{
    if (in_own_network || port_is_free())
        return "";
    return "UDP port " + std::to_string(LOGGER_PORT) +
           " is already held by another program (a korvi-logger left running?), and no "
           "network namespace could be made for the tests.\n"
           "See who holds it with: ss -uanp 'sport = :17825'\n"
           "Stop it and run the tests again, or run them as root.\n";
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

namespace {

// A SOCK_SEQPACKET pair: each write(2) of the logger arrives as one message
// on run.out. Returns the logger's end.
int open_message_socket(LoggerRun& run)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return -1;
    run.out = fds[0];
    return fds[1];
}

// A TCP connection on loopback whose buffers are as small as the kernel
// allows, non-blocking on the logger's side: while the test reads slowly, a
// write of a few hundred bytes is often taken only in part. Its segments are
// small too: with loopback's 64 KiB ones, the receiver's window stays below
// one segment and the connection can stall for seconds on TCP's persist
// timer. Returns the logger's end; run.out is the test's.
int open_stream_socket(LoggerRun& run)
{
    const int smallest = 1; // the kernel raises it to its minimum
    const int segment = 536;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int logger_end = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = ipv4_address("127.0.0.1");
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    const bool ok =
        listener >= 0 && logger_end >= 0 &&
        setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest) == 0 &&
        setsockopt(listener, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment) == 0 &&
        setsockopt(logger_end, SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) == 0 &&
        bind(listener, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        connect(logger_end, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        (run.out = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 &&
        fcntl(logger_end, F_SETFL, O_NONBLOCK) == 0;
    if (listener >= 0)
        close(listener);
    if (!ok && logger_end >= 0)
        close(logger_end);
    return ok ? logger_end : -1;
}

// An AF_UNIX stream pair with the smallest send buffer and a send timeout
// far beyond any test, on the logger's end, which stays blocking. Returns
// the logger's end; run.out is the test's.
int open_timed_stream_socket(LoggerRun& run)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return -1;
    const int smallest = 1; // the kernel raises it to its minimum
    const timeval timeout{600, 0};
    if (setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest) != 0 ||
        setsockopt(fds[1], SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    run.out = fds[0];
    return fds[1];
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
    case Stdout::Messages:
        return open_message_socket(run);
    case Stdout::Stream:
        return open_stream_socket(run);
    case Stdout::TimedStream:
        return open_timed_stream_socket(run);
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
    std::vector<std::string> env_entries(options.env);
    for (char** e = environ; *e != nullptr; ++e)
        env_entries.emplace_back(*e);
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
        if (options.first_free_fd > 0)
            fill_descriptors(options.first_free_fd);
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
