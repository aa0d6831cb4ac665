// Under a service manager: the logger says "READY=1" on the socket that
// NOTIFY_SOCKET names once it holds the port, and only then; without a
// usable socket it runs exactly as it does in a terminal.
#include "logger_process.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for them.
struct NoticeCase {
    const char* name;
    bool abstract; // an abstract socket name ("@..."), or a path
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

    explicit NoticeSocket(bool abstract)
    {
        static std::atomic<int> count{0};
        const std::string unique =
            "korvi-notify-" + std::to_string(getpid()) + "-" + std::to_string(count++);
        name = abstract ? "@" + unique : "/tmp/" + unique;
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
    const NoticeSocket notices(GetParam().abstract);
    ASSERT_GE(notices.fd, 0) << "cannot bind " << notices.name << ": " << std::strerror(errno);
    LoggerRun& run = spawn({.env = {"NOTIFY_SOCKET=" + notices.name}});
    const std::string notice = next_notice(notices, true);
    const bool held = port_queue(run).drops >= 0;
    EXPECT_EQ("READY=1", notice);
    EXPECT_TRUE(held) << "the notice came before the logger held UDP " << LOGGER_PORT;

    expect_relays_and_stops(run);
    EXPECT_EQ("", next_notice(notices, false)) << "a second notice";
}

const NoticeCase NOTICE_CASES[] = {
    {"Path", false},
    {"AbstractName", true},
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

} // namespace
} // namespace korvi_test
