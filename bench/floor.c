/*
 * The floor: the least a UDP-to-stdout relay can do per datagram (select,
 * recvfrom, write) and nothing else. Benchmark comparison only, not installed.
 */
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#define FLOOR_PORT 17825

int main(void)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in addr = {0};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(FLOOR_PORT);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) < 0)
        return 1;
    char buf[1024];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        select(fd + 1, &readable, NULL, NULL, NULL);
        ssize_t n = recvfrom(fd, buf, sizeof buf, 0, NULL, NULL);
        if (n > 0 && write(STDOUT_FILENO, buf, (size_t)n) < 0)
            return 1;
    }
}
