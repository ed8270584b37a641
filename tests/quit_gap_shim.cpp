// Preloaded into the viewer by the end-to-end tests: once the file ZUB_TEST_QUIT_TRIGGER
// names exists, the first poll() or ppoll() that would sleep without a deadline is
// preceded by a SIGTERM to the process. The quit request then lands in the moment
// between the viewer's last look at its events and its sleep.
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdlib>

namespace {

std::atomic<bool> sent{false};

void quit_if_triggered() {
    const char* trigger = std::getenv("ZUB_TEST_QUIT_TRIGGER");
    if (trigger == nullptr || access(trigger, F_OK) != 0 || sent.exchange(true)) return;
    kill(getpid(), SIGTERM);  // to the process, as a user's kill would: any thread may take it
}

template <class Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// The C library's own parameter names are reserved ones.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int poll(pollfd* fds, nfds_t count, int timeout_ms) {
    static const auto real = next<int (*)(pollfd*, nfds_t, int)>("poll");
    if (timeout_ms < 0) quit_if_triggered();
    return real(fds, count, timeout_ms);
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    static const auto real = next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
    if (timeout == nullptr) quit_if_triggered();
    return real(fds, count, timeout, mask);
}
