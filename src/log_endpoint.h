// The log endpoint: the one UDP socket through which all log text arrives.
#pragma once

#include <cstddef>
#include <cstdint>

// UDP port of the log endpoint, on every local IPv4 address.
constexpr std::uint16_t LOG_PORT = 17825;

// Opens a blocking UDP socket bound to LOG_PORT on every local IPv4 address.
// Returns its descriptor, or -1 when it can't be opened or bound (most often
// because another socket already holds the port). Writes nothing.
int net_setup();

// Takes the endpoint that a service manager passed this process, as
// sd_listen_fds(3) reads it, and removes the variables that describe it
// (LISTEN_PID, LISTEN_FDS, LISTEN_FDNAMES). Returns its descriptor when the
// manager passed one IPv4 UDP socket on LOG_PORT, at descriptor 3; returns
// -1 when it passed nothing to this process, and -1 with `what` set to
// what it did pass when that is anything else (`what` is "" otherwise).
// Opens nothing and writes nothing.
int net_passed(char* what, std::size_t size);
