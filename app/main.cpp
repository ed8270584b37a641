// zub_reader: shows one ZUB document in a window until the window is closed.
//
// Exit status: 255 (-1) for a wrong command line, 0 when the document was shown and
// closed or the file is not a document, 1 when a document could not be shown.

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <variant>

#include "app/load_file.hpp"
#include "document/document.hpp"
#include "view/show.hpp"

namespace {

constexpr int status_shown = 0;
constexpr int status_failed = 1;

// Shuts the libraries down on every path once SDL has been started.
struct sdl_session {
    sdl_session() {
        video_up = SDL_Init(SDL_INIT_EVERYTHING) == 0 || SDL_WasInit(SDL_INIT_VIDEO) != 0;
        if (!video_up) {
            // SDL 1.2 over SDL2 undoes the whole start when one subsystem fails (no sound,
            // say): video gets a start of its own. Why the first start failed is kept,
            // since that runtime clears it.
            video_error = SDL_GetError();
            SDL_Quit();
            video_up = SDL_Init(SDL_INIT_VIDEO) == 0;
            const std::string again = SDL_GetError();
            if (!video_up && !again.empty()) video_error = again;
        }
        // Of all that starts, only video is used; the timer's thread alone would wake
        // a thousand times a second while the picture is shown.
        SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_JOYSTICK | SDL_INIT_CDROM);
    }
    ~sdl_session() {
        if (TTF_WasInit() != 0) TTF_Quit();
        SDL_Quit();
    }
    bool video_up = false;
    std::string video_error;  // why video did not start

    sdl_session(const sdl_session&) = delete;
    sdl_session& operator=(const sdl_session&) = delete;
};

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        (void)std::fputs("usage: zub_reader filename\n", stdout);
        return -1;
    }
    const char* path = argv[1];
    const std::string prefix = std::string("zub_reader: ") + path + ": ";

    // Any subsystem may fail to start (a machine without sound, say); only video matters.
    const sdl_session sdl;
    if (!sdl.video_up) {
        std::cerr << prefix << "cannot start the video: " << sdl.video_error << '\n';
        return status_failed;
    }
    // When the font library does not start, the texts are left out with a warning.
    TTF_Init();

    const auto loaded = zub::load_file(path);
    if (const auto* error = std::get_if<std::string>(&loaded)) {
        std::cerr << prefix << *error << '\n';
        return status_failed;
    }
    const auto document = std::get<zub::document_buffer>(loaded).view();

    if (!zub::starts_like_document(document)) return status_shown;
    const zub::show_result shown = zub::show_document(document, std::cerr, prefix);
    return shown == zub::show_result::failed ? status_failed : status_shown;
}
