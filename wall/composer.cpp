#include "wall/composer.hpp"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstring>
#include <string_view>

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

}  // namespace

int run_composer(int argc, char* argv[], taken_stage taken) {
    const std::int64_t started_ns = realtime_ns();
    const std::string_view stage = argc > 1 ? argv[1] : "";
    const bool image = stage == "image";
    if (!(image && argc == 7) && !(stage == "texts" && argc == 8)) return exit_usage;
    // Killed with the caller, whatever way it ends.
    pid_t parent = 0;
    if (!number_of(argv[2], parent)) return exit_usage;
    (void)prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) return exit_orphaned;

    image_ask image_asked;
    texts_ask texts_asked;
    int pixels = 0;
    std::uint64_t memory = 0;
    const bool read = image ? number_of(argv[3], image_asked.visible_width) &&
                                  number_of(argv[4], image_asked.visible_height) &&
                                  number_of(argv[5], pixels) && number_of(argv[6], memory)
                            : number_of(argv[3], texts_asked.window_width) &&
                                  number_of(argv[4], texts_asked.window_height) &&
                                  number_of(argv[5], texts_asked.points) && number_of(argv[6], pixels) &&
                                  number_of(argv[7], memory);
    if (!read) return exit_usage;
    image_asked.pixels = texts_asked.pixels = pixels != 0;

    // The hand-back, whole; the caller sized and sealed it.
    const std::uint64_t handback_size = size_of(stage_handback_fd);
    const std::uint64_t input_size = size_of(stage_input_fd);
    if (handback_size < handback_header_bytes) return exit_usage;
    void* mapped = mmap(nullptr, handback_size, PROT_READ | PROT_WRITE, MAP_SHARED, stage_handback_fd, 0);
    if (mapped == MAP_FAILED) return exit_usage;
    const std::span<std::uint8_t> handback(static_cast<std::uint8_t*>(mapped), handback_size);
    auto* report = reinterpret_cast<stage_report*>(handback.data());
    report->progress = progress_started;
    report->started_ns = started_ns;

    // Everything the stage needs is loaded and set up before the wall goes up.
    if (image) {
        prepare_image_stage();
    } else {
        prepare_texts_stage();
    }
    report_crashes(report);
    if (const std::string refused = confine_stage(stage_cpu_seconds, memory, stage_input_fd);
        !refused.empty()) {
        std::strncpy(report->error, refused.c_str(), sizeof report->error - 1);
        return exit_not_confined;
    }
    report->progress = progress_confined;
    report->confined_ns = realtime_ns();

    // Only now is a byte of the input read.
    bytes_view input;
    if (input_size > 0) {
        void* in = mmap(nullptr, input_size, PROT_READ, MAP_PRIVATE, stage_input_fd, 0);
        if (in == MAP_FAILED) return exit_failed;
        input = bytes_view(static_cast<const std::uint8_t*>(in), input_size);
    }
    if (taken != nullptr) return taken(input, handback);
    const int status =
        image ? run_image_stage(input, image_asked, handback) : run_texts_stage(input, texts_asked, handback);
    report->done_ns = realtime_ns();
    return status;
}

}  // namespace zub
