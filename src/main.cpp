// korvi-logger: writes the text of every UDP datagram sent to LOG_PORT to
// standard output the moment it arrives, adding nothing, until Ctrl-C. Under
// a service manager it may be handed the socket instead of binding it.
#include "log_endpoint.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The most bytes taken from one datagram; the rest of a longer one is dropped.
constexpr std::size_t LOG_BUF_SIZE = 1024;

constexpr char BANNER[] = "KORVI Logger (v" KORVI_VERSION ")\n";
constexpr char SETUP_FAILED[] = "net-setup failed. korvi-logger already running ?\n";
constexpr char STOPPED[] = "KORVI Logger stopped.\n";

// Exit statuses. The parent sees STATUS_NO_ENDPOINT as 255.
constexpr int STATUS_STOPPED = 0;
constexpr int STATUS_FAILED = 1; // most often stdout failed; the cause is on stderr
constexpr int STATUS_NO_ENDPOINT = -1;

// Ends the process with `status` after one line on stderr, `line`; the
// status still tells when stderr can't be written.
[[noreturn]] void end_with(int status, const char* line)
{
    if (write(STDERR_FILENO, line, std::strlen(line)) < 0) {
        // Nowhere is left to say it; the status still does.
    }
    std::exit(status);
}

// Ends the process with STATUS_FAILED after one line on stderr naming what
// failed and why, as cat does: "korvi-logger: standard output: ...".
[[noreturn]] void fail(const char* what, const char* why)
{
    char line[256];
    static_cast<void>(std::snprintf(line, sizeof line, "korvi-logger: %s: %s\n", what, why));
    end_with(STATUS_FAILED, line);
}

// Ends the process with STATUS_NO_ENDPOINT, as when the port is held, after
// one line on stderr naming what the service manager passed instead of the
// endpoint and what it must pass: a service that restarts on failure but
// not on this status does not loop.
[[noreturn]] void refuse_passed(const char* what)
{
    char line[256];
    static_cast<void>(std::snprintf(line, sizeof line,
                                    "korvi-logger: the service manager passed %s; korvi-logger "
                                    "needs one IPv4 UDP socket on port %u: "
                                    "ListenDatagram=0.0.0.0:%u\n",
                                    what, unsigned{LOG_PORT}, unsigned{LOG_PORT}));
    end_with(STATUS_NO_ENDPOINT, line);
}

// Waits until stdout can take more. Returns 0, or -1 with errno set.
int wait_writable()
{
    pollfd out{STDOUT_FILENO, POLLOUT, 0};
    while (poll(&out, 1, -1) < 0)
        if (errno != EINTR)
            return -1;
    return 0;
}

// Writes all `len` bytes of `text` to stdout, in one write(2) when stdout
// takes it whole, waiting while a non-blocking stdout is full. Returns 0,
// or -1 with errno set when stdout fails for good.
int write_all(const char* text, std::size_t len)
{
    while (len > 0) {
        const ssize_t done = write(STDOUT_FILENO, text, len);
        if (done > 0) {
            text += done;
            len -= static_cast<std::size_t>(done);
        } else if (done == 0) {
            errno = ENOSPC; // takes nothing and says nothing: as full as it gets
            return -1;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (wait_writable() < 0)
                return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

// Writes `text` to stdout, or ends the program through fail(): no text is
// ever lost with the program going on as if it had been shown.
void write_out(const char* text, std::size_t len)
{
    if (write_all(text, len) < 0)
        fail("standard output", std::strerror(errno));
}

// The set that holds SIGINT alone, the one signal that stops the logger.
sigset_t sigint_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    return set;
}

// Blocks SIGINT for the whole run, so that it stays pending until the relay
// takes it between two datagrams, and resets an inherited SIG_IGN, under
// which POSIX lets a pending SIGINT be thrown away.
void block_sigint()
{
    const sigset_t set = sigint_set();
    if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0)
        fail("sigprocmask", std::strerror(errno));
    static_cast<void>(std::signal(SIGINT, SIG_DFL)); // fails only for a bad signal number
}

// Returns true when a SIGINT has arrived and waits to be taken.
bool sigint_pending()
{
    sigset_t pending;
    if (sigpending(&pending) < 0)
        fail("sigpending", std::strerror(errno));
    return sigismember(&pending, SIGINT) == 1;
}

// Ends the program unless select can watch `fd`: FD_SET on a descriptor at
// or past FD_SETSIZE writes outside the set.
void check_watchable(int fd)
{
    static_assert(FD_SETSIZE == 1024, "the message below names the limit");
    if (fd < FD_SETSIZE)
        return;
    char what[32];
    static_cast<void>(std::snprintf(what, sizeof what, "descriptor %d", fd)); // always fits
    fail(what, "beyond the 1024 that select can watch; start korvi-logger with fewer "
               "descriptors open");
}

// Takes the interrupt: writes the stop message and ends the process with
// status 0. Called by main when SIGINT came during start-up, and by relay
// between two datagrams, so the stop line is always the last.
[[noreturn]] void stop_handler()
{
    write_out(STOPPED, sizeof STOPPED - 1);
    std::exit(STATUS_STOPPED);
}

// Returns a descriptor that is readable while SIGINT is pending, numbered
// above `endpoint`, or ends the program through fail(). The order is what
// lets relay() write nothing that arrived after the interrupt: select
// reports descriptors in rising order, so an endpoint seen readable without
// the interrupt got its datagram before the interrupt came.
int watch_sigint(int endpoint)
{
    check_watchable(endpoint);
    const sigset_t set = sigint_set();
    int sigint_fd = signalfd(-1, &set, SFD_CLOEXEC);
    if (sigint_fd < 0)
        fail("signalfd", std::strerror(errno));
    if (sigint_fd < endpoint) {
        const int above = fcntl(sigint_fd, F_DUPFD_CLOEXEC, endpoint + 1);
        if (above < 0)
            fail("signalfd", std::strerror(errno));
        close(sigint_fd);
        sigint_fd = above;
    }
    check_watchable(sigint_fd);
    return sigint_fd;
}

// Sends one "READY=1" to the service manager's socket that NOTIFY_SOCKET
// names (a path, or an abstract name written with a leading '@'), without
// ever waiting for it, and removes the variable. Without it, does nothing.
void notify_ready()
{
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr)
        return;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::size_t len = std::strlen(name);
    if ((name[0] == '/' || name[0] == '@') && len >= 2 && len <= sizeof addr.sun_path) {
        std::memcpy(addr.sun_path, name, len);
        if (name[0] == '@')
            addr.sun_path[0] = '\0'; // the abstract namespace
        const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd >= 0) {
            constexpr char READY[] = "READY=1";
            const auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
            static_cast<void>(sendto(fd, READY, sizeof READY - 1, MSG_DONTWAIT | MSG_NOSIGNAL,
                                     reinterpret_cast<const sockaddr*>(&addr), addr_len));
            close(fd);
        }
    }
    unsetenv("NOTIFY_SOCKET");
}

// Writes the text of each datagram that arrives on `endpoint`, for ever,
// once it watches SIGINT beside it and has told a service manager that it
// is ready. Returns only through stop_handler(), or through fail() when
// stdout or the wait fails.
[[noreturn]] void relay(int endpoint)
{
    const int sigint_fd = watch_sigint(endpoint);
    notify_ready();
    char buf[LOG_BUF_SIZE];
    fd_set readable;
    for (;;) {
        // Zero-filled before every receive: nothing of an earlier datagram
        // can ever show behind a shorter one.
        std::memset(buf, 0, sizeof buf);
        FD_ZERO(&readable);
        FD_SET(endpoint, &readable);
        FD_SET(sigint_fd, &readable);
        if (select(FD_SETSIZE, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno != EINTR)
                fail("select", std::strerror(errno));
            continue;
        }
        // The interrupt first, however busy the endpoint (see watch_sigint).
        if (FD_ISSET(sigint_fd, &readable))
            stop_handler();
        // MSG_DONTWAIT: select does not promise that the receive after it
        // finds a datagram (select(2), BUGS), and a receive that blocked
        // would leave Ctrl-C unheard until the next datagram came.
        const ssize_t got = recvfrom(endpoint, buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr);
        if (got <= 0)
            continue;
        // The text ends at the first NUL or at the payload's end; a datagram
        // that fills the whole buffer is written whole, never read past it.
        write_out(buf, strnlen(buf, static_cast<std::size_t>(got)));
    }
}

} // namespace

int main()
{
    block_sigint();
    // First: what the service manager passed is read and its variables
    // removed before anything is opened.
    char passed_instead[128];
    const int passed = net_passed(passed_instead, sizeof passed_instead);
    const bool refused = passed_instead[0] != '\0';

    // Before anything is opened: with stdout closed, a descriptor opened
    // first would become stdout and the text would go into it.
    write_out(BANNER, sizeof BANNER - 1);

    const int endpoint = passed >= 0 || refused ? passed : net_setup();
    if (sigint_pending()) // a Ctrl-C during start-up wins, whatever happened since
        stop_handler();
    if (refused)
        refuse_passed(passed_instead);
    if (endpoint < 0) {
        write_out(SETUP_FAILED, sizeof SETUP_FAILED - 1);
        std::exit(STATUS_NO_ENDPOINT);
    }
    relay(endpoint);
}
