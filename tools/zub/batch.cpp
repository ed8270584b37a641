#include "tools/zub/batch.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <thread>

#include "tools/stop_signals.hpp"

namespace zub {

namespace {

void write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(STDERR_FILENO, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nothing else can be said about stderr
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

// The progress bar's line on stderr, and what is written above it.
struct progress_line {
    std::mutex lock;
    bool shown = false;
    std::string text;
};
progress_line& progress() {
    static progress_line line;
    return line;
}

constexpr std::string_view clear_line = "\r\033[K";

int terminal_width() {
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 40) return size.ws_col;
    return 80;
}

std::string minutes_and_seconds(double seconds) {
    const long whole = std::lround(std::max(0.0, seconds));
    char text[32];
    (void)std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// "[#####-----]  120/1000  34.2/s  0:25 left", as wide as the terminal.
std::string bar_text(std::size_t done, std::size_t count, double seconds) {
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    char figures[96];
    (void)std::snprintf(
        figures, sizeof figures, "  %zu/%zu  %.1f/s  %s", done, count, rate,
        done == 0 ? "-:-- left"
                  : (minutes_and_seconds(static_cast<double>(count - done) / rate) + " left").c_str());
    const int room = std::max(10, terminal_width() - 1 - static_cast<int>(std::strlen(figures)) - 2);
    const auto filled = static_cast<int>(static_cast<double>(room) * static_cast<double>(done) /
                                         static_cast<double>(std::max<std::size_t>(count, 1)));
    std::string bar(1, '[');
    bar.append(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(room - filled), '-');
    bar += ']';
    return bar + figures;
}

void draw_bar(const std::string& text) {
    progress_line& p = progress();
    const std::lock_guard<std::mutex> held(p.lock);
    p.shown = true;
    p.text = text;
    write_all(std::string(clear_line) + text);
}

void end_bar() {
    progress_line& p = progress();
    const std::lock_guard<std::mutex> held(p.lock);
    if (p.shown) write_all(clear_line);
    p.shown = false;
}

bool is_document_name(const std::filesystem::path& path) {
    std::string extension = path.extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".zub";
}

// The reports on standard output, which may be the terminal the bar is on: the bar is
// taken off first and drawn again after.
void write_standard_output(const std::string& out) {
    progress_line& p = progress();
    const std::lock_guard<std::mutex> held(p.lock);
    if (p.shown) write_all(clear_line);
    std::cout << out;
    if (p.shown) {
        std::cout.flush();
        write_all(p.text);
    }
}

}  // namespace

void write_report_line(const std::string& line) {
    progress_line& p = progress();
    const std::lock_guard<std::mutex> held(p.lock);
    if (!p.shown) {
        write_all(line);
        return;
    }
    write_all(std::string(clear_line) + line + p.text);
}

batch_counts run_batch(std::size_t count, std::size_t group, const batch_work& work,
                       std::string_view separator) {
    std::vector<std::optional<batch_outcome>> results(count);
    std::mutex lock;
    std::condition_variable finished;
    std::atomic<std::size_t> next{0};
    const auto take = [&] {
        for (std::size_t first = next.fetch_add(group); first < count; first = next.fetch_add(group)) {
            const std::size_t taken = std::min(group, count - first);
            std::vector<batch_outcome> outcomes;
            try {
                outcomes = work(first, taken);
            } catch (const std::exception& e) {  // out of memory, in all likelihood
                write_report_line("zub: " + std::string(e.what()) + "\n");
            }
            outcomes.resize(taken, batch_outcome{1, {}, false});
            const std::lock_guard<std::mutex> held(lock);
            for (std::size_t k = 0; k < taken; ++k) results[first + k] = std::move(outcomes[k]);
            finished.notify_one();
        }
    };
    const std::size_t workers =
        std::min<std::size_t>(std::max(1U, std::thread::hardware_concurrency()), count);
    std::vector<std::thread> threads;
    // With one core, or one group, it is done here and now; else a worker a core, while
    // this thread prints.
    if (workers > 1) {
        // The workers leave a stop signal to this thread, which writes nothing itself:
        // its handler then waits for their writes to undo themselves.
        const stop_signals_held held;
        for (std::size_t t = 0; t < workers; ++t) threads.emplace_back(take);
    } else {
        take();
    }

    const bool bar = count > 1 && isatty(STDERR_FILENO) == 1;
    const auto started = std::chrono::steady_clock::now();
    batch_counts counts;
    std::size_t printed = 0;
    bool printed_any = false;
    while (printed < count) {
        std::unique_lock<std::mutex> held(lock);
        (void)finished.wait_for(held, std::chrono::milliseconds(100),
                                [&] { return results[printed].has_value(); });
        std::vector<batch_outcome> ready;
        while (printed < count && results[printed]) {
            ready.push_back(std::move(*results[printed]));
            results[printed++].reset();
        }
        const std::size_t done = static_cast<std::size_t>(
            std::count_if(results.begin(), results.end(), [](const auto& r) { return r.has_value(); }));
        held.unlock();
        std::string out;
        for (const batch_outcome& outcome : ready) {
            if (!outcome.out.empty()) {
                if (printed_any) out += separator;
                out += outcome.out;
                printed_any = true;
            }
            ++(outcome.status == 0 ? counts.succeeded : counts.failed);
            if (outcome.status == 0 && outcome.incomplete) ++counts.incomplete;
        }
        if (!out.empty()) write_standard_output(out);
        if (bar) {
            const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - started;
            draw_bar(bar_text(printed + done, count, seconds.count()));
        }
    }
    for (std::thread& t : threads) t.join();
    if (bar) end_bar();
    return counts;
}

document_list collect_documents(const std::vector<std::string>& arguments, bool recursive) {
    namespace fs = std::filesystem;
    document_list list;
    for (const std::string& argument : arguments) {
        std::error_code failed;
        if (argument == "-" && std::any_of(list.documents.begin(), list.documents.end(),
                                           [](const named_document& d) { return d.path == "-"; })) {
            list.refusal = "- stands for standard input, which is read once";
            return list;
        }
        if (argument == "-" || !fs::is_directory(argument, failed)) {
            list.documents.push_back(
                {argument, argument == "-" ? argument : fs::path(argument).filename().string()});
            continue;
        }
        if (!recursive) {
            list.refusal = argument + " is a folder: -r renders or inspects the documents in it";
            return list;
        }
        std::vector<named_document> found;
        for (fs::recursive_directory_iterator walk(argument, failed), end; !failed && walk != end;
             walk.increment(failed)) {
            if (walk->is_regular_file(failed) && is_document_name(walk->path())) {
                found.push_back({walk->path().string(), walk->path().lexically_relative(argument).string()});
            }
        }
        if (failed) {
            list.refusal = argument + ": cannot walk the folder: " + failed.message();
            return list;
        }
        std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
        list.documents.insert(list.documents.end(), found.begin(), found.end());
    }
    return list;
}

}  // namespace zub
