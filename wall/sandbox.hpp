// The wall a stage puts up around itself before it reads a byte of its input.
#pragma once

#include <cstdint>
#include <string>

namespace zub {

// Confines the calling process, for good: no core dump, no way back to privileges and
// no capability kept (also when run as root), a CPU limit whose soft and hard values are
// one (a caught SIGXCPU buys no time), an address-space limit of `memory_bytes` over
// what is mapped now, and a seccomp filter that kills it on any system call decoding and
// rendering from memory do not need. Allowed: memory (anonymous, or the input read-only;
// never executable), its own SIGABRT, reading the time and system memory figures, and
// ending. No file, socket, program, process or signal to another; writes to stderr
// fail as on a closed descriptor. A lower hard limit the process was started with stays,
// and `limits` says which were set: the CPU seconds, and whether the memory limit is the
// one it inherited. Gives why it could not, or an empty string.
struct stage_limits {
    int cpu_seconds = 0;
    bool memory_inherited = false;
};
std::string confine_stage(int cpu_seconds, std::uint64_t memory_bytes, int input_fd, stage_limits& limits);

}  // namespace zub
