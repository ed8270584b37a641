// Quit requests by signal: SIGINT and SIGTERM, which SDL turns into a request to quit.
//
// SDL's handler only queues the request (SDL 1.2) or marks it for the next look at the
// events (SDL2): a wait that is already asleep, or about to sleep, is not woken by it. So
// while the program waits for its window to close it holds the two signals, and lets them
// in only where the wait sees them: in the X11 wait, while it sleeps in ppoll(), which
// returns once SDL's handler has run; around a wait that is SDL's own, in a thread that
// takes them and queues the quit event where that wait reads it, which wakes it. SDL's
// own threads hold them already. Until the wait, they act as they always have: before
// SDL starts they end the program, after it SDL queues the request, which the wait's
// first look at the events finds.
#pragma once

#include <atomic>
#include <csignal>
#include <thread>

namespace zub {

// For as long as it lives, in the thread that waits: the quit signals SDL turns into a
// request are held; one SDL has no handler for acts as it would without the program.
struct quit_signals {
    quit_signals();
    ~quit_signals();
    quit_signals(const quit_signals&) = delete;
    quit_signals& operator=(const quit_signals&) = delete;

    sigset_t taken{};   // the signals SDL has a handler for
    sigset_t asleep{};  // the thread's signal mask with `taken` let in, for ppoll()
    sigset_t before{};  // the mask it had, put back at the end
};

// For as long as it lives: a thread that takes the signals in `taken` (held in every
// thread) and queues a quit event for each, into SDL2's queue where SDL2 runs under SDL
// 1.2 (so that SDL2's wait wakes), else into SDL 1.2's. It is stopped, and joined, before
// the wait returns: it never queues anything while SDL shuts down.
struct quit_signal_watch {
    explicit quit_signal_watch(const sigset_t& taken);
    ~quit_signal_watch();
    quit_signal_watch(const quit_signal_watch&) = delete;
    quit_signal_watch& operator=(const quit_signal_watch&) = delete;

    std::atomic<bool> over{false};  // set before the watcher is sent `stop_signal`
    int stop_signal = 0;            // a signal of `taken`
    std::thread watcher;
};

}  // namespace zub
