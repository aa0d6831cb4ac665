// What the tests send the logger: datagrams to its port, and numbered
// records whose damage shows.
#pragma once

#include <cstddef>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/types.h>

namespace korvi_test {

constexpr int LOGGER_PORT = 17825;

// The logger's port at IPv4 address `ip` (dotted quad).
sockaddr_in ipv4_address(const char* ip);

// Sends one IPv4 datagram to the logger's port at `ip`; returns bytes sent
// or -1 (errno set).
ssize_t send_datagram(const std::string& payload, const char* ip = "127.0.0.1");
// Sends one datagram from a new socket of `to`'s family to `to`; returns
// bytes sent or -1 (errno set).
ssize_t send_datagram_to(const std::string& payload, const sockaddr* to, socklen_t len);

// Size of a numbered record.
constexpr std::size_t RECORD_SIZE = 256;

// Record `seq`: "#", its number in ten digits, padding, and a newline;
// exactly RECORD_SIZE bytes, so a cut or a merge shows.
std::string record(unsigned seq);

} // namespace korvi_test
