#include "seccomp_faults.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvi_test {
namespace {

// The seccomp audit architecture of the system calls this build makes: a
// filter checks it first, since the same number means another call on
// another architecture. 0 where no branch below knows it.
#if defined(__x86_64__) && defined(__ILP32__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = 0; // x32: its calls carry a flag bit; not covered
#elif defined(__x86_64__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__) && !defined(__AARCH64EB__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_AARCH64;
#elif defined(__powerpc64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_PPC64LE;
#elif defined(__riscv) && __riscv_xlen == 64
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_RISCV64;
#elif defined(__s390x__)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_S390X;
#elif defined(__mips64) && defined(__MIPSEL__) && _MIPS_SIM == _ABI64
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_MIPSEL64;
#elif defined(__loongarch64) && defined(AUDIT_ARCH_LOONGARCH64)
constexpr std::uint32_t AUDIT_ARCH_NATIVE = AUDIT_ARCH_LOONGARCH64;
#else
constexpr std::uint32_t AUDIT_ARCH_NATIVE = 0;
#endif

// Offset in seccomp_data of the low 32 bits of the first argument.
constexpr std::uint32_t ARG0_LOW =
    offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);

// One rule of a filter: what `call` does, when its first argument is
// `arg0` (any first argument when arg0 is -1).
struct Rule {
    long call;
    long arg0;
    std::uint32_t action;
};

// The rules that make `fault` happen. The C library may reach select and
// poll through either of two calls; architectures that have only the newer
// one (arm64, riscv64, loongarch64) define no number for the older.
std::vector<Rule> fault_rules(Fault fault)
{
    const std::uint32_t kill = SECCOMP_RET_KILL_PROCESS;
    const std::uint32_t enomem = SECCOMP_RET_ERRNO | ENOMEM;
    std::vector<Rule> rules;
    switch (fault) {
    case Fault::None:
        break;
    case Fault::BindKills:
        rules.push_back({__NR_bind, -1, kill});
        break;
    case Fault::SelectFails:
        rules.push_back({__NR_pselect6, -1, enomem});
#ifdef __NR_select
        rules.push_back({__NR_select, -1, enomem});
#endif
        break;
    case Fault::PollFails:
        rules.push_back({__NR_ppoll, -1, enomem});
#ifdef __NR_poll
        rules.push_back({__NR_poll, -1, enomem});
#endif
        break;
    case Fault::StdoutTakesNothing:
        // An "error" of 0 is a return value of 0: the write took nothing.
        rules.push_back({__NR_write, STDOUT_FILENO, SECCOMP_RET_ERRNO | 0});
        rules.push_back({__NR_bind, -1, kill});
        break;
    }
    return rules;
}

// True when this process runs under an emulator such as qemu-user: the
// kernel then runs the emulator, which shows the tests' own program as
// /proc/self/exe but can't hide itself from another process. A child that
// runs no program of its own shows the same executable as its parent,
// unless both are the emulator.
bool under_emulator()
{
    char self[PATH_MAX] = {};
    char child_exe[PATH_MAX] = {};
    int gate[2];
    if (readlink("/proc/self/exe", self, sizeof self - 1) < 0 || pipe2(gate, O_CLOEXEC) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        char byte;
        close(gate[1]);
        while (read(gate[0], &byte, 1) < 0 && errno == EINTR) {
        } // until the parent has looked and closed its end
        _exit(0);
    }
    close(gate[0]);
    const std::string link = "/proc/" + std::to_string(child) + "/exe";
    const bool looked = child > 0 && readlink(link.c_str(), child_exe, sizeof child_exe - 1) > 0;
    close(gate[1]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return looked && std::strcmp(self, child_exe) != 0;
}

} // namespace

std::string seccomp_problem()
{
    static const std::string problem = [] {
        if (AUDIT_ARCH_NATIVE == 0)
            return std::string("no seccomp audit architecture is known for this build's target, "
                               "so no filter can be written for it");
        if (under_emulator())
            return std::string("this runs under an emulator (qemu-user), which cannot install "
                               "seccomp filters");
        return std::string();
    }();
    return problem;
}

// A logger run on another architecture, or through the x32 calls, is killed
// at its first system call: a check then fails instead of passing unseen.
std::vector<sock_filter> fault_filter(Fault fault)
{
    const std::vector<Rule> rules = fault_rules(fault);
    if (rules.empty())
        return {};
    std::vector<sock_filter> filter = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_NATIVE, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
#if defined(__x86_64__)
    // x32 calls share AUDIT_ARCH_X86_64 and differ by this bit of their number.
    constexpr std::uint32_t X32_SYSCALL_BIT = 0x40000000;
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, X32_SYSCALL_BIT, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
#endif
    for (const Rule& rule : rules) {
        const auto call = static_cast<std::uint32_t>(rule.call);
        if (rule.arg0 < 0) {
            filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
            filter.push_back(BPF_STMT(BPF_RET | BPF_K, rule.action));
            continue;
        }
        // Not this call: skip the 4 statements of the rule. This call with
        // another argument: load the number back and go on.
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 4));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, ARG0_LOW));
        filter.push_back(
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(rule.arg0), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, rule.action));
        filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return filter;
}

void install_filter(std::vector<sock_filter>& filter)
{
    if (filter.empty())
        return;
    sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
        _exit(126);
}

} // namespace korvi_test
