#include "view/show.hpp"

#include <ostream>

#include "document/limits.hpp"
#include "view/compose.hpp"

namespace zub {

std::variant<SDL_Surface*, std::string> open_window(const document_sections& sections) {
    const document_header& h = sections.header;
    // A side of 65536 or more would wrap around in the window system's 16-bit sizes.
    if (h.width > max_window_side || h.height > max_window_side) {
        return "the window size " + std::to_string(h.width) + "x" + std::to_string(h.height) +
               " is too large (at most " + std::to_string(max_window_side) + " pixels a side)";
    }
    SDL_Surface* screen = SDL_SetVideoMode(h.width, h.height, h.bits_per_pixel, 0);
    if (screen == nullptr) {
        return "cannot open a " + std::to_string(h.width) + "x" + std::to_string(h.height) +
               " window at depth " + std::to_string(h.bits_per_pixel) + ": " + SDL_GetError();
    }
    const display_string title = to_display_string(sections.caption);
    SDL_WM_SetCaption(title.data(), nullptr);
    return screen;
}

void wait_until_closed() {
    SDL_Event event;
    bool done = false;
    while (!done) {
        if (SDL_WaitEvent(&event) == 0) return;  // the event system itself has failed
        done = event.type == SDL_QUIT;
        while (SDL_PollEvent(&event) != 0) {
            if (event.type == SDL_QUIT) done = true;
        }
    }
}

show_result show_document(bytes_view document, std::ostream& messages, std::string_view prefix) {
    const auto say = [&](std::string_view what) { messages << prefix << what << '\n'; };

    if (!has_document_magic(document)) return show_result::not_a_document;

    const auto read = read_document(document);
    if (const auto* problem = std::get_if<damage>(&read)) {
        say(problem->message);
        return show_result::failed;
    }
    const auto& sections = std::get<document_sections>(read);

    const auto window = open_window(sections);
    if (const auto* error = std::get_if<std::string>(&window)) {
        say(*error);
        return show_result::failed;
    }
    SDL_Surface* screen = std::get<SDL_Surface*>(window);

    for (const std::string& warning : compose_document(document, sections, screen)) say(warning);
    messages.flush();

    SDL_Flip(screen);
    wait_until_closed();
    return show_result::shown;
}

}  // namespace zub
