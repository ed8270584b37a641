// How zub ends on a signal that asks it to stop: SIGINT (Ctrl-C), SIGTERM, SIGHUP and
// every other catchable signal whose default is to end the process. At once, however
// long its composer would still run: the composer's runs are killed and reaped, what the
// outputs being written have done is undone (a picture is not created or replaced, an
// existing file keeps its bytes, nothing temporary is left), the pictures a batch has
// finished stay, a batch says how far it came, and the process ends by the same signal,
// so that a shell sees 128 plus its number and a loop around it stops.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>

namespace zub {

// Takes every such signal the process does not ignore. Called before SDL starts, which
// then leaves these signals alone.
void end_on_stop_signals();

// Holds the stop signals in this thread while it lives, so that the threads made meanwhile,
// which inherit the mask, leave them to the others.
struct stop_signals_held {
    stop_signals_held();
    ~stop_signals_held();
    stop_signals_held(const stop_signals_held&) = delete;
    stop_signals_held& operator=(const stop_signals_held&) = delete;
    sigset_t before;
};

// A batch of `count` documents rendered into `folder` has begun, and one more of its
// pictures is written: what a signal says of how far it came.
void batch_begun(std::size_t count, const std::string& folder);
void batch_picture_written();

}  // namespace zub
