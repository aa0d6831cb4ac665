#include "log_endpoint.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
