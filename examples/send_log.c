/*
 * A minimal sender for korvi-logger: one UDP datagram per message.
 * Paste log_open() and log_printf() into your program or firmware.
 *
 *   send_log [IPv4-address [message]]
 *
 * sends the message as one line, or three example lines (default address
 * 127.0.0.1).
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
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
 * "\n" for one line per message: the logger adds nothing. A message longer
 * than the logger shows is cut to fit; when `fmt` ends with "\n", so does the
 * cut message, and the next one still starts a line of its own. Returns 0,
 * or -1. */
int log_printf(const char* fmt, ...)
{
    char text[LOGGER_MAX_TEXT + 1]; /* + 1: vsnprintf always ends with a NUL */
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    if (n < 0 || log_fd < 0)
        return -1;
    if (n > LOGGER_MAX_TEXT) {
        n = LOGGER_MAX_TEXT;
        size_t len = strlen(fmt);
        if (len > 0 && fmt[len - 1] == '\n')
            text[n - 1] = '\n';
    }
    return sendto(log_fd, text, (size_t)n, 0, (const struct sockaddr*)&log_to, sizeof log_to) == n
               ? 0
               : -1;
}

int main(int argc, char** argv)
{
    const char* ip = argc > 1 ? argv[1] : "127.0.0.1";
    if (argc > 3 || log_open(ip) < 0) {
        fprintf(stderr, "usage: send_log [IPv4-address [message]]\n");
        return 2;
    }
    if (argc == 3) {
        if (log_printf("%s\n", argv[2]) < 0) {
            perror("send_log");
            return 1;
        }
        return 0;
    }
    for (int i = 1; i <= 3; ++i)
        if (log_printf("send_log[%d]: message %d of 3\n", (int)getpid(), i) < 0) {
            perror("send_log");
            return 1;
        }
    return 0;
}
