// The caller's side of a stage behind the wall: zub-compose executed, its input and its
// hand-back, the wait, and how the stage ended.
//
// zub-compose is executed, not only forked: it starts from a fresh address space, with
// an empty environment, its signal mask and dispositions reset, and no descriptor but
// its input (3) and its hand-back (4). The input is a memfd sealed against every change;
// the hand-back is a memfd the caller sizes and seals against growing and shrinking
// before the stage maps it, so that the stage can neither take the caller down by
// shrinking it nor hold memory beyond it. Threaded hosts may call this: the stage is
// started with posix_spawn, never a bare fork.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "document/byte_reader.hpp"
#include "document/result.hpp"
#include "wall/handback.hpp"

namespace zub {

struct mapping_release {
    std::size_t size = 0;
    void operator()(void* at) const;
};
// A mapping of a hand-back, unmapped when it goes.
using mapping_handle = std::unique_ptr<void, mapping_release>;

// A stage started and not yet finished. Destroying it kills and reaps a stage that is
// still running.
struct stage_job {
    stage_job() = default;
    stage_job(stage_job&& other) noexcept;
    stage_job& operator=(stage_job&& other) noexcept;
    stage_job(const stage_job&) = delete;
    stage_job& operator=(const stage_job&) = delete;
    ~stage_job();

    const char* name = "the decoder";  // in the words of its fate
    pid_t pid = -1;
    int pidfd = -1;
    int handback_fd = -1;
    std::uint64_t handback_bytes = 0;
    std::chrono::steady_clock::time_point started;
    std::string problem;  // why no stage was started
};

// Starts zub-compose with `arguments` after its stage and this process's id; `input` is
// copied into its sealed input, and its hand-back is `handback_bytes` long.
[[nodiscard]] stage_job start_stage(const char* name, const std::vector<std::string>& arguments,
                                    bytes_view input, std::uint64_t handback_bytes);

// Waits for the stage (with a deadline, whether or not the system gives a pidfd) and
// says how it ended: empty when it ended as it should, else its fate in words ("the
// decoder crashed (signal 11)", "the decoder was stopped after 2 s", ...).
[[nodiscard]] std::string finish_stage(stage_job& job);

// The first `bytes` of a finished stage's hand-back, read-only (at most its size).
[[nodiscard]] result<mapping_handle> map_handback(const stage_job& job, std::uint64_t bytes);

// Where zub-compose is: beside the running program's own file (or, installed, in its
// libexec folder), unless a test names another.
std::string composer_path();
void set_composer_path(const std::string& path);  // empty: the default again

}  // namespace zub
