#include "tools/stop_signals.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <csignal>
#include <cstring>

#include "document/strings.hpp"
#include "tools/output_file.hpp"
#include "wall/job.hpp"

namespace zub {

namespace {

constexpr std::array<int, 12> stop_signals{SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM,
                                           SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

// What the handler says of a batch, made before it begins: the handler only copies it.
std::atomic<std::size_t> batch_count{0};
std::atomic<std::size_t> batch_written{0};
std::atomic<bool> bar_shown{false};
std::array<char, PATH_MAX + 64> batch_folder{};

struct line_buffer {
    std::array<char, PATH_MAX + 256> text{};
    std::size_t length = 0;

    void put(const char* words) {
        while (*words != '\0' && length < text.size()) text[length++] = *words++;
    }
    void put(std::size_t number) {
        std::array<char, 24> digits{};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number > 0);
        while (count > 0 && length < text.size()) text[length++] = digits[--count];
    }
};

// Only what a signal handler may do: atomics, copies and system calls.
void stop_now(int signal) {
    kill_composers_now();
    undo_unfinished_outputs();
    if (const std::size_t count = batch_count.load(); count > 0) {
        line_buffer line;
        if (bar_shown.load()) line.put("\r\033[K");
        line.put("zub: stopped by signal ");
        line.put(static_cast<std::size_t>(signal));
        line.put(": ");
        line.put(batch_written.load());
        line.put(" of ");
        line.put(count);
        line.put(count == 1 ? " document rendered into " : " documents rendered into ");
        line.put(batch_folder.data());
        line.put("\n");
        (void)!write(STDERR_FILENO, line.text.data(), line.length);
    }
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    (void)sigaction(signal, &plain, nullptr);
    sigset_t own;
    sigemptyset(&own);
    sigaddset(&own, signal);
    (void)pthread_sigmask(SIG_UNBLOCK, &own, nullptr);
    (void)raise(signal);
    _exit(128 + signal);
}

}  // namespace

void end_on_stop_signals() {
    start_composers_in_groups_of_their_own();
    struct sigaction taken {};
    taken.sa_handler = stop_now;
    sigemptyset(&taken.sa_mask);
    // One stop at a time: a second signal waits for the first one's end, which is the
    // process's.
    for (const int signal : stop_signals) sigaddset(&taken.sa_mask, signal);
    for (const int signal : stop_signals) {
        struct sigaction before {};
        // A signal the caller ignores (nohup's SIGHUP, a background job's SIGINT) stays ignored.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        (void)sigaction(signal, &taken, nullptr);
    }
}

stop_signals_held::stop_signals_held() : before() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : stop_signals) sigaddset(&held, signal);
    (void)pthread_sigmask(SIG_BLOCK, &held, &before);
}

stop_signals_held::~stop_signals_held() { (void)pthread_sigmask(SIG_SETMASK, &before, nullptr); }

void batch_begun(std::size_t count, const std::string& folder) {
    const std::string shown = terminal_safe(folder);
    const std::size_t length = std::min(shown.size(), batch_folder.size() - 1);
    std::memcpy(batch_folder.data(), shown.data(), length);
    batch_folder[length] = '\0';
    bar_shown.store(count > 1 && isatty(STDERR_FILENO) == 1);
    batch_written.store(0);
    batch_count.store(count);
}

void batch_picture_written() { batch_written.fetch_add(1); }

}  // namespace zub
