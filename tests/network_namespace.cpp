#include "network_namespace.h"

#include "datagrams.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace korvi_test {
namespace {

// Set by isolate_network(): this process has a network of its own.
bool in_own_network = false;

// Writes `text` to the file at `path`; false on failure.
bool write_file(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return whole;
}

// Enters a new user namespace, in which this user is root, as `unshare -r`
// makes it, with the network namespace made with it: the programs the tests
// run (ip, for one) keep the power to manage that network. False when none
// can be made.
bool enter_user_and_network_namespace()
{
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
        return false;
    return write_file("/proc/self/setgroups", "deny") &&
           write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

// Brings up the loopback device of a new network namespace: 127.0.0.0/8 and,
// where the kernel has IPv6, ::1.
bool bring_up_loopback()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq lo{};
    std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &lo) == 0;
    lo.ifr_flags = static_cast<short>(lo.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &lo) == 0;
    close(fd);
    return up;
}

// Runs `command` with a shell; returns "" when it succeeds, else what it
// said, or its status when it said nothing.
std::string run_quietly(const std::string& command)
{
    FILE* out = popen((command + " 2>&1").c_str(), "r");
    if (out == nullptr)
        return std::string("cannot run a shell: ") + std::strerror(errno);
    std::string said;
    char chunk[256];
    while (std::fgets(chunk, sizeof chunk, out) != nullptr)
        said += chunk;
    const int status = pclose(out);
    if (status == 0)
        return "";
    while (!said.empty() && said.back() == '\n')
        said.pop_back();
    return said.empty() ? "status " + std::to_string(status) : said;
}

} // namespace

std::string isolate_network()
{
    // Set to run on the host's network as where no namespace can be made.
    const bool shared = std::getenv("KORVI_TESTS_ON_HOST_NETWORK") != nullptr;
    if (!shared && (unshare(CLONE_NEWNET) == 0 || enter_user_and_network_namespace())) {
        in_own_network = bring_up_loopback();
        if (in_own_network)
            return "the tests run in a network namespace of their own";
    }
    // Held until this process ends; the kernel lets go of it then, however it ends.
    const int lock = open("/tmp/korvi-logger-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock < 0 || flock(lock, LOCK_EX) != 0)
        return std::string("no network namespace, and no lock: ") + std::strerror(errno);
    return "no network namespace could be made: the tests share the host's port, one at a time";
}

bool own_network()
{
    return in_own_network;
}

bool port_is_free()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const sockaddr_in addr = ipv4_address("0.0.0.0");
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return free;
}

std::string port_problem()
{
    if (in_own_network || port_is_free())
        return "";
    return "UDP port " + std::to_string(LOGGER_PORT) +
           " is already held by another program (a korvi-logger left running?), and no "
           "network namespace could be made for the tests.\n"
           "See who holds it with: ss -uanp 'sport = :17825'\n"
           "Stop it and run the tests again, or run them as root.\n";
}

std::string ipv6_problem()
{
    static const std::string problem = [] {
        const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return std::string("no IPv6 here: ") + std::strerror(errno);
        sockaddr_in6 loopback{};
        loopback.sin6_family = AF_INET6;
        loopback.sin6_addr = in6addr_loopback;
        const bool bound =
            bind(fd, reinterpret_cast<const sockaddr*>(&loopback), sizeof loopback) == 0;
        const int saved = errno;
        close(fd);
        return bound ? std::string()
                     : std::string("no IPv6 loopback here: ") + std::strerror(saved);
    }();
    return problem;
}

std::string subnet_problem()
{
    static const std::string problem = [] {
        if (!in_own_network)
            return std::string("needs a network namespace of the tests' own, and none could "
                               "be made here");
        const std::string why =
            run_quietly(std::string("ip link add kv0 type veth peer name kv1 && ip addr add ") +
                        SUBNET_ADDRESS + "/24 dev kv0 && ip link set kv0 up && ip link set kv1 up");
        return why.empty() ? why : "no veth pair here (needs iproute2 and the veth driver): " + why;
    }();
    return problem;
}

} // namespace korvi_test
