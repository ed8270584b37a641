#include "wall/sandbox.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace zub {

namespace {

std::int64_t address_space_in_use() {
    // The first field of statm is the address space in pages.
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[64] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    (void)close(fd);
    if (got <= 0) return -1;
    return std::strtoll(text, nullptr, 10) * sysconf(_SC_PAGESIZE);
}

// Every capability given up: the bounding set (where it may be changed), the ambient
// ones, and the process's own.
std::string drop_capabilities() {
    (void)prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability) {
        (void)prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[2] = {};
    if (syscall(SYS_capset, &header, none) != 0)
        return std::string("cannot give up its capabilities: ") + std::strerror(errno);
    return "";
}

std::string install_filter(int input_fd) {
    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) return "cannot make a seccomp filter";
    const auto allow = [&](int call, auto... conditions) {
        return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, sizeof...(conditions), conditions...) == 0;
    };
    // libseccomp's SCMP_A* macros are C compound literals.
    const auto arg = [](unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
        return scmp_arg_cmp{index, op, a, b};
    };
    const auto no_exec = arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    const auto read_only = arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC | PROT_WRITE, 0);
    const auto self = static_cast<scmp_datum_t>(getpid());
    bool built = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0;
    // Memory, private or the input's (read-only); never executable.
    built = built && allow(SCMP_SYS(brk)) && allow(SCMP_SYS(munmap)) && allow(SCMP_SYS(mremap)) &&
            allow(SCMP_SYS(mprotect), no_exec) &&
            allow(SCMP_SYS(mmap), no_exec, arg(3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS)) &&
            allow(SCMP_SYS(mmap), read_only, arg(4, SCMP_CMP_EQ, static_cast<scmp_datum_t>(input_fd)));
    // The advice the C library's allocator and the sanitizers give, and the stages' own
    // (a hand-back's pages made at once).
    for (const int advice : {MADV_DONTNEED, MADV_FREE, MADV_DONTDUMP, MADV_DODUMP, MADV_NOHUGEPAGE,
                             MADV_HUGEPAGE, MADV_WILLNEED, MADV_POPULATE_WRITE}) {
        built = built && allow(SCMP_SYS(madvise), arg(2, SCMP_CMP_EQ, static_cast<scmp_datum_t>(advice)));
    }
    // Ending, its own SIGABRT (abort), and what the C library asks about itself.
    built = built && allow(SCMP_SYS(exit)) && allow(SCMP_SYS(exit_group)) && allow(SCMP_SYS(rt_sigreturn)) &&
            allow(SCMP_SYS(rt_sigprocmask)) && allow(SCMP_SYS(rt_sigaction)) &&
            allow(SCMP_SYS(sigaltstack)) && allow(SCMP_SYS(getpid)) && allow(SCMP_SYS(gettid)) &&
            allow(SCMP_SYS(tgkill), arg(0, SCMP_CMP_EQ, self), arg(2, SCMP_CMP_EQ, SIGABRT)) &&
            allow(SCMP_SYS(sysinfo)) && allow(SCMP_SYS(clock_gettime)) && allow(SCMP_SYS(gettimeofday));
    // The libraries' messages to stderr, which is closed, fail as they would anyway.
    for (const int call : {SCMP_SYS(write), SCMP_SYS(writev)}) {
        built =
            built && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EBADF), call, 1, arg(0, SCMP_CMP_EQ, 2)) == 0;
    }
    for (const int call : {SCMP_SYS(fstat), SCMP_SYS(newfstatat)}) {
        built = built && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EBADF), call, 0) == 0;
    }
    const int loaded = built ? seccomp_load(filter) : -1;
    seccomp_release(filter);
    if (!built) return "cannot build its seccomp filter";
    if (loaded != 0) return std::string("cannot install its seccomp filter: ") + std::strerror(-loaded);
    return "";
}

}  // namespace

std::string confine_stage(int cpu_seconds, std::uint64_t memory_bytes, int input_fd, stage_limits& limits) {
    // No core dump, and no way back to privileges.
    const rlimit no_core{0, 0};
    (void)setrlimit(RLIMIT_CORE, &no_core);
    (void)prctl(PR_SET_DUMPABLE, 0);
    if (std::string dropped = drop_capabilities(); !dropped.empty()) return dropped;
    // Soft and hard one: at the limit the kernel kills it, and SIGXCPU never comes. A
    // lower hard limit the stage was started with (a host under `ulimit -t` or `-v`)
    // stays: it cannot be raised, and it confines the stage more.
    const auto within_hard = [](int resource, rlim_t wanted, rlim_t& set) {
        rlimit now{};
        set = getrlimit(resource, &now) == 0 ? std::min(wanted, now.rlim_max) : wanted;
        const rlimit both{set, set};
        return setrlimit(resource, &both) == 0;
    };
    rlim_t cpu = 0;
    if (!within_hard(RLIMIT_CPU, static_cast<rlim_t>(cpu_seconds), cpu))
        return std::string("cannot limit its CPU time: ") + std::strerror(errno);
    limits.cpu_seconds = static_cast<int>(cpu);
    // Memory on top of what the process has mapped already: a sanitizer build has
    // terabytes of address space reserved before the first allocation.
    const std::int64_t in_use = address_space_in_use();
    if (in_use < 0) return "cannot read its memory use";
    rlim_t memory = 0;
    if (!within_hard(RLIMIT_AS, static_cast<rlim_t>(in_use) + memory_bytes, memory))
        return std::string("cannot limit its memory: ") + std::strerror(errno);
    limits.memory_inherited = memory < static_cast<rlim_t>(in_use) + memory_bytes;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return std::string("cannot give up privileges: ") + std::strerror(errno);
    return install_filter(input_fd);
}

}  // namespace zub
