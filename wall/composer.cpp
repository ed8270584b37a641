#include "wall/composer.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "wall/handback.hpp"
#include "wall/sandbox.hpp"
#include "wall/stages.hpp"

namespace zub {

namespace {

template <class T>
bool number_of(const char* text, T& value) {
    const std::string_view word(text);
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc{} && end == word.data() + word.size();
}

// The size of an open descriptor's file, before the wall goes up.
std::uint64_t size_of(int fd) {
    struct stat about {};
    if (fstat(fd, &about) != 0 || about.st_size < 0) return 0;
    return static_cast<std::uint64_t>(about.st_size);
}

// One stage as the command line asks for it.
struct stage_asked {
    bool image = true;
    image_ask image_asked;
    texts_ask texts_asked;
    std::uint64_t memory = 0;
};

// The stages from `argv[first]` on, or nothing when the command line is not one this
// program takes.
std::vector<stage_asked> stages_of(int argc, char* argv[], int first) {
    std::vector<stage_asked> stages;
    for (int i = first; i < argc;) {
        stage_asked s;
        int pixels = 0;
        const std::string_view name = argv[i];
        if (name == "image" && i + 5 <= argc) {
            if (!number_of(argv[i + 1], s.image_asked.visible_width) ||
                !number_of(argv[i + 2], s.image_asked.visible_height) || !number_of(argv[i + 3], pixels) ||
                !number_of(argv[i + 4], s.memory))
                return {};
            i += 5;
        } else if (name == "texts" && i + 8 <= argc) {
            s.image = false;
            if (!number_of(argv[i + 1], s.texts_asked.window_width) ||
                !number_of(argv[i + 2], s.texts_asked.window_height) ||
                !number_of(argv[i + 3], s.texts_asked.points) || !number_of(argv[i + 4], pixels) ||
                !number_of(argv[i + 5], s.texts_asked.first) || !number_of(argv[i + 6], s.texts_asked.end) ||
                !number_of(argv[i + 7], s.memory))
                return {};
            i += 8;
        } else {
            return {};
        }
        s.image_asked.pixels = s.texts_asked.pixels = pixels != 0;
        stages.push_back(s);
        if (stages.size() > max_stages) return {};
    }
    return stages;
}

// A stage's child: its own input and hand-back on descriptors 3 and 4 and no other, the
// wall, then the stage's work. Never returns.
[[noreturn]] void run_stage(const stage_asked& s, int input_fd, int handback_fd, taken_stage taken) {
    if ((input_fd != stage_input_fd && dup2(input_fd, stage_input_fd) < 0) ||
        (handback_fd != stage_handback_fd && dup2(handback_fd, stage_handback_fd) < 0))
        _exit(exit_usage);
    (void)close_range(stage_handback_fd + 1, ~0U, 0);
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);

    // The hand-back, whole; the caller sized and sealed it.
    const std::uint64_t handback_size = size_of(stage_handback_fd);
    const std::uint64_t input_size = size_of(stage_input_fd);
    if (handback_size < handback_header_bytes) _exit(exit_usage);
    void* mapped = mmap(nullptr, handback_size, PROT_READ | PROT_WRITE, MAP_SHARED, stage_handback_fd, 0);
    if (mapped == MAP_FAILED) _exit(exit_usage);
    const std::span<std::uint8_t> handback(static_cast<std::uint8_t*>(mapped), handback_size);
    auto* report = reinterpret_cast<stage_report*>(handback.data());
    report->progress = progress_started;

    report_crashes(report);
    stage_limits limits;
    if (const std::string refused = confine_stage(stage_cpu_seconds, s.memory, stage_input_fd, limits);
        !refused.empty()) {
        std::strncpy(report->error, refused.c_str(), sizeof report->error - 1);
        _exit(exit_not_confined);
    }
    report->cpu_limit_seconds = limits.cpu_seconds;
    report->memory_inherited = limits.memory_inherited ? 1 : 0;
    report->progress = progress_confined;
    report->confined_ns = realtime_ns();

    // Only now is a byte of the input read.
    bytes_view input;
    if (input_size > 0) {
        void* in = mmap(nullptr, input_size, PROT_READ, MAP_PRIVATE, stage_input_fd, 0);
        if (in == MAP_FAILED) {
            const int error = errno;
            const std::string why = std::string("cannot map its input: ") + std::strerror(error);
            std::strncpy(report->error, why.c_str(), sizeof report->error - 1);
            _exit(error == ENOMEM ? exit_out_of_memory : exit_failed);
        }
        input = bytes_view(static_cast<const std::uint8_t*>(in), input_size);
    }
    int status = exit_failed;
    if (taken != nullptr) {
        status = taken(input, handback);
    } else {
        status = s.image ? run_image_stage(input, s.image_asked, handback)
                         : run_texts_stage(input, s.texts_asked, handback);
    }
    report->done_ns = realtime_ns();
    // Returned from, the stage's status ends the process with _exit's speed: nothing of
    // the process needs tearing down, and a sanitizer's leak check could not run here.
    _exit(status);
}

}  // namespace

void make_pages(std::span<std::uint8_t> pages) {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const std::uintptr_t before = reinterpret_cast<std::uintptr_t>(pages.data()) & (page - 1);
    if (!pages.empty()) (void)madvise(pages.data() - before, pages.size() + before, MADV_POPULATE_WRITE);
}

int run_composer(int argc, char* argv[], stage_taker taker) {
    const std::int64_t started_ns = realtime_ns();
    // Killed with the caller, whatever way it ends.
    pid_t caller = 0;
    if (argc < 2 || !number_of(argv[1], caller)) return exit_usage;
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != caller) return exit_orphaned;
    const std::vector<stage_asked> stages = stages_of(argc, argv, 2);
    if (stages.empty()) return exit_usage;
    const int status_fd = stage_input_fd + 2 * static_cast<int>(stages.size());
    if (size_of(status_fd) < sizeof(stage_status) * max_stages) return exit_usage;

    // Each library is set up once, before the first stage that uses it forks: the first
    // image stage does not wait for the font library.
    bool image_prepared = false;
    bool texts_prepared = false;
    std::vector<pid_t> children;
    for (std::size_t k = 0; k < stages.size(); ++k) {
        if (stages[k].image && !std::exchange(image_prepared, true)) prepare_image_stage();
        if (!stages[k].image && !std::exchange(texts_prepared, true)) prepare_texts_stage();
        const int input_fd = stage_input_fd + 2 * static_cast<int>(k);
        const int handback_fd = input_fd + 1;
        stage_report start{};
        if (pread(handback_fd, &start, sizeof start, 0) == static_cast<ssize_t>(sizeof start)) {
            start.started_ns = started_ns;
            (void)!pwrite(handback_fd, &start, sizeof start, 0);
        }
        const pid_t child = fork();
        if (child < 0) {
            // This stage and the ones after it are not started: the caller hears why, and
            // the ones started already are waited for as usual.
            const int error = errno;
            for (std::size_t n = k; n < stages.size(); ++n) {
                const stage_status said{status_not_started, 0, error, 0, 0};
                (void)!pwrite(status_fd, &said, sizeof said, static_cast<off_t>(n * sizeof said));
            }
            break;
        }
        if (child == 0) {
            // The stage's own descriptors go high first, so that placing them closes none
            // it needs; the status and the other stage's are not kept.
            const int in = fcntl(input_fd, F_DUPFD, 64);
            const int out = fcntl(handback_fd, F_DUPFD, 64);
            if (in < 0 || out < 0) _exit(exit_usage);
            (void)close_range(stage_input_fd, 63, 0);
            run_stage(stages[k], in, out,
                      taker != nullptr ? taker(stages[k].image ? "image" : "texts") : nullptr);
        }
        children.push_back(child);
    }
    // How each stage ended, for the caller, as each ends: one that takes its time holds
    // back no other's word.
    for (std::size_t left = children.size(); left > 0;) {
        int status = 0;
        rusage used{};
        const pid_t waited = wait4(-1, &status, 0, &used);
        if (waited < 0 && errno == EINTR) continue;
        if (waited < 0) return exit_failed;
        const auto k =
            static_cast<std::size_t>(std::find(children.begin(), children.end(), waited) - children.begin());
        if (k == children.size()) continue;
        // Its CPU time tells the CPU limit's SIGKILL from one another process sent.
        const auto ns = [](const timeval& t) {
            return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_usec * 1000;
        };
        const stage_status said{status_ended, status, 0, 0, ns(used.ru_utime) + ns(used.ru_stime)};
        if (pwrite(status_fd, &said, sizeof said, static_cast<off_t>(k * sizeof said)) !=
            static_cast<ssize_t>(sizeof said))
            return exit_failed;
        --left;
    }
    return exit_done;
}

}  // namespace zub
