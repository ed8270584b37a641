#include "view/window.hpp"

#include <SDL_syswm.h>
#include <poll.h>

#include "view/compose.hpp"

namespace zub {

window_request request_for(const document& doc) {
    return window_request{doc.header.width, doc.header.height, doc.header.bits_per_pixel,
                          to_display_string(doc.caption)};
}

result<SDL_Surface*> open_window(const window_request& request) {
    if (const auto problem = window_size_problem(request.width, request.height, request.depth)) {
        return failure{describe(*problem)};
    }
    // The title goes first, so that the window is never mapped without it: SDL keeps it
    // for the window it is about to open.
    SDL_WM_SetCaption(request.title.data(), nullptr);
    SDL_Surface* screen = SDL_SetVideoMode(request.width, request.height, request.depth, 0);
    if (screen == nullptr) {
        return failure{"cannot open a " + std::to_string(request.width) + "x" +
                       std::to_string(request.height) + " window at depth " + std::to_string(request.depth) +
                       ": " + SDL_GetError()};
    }
    // A new screen is black on every runtime, before anything is painted on it.
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    return screen;
}

decoder_job start_decoding_for(const document& doc, const window_request& request) {
    // A side of 0 asks for the desktop's: how much of the image shows is not known yet.
    return start_decoding(doc.image, request.width > 0 ? request.width : whole_picture,
                          request.height > 0 ? request.height : whole_picture);
}

result<std::vector<problem>> show_document(const document& doc, decoder_job& decoding) {
    const result<SDL_Surface*> screen = open_window(request_for(doc));
    if (!screen) return failure{screen.why()};
    std::vector<problem> warnings = compose_document(doc, *screen, decoding);
    SDL_Flip(*screen);
    return warnings;
}

namespace {

// Drains SDL's queue; true when a quit request was among the events.
bool drain_events() {
    SDL_Event event;
    bool quit = false;
    while (SDL_PollEvent(&event) != 0) {
        if (event.type == SDL_QUIT) quit = true;
    }
    return quit;
}

}  // namespace

void wait_until_closed() {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11) {
        // No X11 connection to wait on: SDL's own wait.
        SDL_Event event;
        bool done = false;
        while (!done) {
            if (SDL_WaitEvent(&event) == 0) return;  // the event system itself has failed
            done = event.type == SDL_QUIT;
            if (drain_events()) done = true;
        }
        return;
    }
    // Sleep in poll() on the display connection until the X server sends something,
    // once SDL has read and queued everything and Xlib holds nothing more. SDL_WaitEvent
    // would instead wake every 10 ms to look.
    Display* display = info.info.x11.display;
    pollfd connection{ConnectionNumber(display), POLLIN, 0};
    while (!drain_events()) {
        info.info.x11.lock_func();
        const int pending = XPending(display);
        info.info.x11.unlock_func();
        if (pending > 0) continue;
        connection.revents = 0;
        (void)poll(&connection, 1, -1);  // an interruption just goes round again
    }
}

}  // namespace zub
