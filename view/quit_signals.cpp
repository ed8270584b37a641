#include "view/quit_signals.hpp"

#include <SDL.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <system_error>

#include "view/sdl_start.hpp"

namespace zub {

namespace {

constexpr std::array<int, 2> signals_sdl_turns_into_quit{SIGINT, SIGTERM};

bool has_handler(int signal) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) != 0) return false;
    if ((static_cast<unsigned>(action.sa_flags) & SA_SIGINFO) != 0) return true;
    return action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
}

// SDL2's event, as far as a quit request goes: its type first, in 56 bytes.
struct sdl2_event {
    std::uint32_t type = 0;
    std::uint8_t rest[52] = {};
};
constexpr std::uint32_t sdl2_quit = 0x100;
using sdl2_push_function = int (*)(sdl2_event* event);

void watch(sigset_t taken, sdl2_push_function sdl2_push, const std::atomic<bool>* over) {
    for (;;) {
        int signal = 0;
        if (sigwait(&taken, &signal) != 0 || over->load()) return;
        if (sdl2_push != nullptr) {
            sdl2_event quit;
            quit.type = sdl2_quit;
            (void)sdl2_push(&quit);
        } else {
            SDL_Event quit{};
            quit.type = SDL_QUIT;
            (void)SDL_PushEvent(&quit);
        }
    }
}

}  // namespace

quit_signals::quit_signals() {
    sigemptyset(&taken);
    sigset_t passed;
    sigemptyset(&passed);
    for (const int signal : signals_sdl_turns_into_quit)
        sigaddset(has_handler(signal) ? &taken : &passed, signal);
    (void)pthread_sigmask(SIG_BLOCK, &taken, &before);
    (void)pthread_sigmask(SIG_UNBLOCK, &passed, nullptr);
    (void)pthread_sigmask(SIG_SETMASK, nullptr, &asleep);
    for (const int signal : signals_sdl_turns_into_quit) sigdelset(&asleep, signal);
}

quit_signals::~quit_signals() { (void)pthread_sigmask(SIG_SETMASK, &before, nullptr); }

quit_signal_watch::quit_signal_watch(const sigset_t& taken) {
    for (const int signal : signals_sdl_turns_into_quit) {
        if (sigismember(&taken, signal) == 1) stop_signal = signal;
    }
    if (stop_signal == 0) return;
    const auto sdl2_push = reinterpret_cast<sdl2_push_function>(sdl2_function("SDL_PushEvent"));
    try {
        // The watcher starts with the signals held, as this thread holds them.
        watcher = std::thread(watch, taken, sdl2_push, &over);
    } catch (const std::system_error&) {
        // Without it, SDL's handler takes them here, as it would without the program.
        (void)pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
    }
}

quit_signal_watch::~quit_signal_watch() {
    if (!watcher.joinable()) return;
    over = true;
    (void)pthread_kill(watcher.native_handle(), stop_signal);
    watcher.join();
}

}  // namespace zub
