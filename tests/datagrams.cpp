#include "datagrams.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace korvi_test {

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
    const sockaddr_in addr = ipv4_address(ip);
    return send_datagram_to(payload, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

ssize_t send_datagram_to(const std::string& payload, const sockaddr* to, socklen_t len)
{
    const int fd = socket(to->sa_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const ssize_t sent = sendto(fd, payload.data(), payload.size(), 0, to, len);
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

} // namespace korvi_test
