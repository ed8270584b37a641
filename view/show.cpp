#include "view/show.hpp"

#include <SDL_syswm.h>
#include <poll.h>

#include <ostream>

#include "document/limits.hpp"
#include "view/compose.hpp"

namespace zub {

std::optional<std::string> window_problem(const document_header& h) {
    // A side of 65536 or more would wrap around in the window system's 16-bit sizes.
    if (h.width > max_window_side || h.height > max_window_side) {
        return "the window size " + std::to_string(h.width) + "x" + std::to_string(h.height) +
               " is too large (at most " + std::to_string(max_window_side) + " pixels a side)";
    }
    return std::nullopt;
}

std::variant<SDL_Surface*, std::string> open_window(const document_sections& sections) {
    const document_header& h = sections.header;
    if (auto problem = window_problem(h)) return std::move(*problem);
    // The title goes first, so that the window is never mapped without it: SDL keeps it
    // for the window it is about to open.
    const display_string title = to_display_string(sections.caption);
    SDL_WM_SetCaption(title.data(), nullptr);
    SDL_Surface* screen = SDL_SetVideoMode(h.width, h.height, h.bits_per_pixel, 0);
    if (screen == nullptr) {
        return "cannot open a " + std::to_string(h.width) + "x" + std::to_string(h.height) +
               " window at depth " + std::to_string(h.bits_per_pixel) + ": " + SDL_GetError();
    }
    // A new screen is black on every runtime, before anything is painted on it.
    SDL_FillRect(screen, nullptr, SDL_MapRGB(screen->format, 0, 0, 0));
    return screen;
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

bool show_document(bytes_view document, const document_sections& sections, decoder_job& decoding,
                   std::ostream& messages, std::string_view prefix) {
    const auto say = [&](std::string_view what) { messages << prefix << what << '\n'; };
    const auto window = open_window(sections);
    if (const auto* error = std::get_if<std::string>(&window)) {
        say(*error);
        return false;
    }
    SDL_Surface* screen = std::get<SDL_Surface*>(window);

    for (const std::string& warning : compose_document(document, sections, screen, decoding)) say(warning);
    messages.flush();

    SDL_Flip(screen);
    wait_until_closed();
    return true;
}

}  // namespace zub
