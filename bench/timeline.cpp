// zub_timeline: the viewer's very steps up to its one flip on the real display, the stages
// behind the wall, with how long each took: one "phase ms" line each, in order, then the
// stages' own phases from their reports ("| image stage: ...").
//
//   zub_timeline EXEC_NS FILE
//
// EXEC_NS is CLOCK_REALTIME in nanoseconds just before the program was executed, so that
// the first phase is the dynamic linking and start of the process. It links what the
// viewer links, and no more, and loads the window's steps as the viewer loads its window:
// a module (zub_timeline_steps.so, bench/timeline_steps.cpp) linked as the viewer's is.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/load_file.hpp"
#include "bench/timeline_steps.hpp"
#include "wall/composition.hpp"
#include "wall/job.hpp"

namespace {

// Marks the end of each phase.
class timeline {
public:
    explicit timeline(long long exec_ns) : exec_ns_(exec_ns) {
        const long long now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        phases_.emplace_back("exec to main", static_cast<double>(now_ns - exec_ns) / 1e6);
        last_ = std::chrono::steady_clock::now();
    }
    void mark(const char* phase) {
        const auto now = std::chrono::steady_clock::now();
        phases_.emplace_back(phase, std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }
    // The stage's own phases from its report, beside the viewer's: "| " marks them, as
    // they run at the same time as the viewer's and are not part of its sum.
    void stage(const char* name, std::int64_t spawned_ns, const void* handback) {
        if (handback == nullptr) return;
        zub::stage_report report{};
        std::memcpy(&report, handback, sizeof report);
        const auto ms = [](std::int64_t from, std::int64_t to) {
            return static_cast<double>(to - from) / 1e6;
        };
        const std::string stage = std::string("| ") + name + " stage: ";
        stages_.emplace_back(stage + "spawn to main", ms(spawned_ns, report.started_ns));
        stages_.emplace_back(stage + "load and confine", ms(report.started_ns, report.confined_ns));
        stages_.emplace_back(stage + "its work", ms(report.confined_ns, report.done_ns));
        stages_.emplace_back(stage + "done, since the exec", ms(exec_ns_, report.done_ns));
    }
    void print() const {
        for (const auto& [phase, ms] : phases_) std::printf("%s %.2f\n", phase.c_str(), ms);
        for (const auto& [phase, ms] : stages_) std::printf("%s %.2f\n", phase.c_str(), ms);
    }

private:
    long long exec_ns_ = 0;
    std::vector<std::pair<std::string, double>> phases_;
    std::vector<std::pair<std::string, double>> stages_;
    std::chrono::steady_clock::time_point last_;
};

int fail(const std::string& why) {
    std::cerr << why << '\n';
    return 1;
}

// The one timeline, reached from the steps' module through plain functions.
std::optional<timeline> marks;
std::int64_t spawned_ns = 0;

// The viewer's start, as its main takes it, with a mark after each step.
int show_with_timeline(long long exec_ns, const char* path) {
    timeline& t = marks.emplace(exec_ns);
    const auto loaded = zub::load_file(path);
    if (!loaded) return fail(loaded.why());
    const zub::document doc = zub::parse_document(loaded->view());
    if (!doc.is_document || doc.error() != nullptr) return fail("not a document that shows");
    t.mark("read and parse");
    spawned_ns = zub::realtime_ns();
    zub::composition composing =
        zub::start_composition(doc, zub::composing_ask_for_window(doc.header.width, doc.header.height));
    t.mark("start the stages");
    const zub::result<void*> entry =
        zub::load_module("zub_timeline_steps.so", "zub_timeline_steps", "the window's module");
    if (!entry) return fail(entry.why());
    t.mark("load the window (SDL's libraries)");
    const timeline_marks on{
        [](const char* phase) { marks->mark(phase); },
        [](const char* name, const void* handback) { marks->stage(name, spawned_ns, handback); }};
    const auto steps = reinterpret_cast<timeline_steps_entry>(*entry);
    const int status = steps(zub::window_call{path, &doc, &composing, nullptr}, on);
    if (status == 0) t.print();
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) return 255;
    try {
        return show_with_timeline(std::strtoll(argv[1], nullptr, 10), argv[2]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
