// Faults no real stdout or kernel makes on demand, made by the kernel all
// the same: a seccomp filter on the logger makes one system call fail or
// kill it. Everything that depends on the architecture (system call
// numbers, seccomp audit architectures) lives in this file's .cpp.
#pragma once

#include <linux/filter.h>
#include <string>
#include <vector>

namespace korvi_test {

// A system call that the kernel makes misbehave for the logger.
enum class Fault {
    None,
    BindKills,   // bind(2) kills the logger with SIGSYS: proves it never took the port
    SelectFails, // select(2) fails with ENOMEM
    PollFails,   // poll(2) fails with ENOMEM
    // write(2) to stdout returns 0, taking nothing and naming no error; and
    // bind(2) kills, as with BindKills.
    StdoutTakesNothing,
};

// Says why no seccomp filter can be put on the logger here (an architecture
// this file knows no audit number for, or an emulator such as qemu-user,
// which refuses filters), or "" when one can. On a native kernel of a known
// architecture it is "".
std::string seccomp_problem();

// The filter that makes `fault` happen, or an empty one for Fault::None.
// Built before fork, since the child may not allocate.
std::vector<sock_filter> fault_filter(Fault fault);

// In the child, before exec: installs `filter`, if any; _exit(126) when
// the kernel refuses it.
void install_filter(std::vector<sock_filter>& filter);

} // namespace korvi_test
