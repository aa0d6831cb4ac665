// Who can reach the logger: every local IPv4 address, every sender, no IPv6.
#include "logger_process.h"
#include "network_namespace.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace korvi_test {

// Outside the unnamed namespace, so that GoogleTest finds operator<< for it.
struct AddressCase {
    const char* name;
    const char* address;
};

namespace {

class NetworkTest : public LoggerTest {};
class LocalAddress : public LoggerTest, public ::testing::WithParamInterface<AddressCase> {};

// Sends one IPv6 datagram to [::1] at the logger's port; returns bytes sent
// or -1 (errno set).
ssize_t send_datagram6(const std::string& payload)
{
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(LOGGER_PORT);
    addr.sin6_addr = in6addr_loopback;
    return send_datagram_to(payload, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
}

const AddressCase ADDRESS_CASES[] = {
    {"Loopback", "127.0.0.1"},
    {"OtherLoopback", "127.0.0.2"},
    {"LastLoopback", "127.255.255.254"},
};

TEST_P(LocalAddress, DatagramArrives)
{
    const char* address = GetParam().address;
    const std::string text = std::string("to ") + address + "\n";
    LoggerRun& run = start();
    ASSERT_EQ(static_cast<ssize_t>(text.size()), send_datagram(text, address))
        << std::strerror(errno);
    ASSERT_TRUE(read_until(run, text)) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(BANNER_LINE + text + STOPPED_LINE, full_output(run));
}

INSTANTIATE_TEST_SUITE_P(NetworkTest, LocalAddress, ::testing::ValuesIn(ADDRESS_CASES), CaseName());

// A broadcast to a local subnet reaches the logger like any datagram: the
// subnet here is a veth pair in the tests' own network namespace.
TEST_F(NetworkTest, SubnetBroadcastArrives)
{
    if (const std::string why = subnet_problem(); !why.empty())
        GTEST_SKIP() << why;
    LoggerRun& run = start();
    const ScopedFd sender(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_GE(sender.fd, 0) << std::strerror(errno);
    const int on = 1;
    ASSERT_EQ(0, setsockopt(sender.fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on))
        << std::strerror(errno);
    const std::string text = "to the subnet\n";
    const sockaddr_in to = ipv4_address(SUBNET_BROADCAST);
    const ssize_t sent = sendto(sender.fd, text.data(), text.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof to);
    ASSERT_EQ(static_cast<ssize_t>(text.size()), sent) << std::strerror(errno);
    ASSERT_TRUE(read_until(run, text)) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(BANNER_LINE + text + STOPPED_LINE, full_output(run));
}

TEST_F(NetworkTest, Ipv6DatagramDoesNotArrive)
{
    if (const std::string why = ipv6_problem(); !why.empty())
        GTEST_SKIP() << why;
    LoggerRun& run = start();
    ASSERT_EQ(10, send_datagram6("over ipv6\n")) << std::strerror(errno);
    // IPv4 after it: once this is out, the IPv6 one would have been too.
    ASSERT_EQ(10, send_datagram("over ipv4\n"));
    ASSERT_TRUE(read_until(run, "over ipv4\n")) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(std::string(BANNER_LINE) + "over ipv4\n" + STOPPED_LINE, full_output(run));
}

TEST_F(NetworkTest, SeveralSendersAtOnceAreAllHeardWhole)
{
    // Few enough that the socket's default receive queue holds them all even
    // if the logger is slow (sanitizers), so none may be lost.
    constexpr int SENDERS = 4;
    constexpr int PER_SENDER = 25;
    LoggerRun& run = start();

    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back([s] {
            for (int i = 0; i < PER_SENDER; ++i)
                send_datagram("sender " + std::to_string(s) + " message " + std::to_string(i) +
                              " " + std::string(40, static_cast<char>('a' + s)) + "\n");
        });
    for (auto& t : senders)
        t.join();
    ASSERT_EQ(4, send_datagram("end\n"));
    ASSERT_TRUE(read_until(run, "end\n")) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));

    // Each line whole; each sender's lines in the order it sent them,
    // none lost, none repeated.
    std::istringstream lines(full_output(run));
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ("KORVI Logger (v1.1)", line);
    int next[SENDERS] = {};
    while (std::getline(lines, line) && line != "end") {
        int s = -1;
        int i = -1;
        ASSERT_EQ(2, std::sscanf(line.c_str(), "sender %d message %d", &s, &i)) << line;
        ASSERT_TRUE(s >= 0 && s < SENDERS) << line;
        EXPECT_EQ("sender " + std::to_string(s) + " message " + std::to_string(i) + " " +
                      std::string(40, static_cast<char>('a' + s)),
                  line);
        EXPECT_EQ(next[s], i) << "sender " << s << " out of order or lost";
        next[s] = i + 1;
    }
    for (int s = 0; s < SENDERS; ++s)
        EXPECT_EQ(PER_SENDER, next[s]) << "messages heard from sender " << s;
    std::getline(lines, line);
    EXPECT_EQ("KORVI Logger stopped.", line);
}

#ifdef KORVI_BUILT_SEND_LOG
TEST_F(NetworkTest, ExampleSenderIsHeard)
{
    LoggerRun& run = start();
    const std::string command = built_program("examples/send_log") + " 127.0.0.1";
    ASSERT_EQ(0, std::system(command.c_str())) << command;
    ASSERT_TRUE(read_until(run, "message 3 of 3\n")) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));

    std::istringstream lines(full_output(run));
    std::string line;
    std::vector<std::string> got;
    while (std::getline(lines, line))
        got.push_back(line.substr(0, 9) == "send_log[" ? line.substr(line.find(']') + 1) : line);
    const std::vector<std::string> expected = {"KORVI Logger (v1.1)", ": message 1 of 3",
                                               ": message 2 of 3", ": message 3 of 3",
                                               "KORVI Logger stopped."};
    EXPECT_EQ(expected, got);
}

// A message longer than the logger shows is cut to fit and keeps its
// newline, so that whatever comes next starts a line of its own.
TEST_F(NetworkTest, ExampleSenderCutsALongMessageButKeepsItsNewline)
{
    LoggerRun& run = start();
    const std::string command =
        built_program("examples/send_log") + " 127.0.0.1 " + std::string(1500, 'x');
    ASSERT_EQ(0, std::system(command.c_str())) << command;
    ASSERT_EQ(5, send_datagram("next\n"));
    ASSERT_TRUE(read_until(run, "next\n")) << "got: " << run.output;
    EXPECT_EQ("exited with 0", interrupt(run));
    EXPECT_EQ(BANNER_LINE + std::string(1023, 'x') + "\nnext\n" + STOPPED_LINE, full_output(run));
}
#endif

} // namespace
} // namespace korvi_test
