#include "log_endpoint.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The first descriptor a service manager passes; the others follow it.
constexpr int FIRST_PASSED_FD = 3;

// The value of a decimal number that is all of `text` (at most 9 digits),
// or -1 when `text` is missing or holds anything else.
long parse_number(const char* text)
{
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9)
        return -1;
    long value = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9')
            return -1;
        value = value * 10 + (*c - '0');
    }
    return value;
}

// Names in `what` the passed descriptor `fd` when it is not what net_setup
// would have made: an IPv4 UDP socket on LOG_PORT. Leaves `what` "" when it is.
void check_passed(int fd, char* what, std::size_t size)
{
    int domain = 0;
    int type = 0;
    int protocol = 0;
    socklen_t len = sizeof domain;
    if (getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &len) < 0) {
        static_cast<void>(std::snprintf(what, size, "descriptor %d, %s", fd,
                                        errno == ENOTSOCK ? "not a socket" : "not open"));
        return;
    }
    len = sizeof type;
    const bool typed = getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
    len = sizeof protocol;
    const bool known = typed && getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) == 0;
    sockaddr_in local{};
    len = sizeof local;
    if (domain == AF_INET6) {
        static_cast<void>(std::snprintf(what, size, "an IPv6 socket"));
    } else if (domain != AF_INET) {
        static_cast<void>(std::snprintf(what, size, "a socket that is not IPv4"));
    } else if (!known || type != SOCK_DGRAM || protocol != IPPROTO_UDP) {
        static_cast<void>(std::snprintf(what, size, "an IPv4 socket that is not UDP"));
    } else if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) < 0 ||
               ntohs(local.sin_port) != LOG_PORT) {
        static_cast<void>(
            std::snprintf(what, size, "a UDP socket on port %u", unsigned{ntohs(local.sin_port)}));
    }
}

} // namespace

int net_setup()
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;

    // No SO_REUSEADDR: the bind must fail while anyone else holds the port,
    // because that failure is how a second copy learns the logger is running.
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(LOG_PORT);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int net_passed(char* what, std::size_t size)
{
    what[0] = '\0';
    const long pid = parse_number(std::getenv("LISTEN_PID"));
    const char* fds = std::getenv("LISTEN_FDS");
    const long count = parse_number(fds);
    // A manager that passed them to another process, or nothing at all.
    const bool ours = pid == static_cast<long>(getpid()) && count != 0;
    if (ours && count < 0)
        static_cast<void>(std::snprintf(what, size, "LISTEN_FDS=%.40s, which counts nothing",
                                        fds == nullptr ? "" : fds));
    else if (ours && count > 1)
        static_cast<void>(std::snprintf(what, size, "%ld sockets", count));
    else if (ours)
        check_passed(FIRST_PASSED_FD, what, size);
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    return ours && what[0] == '\0' ? FIRST_PASSED_FD : -1;
}
