// The log endpoint: the one UDP socket through which all log text arrives.
#pragma once

#include <cstdint>

// UDP port of the log endpoint, on every local IPv4 address.
constexpr std::uint16_t LOG_PORT = 17825;

// Opens a blocking UDP socket bound to LOG_PORT on every local IPv4 address.
// Returns its descriptor, or -1 when it can't be opened or bound (most often
// because another socket already holds the port). Writes nothing.
int net_setup();
