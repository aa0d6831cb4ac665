// The tests' own network: each test process keeps off the host's UDP port
// 17825, so that the suite passes beside a running logger and its tests may
// run in parallel.
#pragma once

#include <string>

namespace korvi_test {

// Runs this process, and so every logger it starts, in a network namespace
// of its own with only loopback, where nothing else holds the port: as
// root, or else in a new user namespace in which this user is root. Where
// neither can be made, takes a lock that keeps other test processes on this
// host out until this one ends; so it does when KORVI_TESTS_ON_HOST_NETWORK
// is set. Returns a line that says which it did.
std::string isolate_network();

// True once isolate_network() has given this process a network of its own.
bool own_network();

// Returns true when nothing in this network holds the logger's UDP port.
bool port_is_free();

// Says why the tests can't have the port to themselves, or "" when they
// can: always in a namespace of their own, else when nothing holds it.
std::string port_problem();

// Says why no datagram can be sent over IPv6 here, or "".
std::string ipv6_problem();

// The local subnet for broadcasts: a veth pair in the tests' own network,
// with SUBNET_ADDRESS/24 on one end. Made on first use; returns why it
// can't be made here, or "" once it is there.
constexpr char SUBNET_ADDRESS[] = "10.77.0.1";
constexpr char SUBNET_BROADCAST[] = "10.77.0.255";
std::string subnet_problem();

} // namespace korvi_test
