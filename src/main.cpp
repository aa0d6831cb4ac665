// korvi-logger: writes the text of every UDP datagram sent to LOG_PORT to
// standard output the moment it arrives, adding nothing, until Ctrl-C.
#include "log_endpoint.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The most bytes taken from one datagram; the rest of a longer one is dropped.
constexpr std::size_t LOG_BUF_SIZE = 1024;

constexpr char BANNER[] = "KORVI Logger (v1.1)";
constexpr char SETUP_FAILED[] = "net-setup failed. korvi-logger already running ?";
constexpr char STOPPED[] = "KORVI Logger stopped.";

// Exit status when the endpoint can't be set up; the parent sees 255.
constexpr int STATUS_NO_ENDPOINT = -1;

volatile std::sig_atomic_t stop_requested = 0;

// SIGINT handler. Only records the request: SIGINT is blocked everywhere but
// inside the relay loop's wait, and the loop then writes the stop message.
// So a stop never lands inside stdio or in the middle of relaying a datagram:
// none is cut or written twice, and the stop line is always the last.
void stop_handler(int /*signal*/)
{
    stop_requested = 1;
}

// Blocks SIGINT and returns the signal mask to wait with: the one we were
// started with, SIGINT removed.
sigset_t hold_stop()
{
    sigset_t stop_set;
    sigset_t wait_mask;
    sigemptyset(&stop_set);
    sigaddset(&stop_set, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_set, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    return wait_mask;
}

// Returns true when a SIGINT arrived while it was blocked and still waits.
bool stop_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGINT) == 1;
}

// Writes all `len` bytes of `text` to stdout in one write(2) (more only if the
// kernel takes part of it), so that a message is never torn or mixed with
// another writer's on a shared terminal or pipe. Errors are dropped: there is
// nowhere better to report them.
void write_text(const char* text, std::size_t len)
{
    while (len > 0) {
        const ssize_t done = write(STDOUT_FILENO, text, len);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return;
        text += done;
        len -= static_cast<std::size_t>(done);
    }
}

// Writes the stop message and ends the process with status 0; exit flushes it.
[[noreturn]] void stop()
{
    std::puts(STOPPED);
    std::exit(EXIT_SUCCESS);
}

// Writes the text of each datagram that arrives on fd, for ever. Returns only
// through stop(), when SIGINT comes during the wait.
[[noreturn]] void relay(int fd, const sigset_t& wait_mask)
{
    char buf[LOG_BUF_SIZE];
    fd_set readable;
    for (;;) {
        // Zero-filled before every receive: nothing of an earlier datagram
        // can ever show behind a shorter one.
        std::memset(buf, 0, sizeof buf);
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        // The one place SIGINT is let through; pselect unblocks it atomically,
        // so a Ctrl-C that came while a datagram was written is taken here.
        pselect(FD_SETSIZE, &readable, nullptr, nullptr, nullptr, &wait_mask);
        if (stop_requested != 0)
            stop();
        // MSG_DONTWAIT: a datagram can vanish between the wait and the receive
        // (a bad UDP checksum is only found here); blocking then would leave
        // Ctrl-C unheard until the next datagram.
        const ssize_t got = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr);
        if (got <= 0)
            continue;
        // The text ends at the first NUL or at the payload's end; a datagram
        // that fills the whole buffer is written whole, never read past it.
        write_text(buf, strnlen(buf, static_cast<std::size_t>(got)));
    }
}

} // namespace

int main()
{
    const sigset_t wait_mask = hold_stop();
    std::signal(SIGINT, stop_handler);

    // The relay writes straight to the descriptor, so stdio must hold
    // nothing by then: flush, or a file would get the banner after the text.
    std::puts(BANNER);
    std::fflush(stdout);

    const int fd = net_setup();
    if (stop_pending()) // a Ctrl-C during start-up wins, whatever net_setup said
        stop();
    if (fd < 0) {
        std::puts(SETUP_FAILED);
        std::exit(STATUS_NO_ENDPOINT);
    }
    relay(fd, wait_mask);
}
