#include "view/window.hpp"

#include <SDL_syswm.h>

#include <poll.h>
#include <algorithm>

#include "document/strings.hpp"
#include "view/compose.hpp"
#include "view/quit_signals.hpp"
#include "view/sdl_start.hpp"
#include "view/title.hpp"

namespace zub {

window_request request_for(const document& doc) {
    return window_request{doc.header.width, doc.header.height, doc.header.bits_per_pixel,
                          title_text(doc.caption)};
}

result<SDL_Surface*> open_window(const window_request& request) {
    if (const auto problem = window_size_problem(request.width, request.height, request.depth)) {
        return failure{describe(*problem)};
    }
    // The title goes first, so that the window is never mapped without it: SDL keeps it
    // for the window it is about to open.
    SDL_WM_SetCaption(request.title.c_str(), nullptr);
    SDL_Surface* screen = SDL_SetVideoMode(request.width, request.height, request.depth, 0);
    if (screen == nullptr) {
        return failure{"cannot open a " + std::to_string(request.width) + "x" +
                       std::to_string(request.height) + " window at depth " + std::to_string(request.depth) +
                       ": " + SDL_GetError()};
    }
    // SDL's own title on X11 is only what the locale's encoding could hold.
    set_x11_title(request.title);
    // A new screen is black on every runtime, before anything is painted on it.
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    return screen;
}

result<std::vector<problem>> show_document(const document& doc, composition& composing) {
    const result<SDL_Surface*> screen = open_window(request_for(doc));
    if (!screen) return failure{screen.why()};
    // A window with a side of 0 has the desktop's size only now: its composition starts
    // for the window as it opened.
    if (takes_desktop_side(doc.header))
        composing = start_composition(doc, composing_ask_for_window((*screen)->w, (*screen)->h));
    std::vector<problem> warnings = compose_document(doc, *screen, composing);
    SDL_Flip(*screen);
    return warnings;
}

namespace {

// What the events read so far ask of the program.
struct events_seen {
    bool quit = false;     // the window system asks it to quit
    bool exposed = false;  // the window was covered and is shown again
};

void note(const SDL_Event& event, events_seen& seen) {
    if (event.type == SDL_QUIT) seen.quit = true;
    if (event.type == SDL_VIDEOEXPOSE) seen.exposed = true;
}

// Drains SDL's queue; true when a quit request was among the events. A window that was
// covered and shown again gets its picture back: the classic library puts it back by
// itself, SDL 1.2 over SDL2 only says that it is needed.
bool drain_events(events_seen seen = {}) {
    SDL_Event event;
    while (SDL_PollEvent(&event) != 0) note(event, seen);
    if (seen.exposed && !seen.quit) {
        if (SDL_Surface* screen = SDL_GetVideoSurface()) SDL_Flip(screen);
    }
    return seen.quit;
}

// SDL2's SDL_WaitEventTimeout where SDL 1.2 runs over SDL2 on Wayland; null elsewhere.
using sdl2_wait_function = int (*)(void* event, int timeout_ms);

sdl2_wait_function sdl2_wait() {
    // SDL2 sleeps in its own wait only where its video driver can wait on the display's
    // connection; elsewhere it would look every few milliseconds.
    if (!on_sdl2_driver("wayland")) return nullptr;
    return reinterpret_cast<sdl2_wait_function>(sdl2_function("SDL_WaitEventTimeout"));
}

// Sleeps in ppoll() on the X11 connection until the X server sends something, once SDL
// has read and queued everything and Xlib holds nothing more. The quit signals, held
// everywhere else, are let in only while it sleeps: one that came since the last look at
// the events is taken at once, and SDL's handler has run when ppoll() returns.
void wait_on_x11(const SDL_SysWMinfo& info, const sigset_t& asleep) {
    Display* display = info.info.x11.display;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    while (!drain_events()) {
        info.info.x11.lock_func();
        const int pending = XPending(display);
        info.info.x11.unlock_func();
        // The classic library's unlock waits for the server (XSync), and reads whatever
        // events came meanwhile into Xlib's queue, where poll() cannot see them.
        if (pending > 0 || XQLength(display) > 0) continue;
        connection.revents = 0;
        (void)ppoll(&connection, 1, nullptr, &asleep);  // a signal just goes round again
    }
}

// SDL 1.2's own wait, which looks every 10 ms.
void wait_polling() {
    SDL_Event event;
    bool done = false;
    while (!done) {
        if (SDL_WaitEvent(&event) == 0) return;  // the event system itself has failed
        events_seen seen;
        note(event, seen);
        done = drain_events(seen);
    }
}

}  // namespace

void wait_until_closed() {
    const quit_signals signals;
    // SDL_WaitEvent would wake every 10 ms to look; where the display's connection can be
    // waited on, the program sleeps until the window system has something to say.
    SDL_SysWMinfo info{};
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) == 1 && info.subsystem == SDL_SYSWM_X11) {
        wait_on_x11(info, signals.asleep);
        return;
    }
    // The other waits are SDL's own, and a thread of the program's takes the signals.
    const quit_signal_watch watch(signals.taken);
    // SDL 1.2's window information knows no other window system. On Wayland, over SDL2,
    // SDL2's own wait blocks on the compositor's connection: every event it reads passes
    // through SDL 1.2's queue as well, and it returns once one is queued.
    const sdl2_wait_function wait = sdl2_wait();
    if (wait == nullptr) {
        wait_polling();
        return;
    }
    while (!drain_events()) {
        if (wait(nullptr, -1) == 0) {  // SDL2 cannot wait: look as SDL 1.2 does
            wait_polling();
            return;
        }
    }
}

}  // namespace zub
