// Under a service manager: the logger takes the socket the manager hands
// over when it is the one it would bind, refuses any other and binds
// nothing beside it, and says "READY=1" on the socket that NOTIFY_SOCKET
// names once it holds the port and watches SIGINT, and only then; without
// the manager's variables it runs exactly as it does in a terminal.
#include "logger_process.h"
#include "network_namespace.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for them.
struct NoticeCase {
    const char* name;
    bool abstract; // an abstract socket name ("@..."), or a path
    size_t size;   // of NOTIFY_SOCKET's value; 0 for a short one
};

// What a test hands over, as a service manager would.
enum class Passed {
    Udp4AnyAddress, // what ListenDatagram=0.0.0.0:17825 makes
    Udp4Loopback,   // ListenDatagram=127.0.0.1:17825
    Udp6DualStack,  // ListenDatagram=17825
    Udp6Only,       // ListenDatagram=[::1]:17825
    Udp4OtherPort,  // ListenDatagram=0.0.0.0:17826
    Tcp4,           // ListenStream=0.0.0.0:17825
    Pipe,           // not a socket
    Nothing,        // LISTEN_FDS=1, but descriptor 3 is not open
    TwoSockets,     // two ListenDatagram= lines
};

struct HandoverCase {
    const char* name;
    Passed passed;
    ListenPid pid;
    std::string count;   // LISTEN_FDS; "" for the number of sockets
    const char* refused; // what the refusal names, or nullptr: it relays
    bool binds = false;  // the hand-over is not for it, and it binds as in a terminal
};

struct UnusableCase {
    const char* name;
    std::string value; // NOTIFY_SOCKET's value
};

namespace {

// A datagram socket of the test's own, as a service manager listens on:
// a path in /tmp, or an abstract name, unique to this process and object.
// fd is -1 when it could not be bound. Closed, and its path removed, when
// it goes out of scope.
struct NoticeSocket {
    int fd = -1;
    std::string name; // as NOTIFY_SOCKET gives it
    sockaddr_un addr{};
    socklen_t addr_len = 0;

    // `size`: of the name, padded; 0 leaves it short.
    explicit NoticeSocket(bool abstract, size_t size = 0)
    {
        static std::atomic<int> count{0};
        const std::string unique =
            "korvi-notify-" + std::to_string(getpid()) + "-" + std::to_string(count++);
        name = abstract ? "@" + unique : "/tmp/" + unique;
        if (name.size() < size)
            name.append(size - name.size(), 'x');
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, name.data(), name.size());
        if (abstract)
            addr.sun_path[0] = '\0';
        addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
        fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), addr_len) != 0) {
            close(fd);
            fd = -1;
        }
    }
    NoticeSocket(const NoticeSocket&) = delete;
    NoticeSocket& operator=(const NoticeSocket&) = delete;
    ~NoticeSocket()
    {
        if (fd < 0)
            return;
        close(fd);
        if (name[0] == '/')
            unlink(name.c_str());
    }
};

// The next notice on `s`, waiting for it until EVENT_DEADLINE, or when
// `wait` is false only if one is there already; "" when none came.
std::string next_notice(const NoticeSocket& s, bool wait)
{
    pollfd p{s.fd, POLLIN, 0};
    const int ms = wait ? static_cast<int>(std::chrono::milliseconds(EVENT_DEADLINE).count()) : 0;
    int ready;
    do
        ready = poll(&p, 1, ms);
    while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return "";
    char notice[256];
    const ssize_t n = recv(s.fd, notice, sizeof notice, MSG_DONTWAIT);
    return n > 0 ? std::string(notice, static_cast<size_t>(n)) : "";
}

class ServiceTest : public LoggerTest {};
class Notice : public LoggerTest, public ::testing::WithParamInterface<NoticeCase> {};

TEST_P(Notice, ReadyOnceWhenThePortIsHeld)
{
    const NoticeSocket notices(GetParam().abstract, GetParam().size);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    LoggerRun& run = spawn({.env = {"NOTIFY_SOCKET=" + notices.name}});
    const std::string notice = next_notice(notices, true);
    const bool held = port_socket(run).drops >= 0;
    EXPECT_EQ("READY=1", notice);
    EXPECT_TRUE(held) << "the notice came before the logger held UDP " << LOGGER_PORT;

    expect_relays_and_stops(run);
    EXPECT_EQ("", next_notice(notices, false)) << "a second notice";
}

// The largest names that fit an address: 108 bytes, with no room left for
// a terminating NUL, or, for an abstract name, the NUL that replaces '@'.
const NoticeCase NOTICE_CASES[] = {
    {"Path", false, 0},
    {"AbstractName", true, 0},
    {"PathOfTheLargestSize", false, sizeof(sockaddr_un::sun_path)},
    {"AbstractNameOfTheLargestSize", true, sizeof(sockaddr_un::sun_path)},
};

INSTANTIATE_TEST_SUITE_P(ServiceTest, Notice, ::testing::ValuesIn(NOTICE_CASES), CaseName());

// A logger that can't take the port is not ready: the service manager hears
// nothing, and sees it end with 255.
TEST_F(ServiceTest, PortHeldSendsNoNotice)
{
    const NoticeSocket notices(false);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    const ScopedFd holder(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in any = ipv4_address("0.0.0.0");
    ASSERT_EQ(0, bind(holder.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any))
        << std::strerror(errno);
    LoggerRun& run = spawn({.env = {"NOTIFY_SOCKET=" + notices.name}});
    EXPECT_EQ("exited with 255", finish(run));
    EXPECT_EQ(std::string(BANNER_LINE) + FAILED_LINE, run.output);
    EXPECT_EQ("", next_notice(notices, false)) << "a notice from a logger that never ran";
}

// A notice socket whose queue is full, as one nobody reads: the logger
// does not wait to be heard, and runs as it would without it.
TEST_F(ServiceTest, FullNoticeSocketDoesNotHoldItUp)
{
    const NoticeSocket notices(true);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    {
        const ScopedFd filler(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const auto* to = reinterpret_cast<const sockaddr*>(&notices.addr);
        int queued = 0;
        while (queued < 10'000 &&
               sendto(filler.fd, "x", 1, MSG_DONTWAIT, to, notices.addr_len) == 1)
            ++queued;
        ASSERT_EQ(EAGAIN, errno) << "the notice socket did not fill after " << queued;
    }
    LoggerRun& run = start({.env = {"NOTIFY_SOCKET=" + notices.name}});
    expect_relays_and_stops(run);
}

const UnusableCase UNUSABLE_CASES[] = {
    {"Empty", ""},
    {"RelativePath", "korvi-notify-socket"},
    {"NoSuchPath", "/nonexistent/korvi-notify-socket"},
    {"NotASocket", "/dev/null"},
    {"AtAlone", "@"},
    {"PathOneByteTooLong", "/tmp/" + std::string(sizeof(sockaddr_un::sun_path) - 4, 'x')},
    {"AbstractNameOneByteTooLong", "@" + std::string(sizeof(sockaddr_un::sun_path), 'x')},
    {"LongerThanAnAddress", "/tmp/" + std::string(200, 'x')},
};

class UnusableNoticeSocket : public LoggerTest,
                             public ::testing::WithParamInterface<UnusableCase> {};

// Whatever NOTIFY_SOCKET holds, the logger does what it does without it.
TEST_P(UnusableNoticeSocket, ChangesNothing)
{
    LoggerRun& run = start({.env = {"NOTIFY_SOCKET=" + GetParam().value}});
    expect_relays_and_stops(run);
}

INSTANTIATE_TEST_SUITE_P(ServiceTest, UnusableNoticeSocket, ::testing::ValuesIn(UNUSABLE_CASES),
                         CaseName());

// A logger that can't watch SIGINT is not ready: it says nothing to the
// manager before it ends with status 1 (here: one descriptor short).
TEST_F(ServiceTest, NoNoticeWhenItCannotWatchSigint)
{
    if (const std::string why = descriptor_limit_problem(); !why.empty())
        GTEST_SKIP() << why;
    const NoticeSocket notices(true);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    LoggerRun& run =
        spawn({.first_free_fd = FD_SETSIZE - 1, .env = {"NOTIFY_SOCKET=" + notices.name}});
    EXPECT_EQ("exited with 1", finish(run));
    EXPECT_EQ("korvi-logger: descriptor 1024: beyond the 1024 that select can watch; start "
              "korvi-logger with fewer descriptors open\n",
              error_output(run));
    EXPECT_EQ("", next_notice(notices, false)) << "READY=1 before SIGINT was watched";
}

// A UDP socket bound as `family` at `address` on `port`; -1 on failure.
int bound_udp(int family, const char* address, int port, bool v6only = true)
{
    const int fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc;
    if (family == AF_INET) {
        sockaddr_in a = ipv4_address(address);
        a.sin_port = htons(static_cast<uint16_t>(port));
        rc = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } else {
        const int only = v6only ? 1 : 0;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &a.sin6_addr);
        rc = bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    }
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A listening TCP socket on the logger's port at 0.0.0.0; -1 on failure.
int listening_tcp()
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = ipv4_address("0.0.0.0");
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 &&
        listen(fd, 1) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// The descriptors a service manager would hand over for `passed`; empty
// when one could not be made.
std::vector<int> make_passed(Passed passed)
{
    std::vector<int> fds;
    int pipe_ends[2];
    switch (passed) {
    case Passed::Udp4AnyAddress:
        return {bound_udp(AF_INET, "0.0.0.0", LOGGER_PORT)};
    case Passed::Udp4Loopback:
        return {bound_udp(AF_INET, "127.0.0.1", LOGGER_PORT)};
    case Passed::Udp6DualStack:
        return {bound_udp(AF_INET6, "::", LOGGER_PORT, false)};
    case Passed::Udp6Only:
        return {bound_udp(AF_INET6, "::1", LOGGER_PORT)};
    case Passed::Udp4OtherPort:
        return {bound_udp(AF_INET, "0.0.0.0", LOGGER_PORT + 1)};
    case Passed::Tcp4:
        return {listening_tcp()};
    case Passed::Pipe:
        if (pipe2(pipe_ends, O_CLOEXEC) != 0)
            return {-1};
        close(pipe_ends[1]);
        return {pipe_ends[0]};
    case Passed::Nothing:
        return {};
    case Passed::TwoSockets:
        return {bound_udp(AF_INET, "0.0.0.0", LOGGER_PORT),
                bound_udp(AF_INET, "0.0.0.0", LOGGER_PORT + 1)};
    }
    return fds;
}

// The test's own descriptors of a hand-over, closed when it ends.
struct PassedFds {
    std::vector<int> fds;
    explicit PassedFds(std::vector<int> made) : fds(std::move(made)) {}
    PassedFds(const PassedFds&) = delete;
    PassedFds& operator=(const PassedFds&) = delete;
    ~PassedFds()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    bool made() const
    {
        return std::all_of(fds.begin(), fds.end(), [](int fd) { return fd >= 0; });
    }
    long inode(size_t i) const
    {
        struct stat st {};
        return fstat(fds[i], &st) == 0 ? static_cast<long>(st.st_ino) : -1;
    }
};

constexpr char NEEDED[] = "; korvi-logger needs one IPv4 UDP socket on port 17825: "
                          "ListenDatagram=0.0.0.0:17825\n";

// clang-format off
const HandoverCase HANDOVER_CASES[] = {
    {"Ipv4AnyAddress", Passed::Udp4AnyAddress, ListenPid::Logger, "", nullptr},
    {"Ipv4Loopback", Passed::Udp4Loopback, ListenPid::Logger, "", nullptr},
    {"Ipv6DualStack", Passed::Udp6DualStack, ListenPid::Logger, "", "an IPv6 socket"},
    {"Ipv6Only", Passed::Udp6Only, ListenPid::Logger, "", "an IPv6 socket"},
    {"OtherPort", Passed::Udp4OtherPort, ListenPid::Logger, "", "a UDP socket on port 17826"},
    {"Tcp", Passed::Tcp4, ListenPid::Logger, "", "an IPv4 socket that is not UDP"},
    {"NotASocket", Passed::Pipe, ListenPid::Logger, "", "descriptor 3, not a socket"},
    {"NotOpen", Passed::Nothing, ListenPid::Logger, "1", "descriptor 3, not open"},
    {"TwoSockets", Passed::TwoSockets, ListenPid::Logger, "", "2 sockets"},
    {"CountNotANumber", Passed::Udp4AnyAddress, ListenPid::Logger, "one",
     "LISTEN_FDS=one, which counts nothing"},
    // Not for it: it binds the port itself, as in a terminal.
    {"ForAnotherProcess", Passed::Udp4OtherPort, ListenPid::Other, "", nullptr, true},
    {"CountZero", Passed::Udp4OtherPort, ListenPid::Logger, "0", nullptr, true},
};
// clang-format on

class HandedOver : public LoggerTest, public ::testing::WithParamInterface<HandoverCase> {};

// The socket handed over is relayed from when it is the one the logger
// would bind, and nothing else is bound; anything else is refused, by name,
// with status 255 and nothing bound beside it. Where the kernel can filter
// system calls, a bind kills the logger, so none can pass unseen.
TEST_P(HandedOver, TakesOnlyTheSocketItWouldBind)
{
    const HandoverCase& c = GetParam();
    if (const std::string why = ipv6_problem();
        !why.empty() && (c.passed == Passed::Udp6DualStack || c.passed == Passed::Udp6Only))
        GTEST_SKIP() << why;
    const PassedFds passed(make_passed(c.passed));
    ASSERT_TRUE(passed.made()) << "cannot make the sockets to hand over: " << std::strerror(errno);
    const Fault no_bind = c.binds || !seccomp_problem().empty() ? Fault::None : Fault::BindKills;
    LoggerRun& run = spawn({.handover = Handover{passed.fds, c.pid, c.count}, .fault = no_bind});
    if (c.refused != nullptr) {
        EXPECT_EQ("exited with 255", finish(run));
        EXPECT_EQ(BANNER_LINE, run.output);
        EXPECT_EQ(std::string("korvi-logger: the service manager passed ") + c.refused + NEEDED,
                  error_output(run));
        return;
    }
    ASSERT_TRUE(wait_holds_port(run)) << "the logger holds no socket on UDP " << LOGGER_PORT;
    // Once it has relayed a line it is past its start-up: what it holds then
    // is what it relays from.
    ASSERT_EQ(3, send_datagram("hi\n")) << std::strerror(errno);
    ASSERT_TRUE(read_until(run, "hi\n")) << "got: " << run.output;
    if (!c.binds) {
        EXPECT_EQ(1, port_sockets(run)) << "sockets the logger holds on UDP " << LOGGER_PORT;
        EXPECT_EQ(passed.inode(0), port_socket(run).inode)
            << "the logger's socket is not the one handed over";
    } else {
        EXPECT_EQ(1, port_sockets(run)) << "sockets the logger holds on UDP " << LOGGER_PORT;
        EXPECT_NE(passed.inode(0), port_socket(run).inode) << "it took a socket not meant for it";
    }
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + "hi\n" + STOPPED_LINE, run.output);
}

INSTANTIATE_TEST_SUITE_P(ServiceTest, HandedOver, ::testing::ValuesIn(HANDOVER_CASES), CaseName());

// What reaches the socket while no logger runs waits in its queue, since
// the manager holds the socket: the next logger relays it first, in order.
// This is what keeps a restart or an upgrade of the service from losing
// text.
TEST_F(ServiceTest, HandedOverSocketKeepsWhatCameBetweenTwoRuns)
{
    const PassedFds passed(make_passed(Passed::Udp4AnyAddress));
    ASSERT_TRUE(passed.made()) << std::strerror(errno);
    ASSERT_EQ(7, send_datagram("before\n"));
    LoggerRun& first = start({.handover = Handover{passed.fds}});
    ASSERT_TRUE(read_until(first, "before\n")) << "got: " << first.output;
    ASSERT_EQ(7, send_datagram("during\n"));
    ASSERT_TRUE(read_until(first, "during\n")) << "got: " << first.output;
    EXPECT_EQ("exited with 0", interrupt(first));
    EXPECT_EQ(std::string(BANNER_LINE) + "before\nduring\n" + STOPPED_LINE, first.output);

    for (const char* text : {"between 1\n", "between 2\n"})
        ASSERT_EQ(10, send_datagram(text));
    LoggerRun& second = start({.handover = Handover{passed.fds}});
    ASSERT_TRUE(read_until(second, "between 2\n")) << "got: " << second.output;
    EXPECT_EQ("exited with 0", interrupt(second));
    EXPECT_EQ(std::string(BANNER_LINE) + "between 1\nbetween 2\n" + STOPPED_LINE, second.output);
}

// The descriptor that shows SIGINT is above the endpoint's, also when the
// handed-over endpoint is 3 and descriptor 0 is free: the stop then never
// writes a datagram that came after it.
TEST_F(ServiceTest, SigintIsWatchedAboveTheHandedOverSocket)
{
    const PassedFds passed(make_passed(Passed::Udp4AnyAddress));
    ASSERT_TRUE(passed.made()) << std::strerror(errno);
    LoggerRun& run = start({.stdin_closed = true, .handover = Handover{passed.fds}});
    // The descriptors that show signals, once the logger has made one.
    std::vector<int> signal_fds;
    const auto find_signal_fds = [&] {
        signal_fds.clear();
        for (const auto& [fd, target] : open_descriptors(run.pid))
            if (target.find("signalfd") != std::string::npos)
                signal_fds.push_back(fd);
        return !signal_fds.empty();
    };
    ASSERT_TRUE(wait_until(run, find_signal_fds)) << "the logger never watched SIGINT";
    ASSERT_EQ(1u, signal_fds.size()) << "signalfd descriptors of the logger";
    EXPECT_GT(signal_fds[0], 3) << "the SIGINT descriptor is below the endpoint, 3";
    expect_relays_and_stops(run);
}

// The hand-over is checked before the manager hears "ready": a start with
// the wrong socket fails as a start.
TEST_F(ServiceTest, RefusedHandoverSendsNoNotice)
{
    const NoticeSocket notices(true);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    const PassedFds passed(make_passed(Passed::Udp4OtherPort));
    ASSERT_TRUE(passed.made()) << std::strerror(errno);
    LoggerRun& run =
        spawn({.handover = Handover{passed.fds}, .env = {"NOTIFY_SOCKET=" + notices.name}});
    EXPECT_EQ("exited with 255", finish(run));
    EXPECT_EQ(std::string("korvi-logger: the service manager passed a UDP socket on port 17826") +
                  NEEDED,
              error_output(run));
    EXPECT_EQ("", next_notice(notices, false)) << "READY=1 from a logger that refused its socket";
}

// With the socket handed over, READY=1 comes once, as with a bound one.
TEST_F(ServiceTest, ReadyOnceWithTheHandedOverSocket)
{
    const NoticeSocket notices(false);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    const PassedFds passed(make_passed(Passed::Udp4AnyAddress));
    ASSERT_TRUE(passed.made()) << std::strerror(errno);
    LoggerRun& run =
        spawn({.handover = Handover{passed.fds}, .env = {"NOTIFY_SOCKET=" + notices.name}});
    EXPECT_EQ("READY=1", next_notice(notices, true));
    expect_relays_and_stops(run);
    EXPECT_EQ("", next_notice(notices, false)) << "a second notice";
}

} // namespace
} // namespace korvi_test
