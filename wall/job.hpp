// The caller's side of the stages behind the wall: zub-compose executed, each stage's
// input and hand-back, the wait, and how each stage ended.
//
// zub-compose is executed, not only forked: it starts from a fresh address space, with
// an empty environment, its signal mask and dispositions reset, and no descriptor but
// each stage's input and hand-back and its status. An input is a memfd sealed against
// every change; a hand-back is a memfd the caller sizes and seals against growing and
// shrinking before the stage maps it, so that the stage can neither take the caller down
// by shrinking it nor hold memory beyond it. Threaded hosts may call this: zub-compose
// is started with posix_spawn, never a bare fork.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
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

// One run of zub-compose, shared by the stages it runs. Destroying it kills and reaps
// a composer that is still running (its stages die with it).
struct composer_run {
    composer_run() = default;
    composer_run(const composer_run&) = delete;
    composer_run& operator=(const composer_run&) = delete;
    ~composer_run();

    pid_t pid = -1;
    int pidfd = -1;
    int status_fd = -1;  // what it says of each stage's end
    std::chrono::steady_clock::time_point started;
    bool waited = false;     // it has been waited for (below: how that went)
    std::size_t stages = 1;  // each brings its own stage_wall_seconds to the deadline
    bool ended = false;      // before the deadline
    int wait_status = 0;     // waitpid's, when it saw the end
    int wait_error = 0;      // errno of a waitpid that did not
};

// How a stage ended when it did not end as it should: in words, and whether the
// document caused it. Only the document's doing leaves the stage's part out with a
// warning: the filter's kill, the CPU or memory limit reached, a fault the kernel raised
// on the stage's own access, its own abort or its own refusal (an image whose declared
// size is absurd among them). Every other end is an error of the run, which the document
// did not cause: a stage or composer that could not be started or confined, a signal
// another process sent, the deadline of a busy machine passed, the composer gone.
struct stage_end {
    std::string said;  // empty: it ended as it should
    bool document_caused = true;
};
[[nodiscard]] inline stage_end run_error(std::string said) { return {std::move(said), false}; }

// A stage started and not yet finished: its hand-back, and the run it is part of.
struct stage_job {
    stage_job() = default;
    stage_job(stage_job&& other) noexcept;
    stage_job& operator=(stage_job&& other) noexcept;
    stage_job(const stage_job&) = delete;
    stage_job& operator=(const stage_job&) = delete;
    ~stage_job();

    const char* name = "the decoder";  // in the words of its fate
    std::shared_ptr<composer_run> run;
    std::size_t slot = 0;  // which of the run's stages
    int handback_fd = -1;
    std::uint64_t handback_bytes = 0;
    stage_end problem;  // why no stage was started
};

// What a stage is asked: its words on zub-compose's command line (its name first), its
// input (copied into a sealed memfd) and the size of its hand-back.
struct stage_request {
    const char* name = "the decoder";
    std::vector<std::string> arguments;
    bytes_view input;
    std::uint64_t handback_bytes = 0;
};

// Starts one zub-compose for the stages asked (at most max_stages), each confined in its
// own process with its own limits; one stage job a request, in order.
[[nodiscard]] std::vector<stage_job> start_stages(std::span<const stage_request> requests);

// Waits for the stage's run (with a deadline, whether or not the system gives a pidfd)
// and says how the stage ended: nothing said when it ended as it should, else its fate
// in words ("the decoder crashed (signal 11)", "the decoder was stopped after 2 s", ...)
// and whose doing it was.
[[nodiscard]] stage_end finish_stage(stage_job& job);

// The first `bytes` of a finished stage's hand-back, read-only (at most its size).
[[nodiscard]] result<mapping_handle> map_handback(const stage_job& job, std::uint64_t bytes);

// Kills the run's process (through its pidfd where there is one).
void kill_run(const composer_run& run);

// Waits for the run until its deadline, stage_wall_seconds for each of its stages after
// its start (sleeping on its pidfd, or looking every 10 ms without one), kills it when
// it is still running then, and reaps it; later calls find it waited for. A run of
// another program waits `within` after its start.
void wait_once(composer_run& run);
void wait_once(composer_run& run, std::chrono::seconds within);

// A memfd holding `bytes`, sealed against every change (close-on-exec), or -1.
int sealed_input(bytes_view bytes);

// A program started afresh with posix_spawn (never a bare fork, so threaded hosts may
// call it): each descriptor `from` placed at `to` (the `from`s above every `to`), none
// open above the highest `to` and no standard one that is not placed, no signal held,
// ignored or caught, an empty environment, in `folder` when one is given. Its pid, or -1 with the reason's
// errno in `error`.
struct placed_descriptor {
    int from = -1;
    int to = -1;
};
// With `own_group` it leads a process group of its own.
pid_t spawn_afresh(const std::string& program, std::vector<std::string> words,
                   std::span<const placed_descriptor> placed, const char* folder, int& error,
                   bool own_group = false);

// From now on zub-compose leads a process group of its own, so that a terminal's Ctrl-C
// reaches the caller alone: for a caller that ends its composers itself on a signal
// (kill_composers_now). Otherwise the composer is in the caller's group, and a Ctrl-C
// ends both at once (the viewer, whose SDL turns SIGINT into a close request, then has no
// stage left to wait for).
void start_composers_in_groups_of_their_own();

// Kills every run of zub-compose this process has going, with its stages, and reaps it:
// for a signal handler (it touches nothing but atomics and system calls).
void kill_composers_now() noexcept;

// A program of the project's: beside this code's own file (the running program, or the
// library a host loaded), else at `installed_from_here` from that file's folder.
std::string program_beside(const char* name, const char* installed_from_here);

// The entry point `entry` of the project's module `name` (the viewer's window, zub's
// picture painter): beside the program in the build tree, else in the project's library
// folder, or why `what` cannot be loaded. The module stays loaded for the rest of the
// program's life: the libraries it brings in may keep state until the process ends.
result<void*> load_module(const char* name, const char* entry, const std::string& what);

// Where zub-compose is: beside the running program's own file (or, installed, in its
// libexec folder), unless a test names another.
std::string composer_path();
void set_composer_path(const std::string& path);  // empty: the default again

}  // namespace zub
