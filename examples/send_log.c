/*
 * A minimal sender for korvi-logger: one UDP datagram per message.
 * Paste log_open() and log_printf() into your program or firmware.
 *
 *   send_log [IPv4-address]     sends three example lines (default 127.0.0.1)
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/socket.h>
#include <unistd.h>

#define LOGGER_PORT 17825
#define LOGGER_MAX_TEXT 1024 /* the logger shows at most this much of a message */

static int log_fd = -1;
static struct sockaddr_in log_to;

/* Aims log_printf at the logger on `ip` (dotted IPv4). Returns 0, or -1 on failure. */
int log_open(const char* ip)
{
    log_to.sin_family = AF_INET;
    log_to.sin_port = htons(LOGGER_PORT);
    if (inet_pton(AF_INET, ip, &log_to.sin_addr) != 1)
        return -1;
    log_fd = socket(AF_INET, SOCK_DGRAM, 0);
    return log_fd < 0 ? -1 : 0;
}

/* Formats a message as printf does and sends it as one datagram. End it with
 * "\n" for one line per message: the logger adds nothing. Returns 0, or -1. */
int log_printf(const char* fmt, ...)
{
    char text[LOGGER_MAX_TEXT];
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0 || log_fd < 0)
        return -1;
    if ((size_t)n >= sizeof text) /* cut to what the logger shows */
        n = (int)sizeof text - 1;
    return sendto(log_fd, text, (size_t)n, 0, (const struct sockaddr*)&log_to, sizeof log_to) == n
               ? 0
               : -1;
}

int main(int argc, char** argv)
{
    const char* ip = argc > 1 ? argv[1] : "127.0.0.1";
    if (log_open(ip) < 0) {
        fprintf(stderr, "usage: send_log [IPv4-address]\n");
        return 2;
    }
    for (int i = 1; i <= 3; ++i)
        if (log_printf("send_log[%d]: message %d of 3\n", (int)getpid(), i) < 0) {
            perror("send_log");
            return 1;
        }
    return 0;
}
