// zub_reader: shows one ZUB document in a window until the window is closed.
//
// Exit status: 255 (-1) for a wrong command line, 0 when the document was shown and
// closed or the file is not a document, 1 when a document could not be shown.

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <variant>

#include "app/load_file.hpp"
#include "document/document.hpp"
#include "view/show.hpp"
#include "view/video_start.hpp"

namespace {

constexpr int status_shown = 0;
constexpr int status_failed = 1;

// Shuts the libraries down on every path once SDL has been started.
struct sdl_session {
    // Video first and alone: when it cannot start, the viewer says why before any other
    // subsystem has had its say on stderr.
    sdl_session() : video_error(zub::start_video()) {
        if (video_error) return;
        // The rest of what SDL offers may fail (a machine without sound, say) without
        // stopping the document; SDL 1.2 over SDL2 would undo the whole start if they
        // were started together with video.
        (void)SDL_InitSubSystem(SDL_INIT_EVERYTHING & ~static_cast<Uint32>(SDL_INIT_VIDEO));
        // Of all that starts, only video is used; the timer's thread alone would wake
        // a thousand times a second while the picture is shown.
        SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_JOYSTICK | SDL_INIT_CDROM);
    }
    ~sdl_session() {
        if (TTF_WasInit() != 0) TTF_Quit();
        SDL_Quit();
    }
    std::optional<std::string> video_error;  // why video did not start

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
    if (sdl.video_error) {
        std::cerr << prefix << "cannot start the video: " << *sdl.video_error << '\n';
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
