// zub_reader: shows one ZUB document in a window until the window is closed.
//
// Exit status: 255 (-1) for a wrong command line, 0 when the document was shown and
// closed or the file is not a document, 1 when a document could not be shown.

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
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

int show(const char* path) {
    const std::string prefix = std::string("zub_reader: ") + path + ": ";
    const auto fail = [&](std::string_view what) {
        std::cerr << prefix << what << '\n';
        return status_failed;
    };

    const auto loaded = zub::load_file(path);
    if (const auto* error = std::get_if<std::string>(&loaded)) return fail(*error);
    const auto document = std::get<zub::document_buffer>(loaded).view();
    if (!zub::starts_like_document(document) || !zub::has_document_magic(document)) return status_shown;
    const auto read = zub::read_document(document);
    if (const auto* damage = std::get_if<zub::damage>(&read)) return fail(damage->message);
    const auto& sections = std::get<zub::document_sections>(read);
    if (const auto problem = zub::window_problem(sections.header)) return fail(*problem);

    // The image decodes in its own confined process, on the other core while the
    // window opens. It starts before SDL does, so that the process it is forked from
    // has no threads but this one.
    const zub::document_header& h = sections.header;
    zub::decoder_job decoding =
        zub::start_decoding(sections.image, h.width > 0 ? h.width : zub::whole_picture,
                            h.height > 0 ? h.height : zub::whole_picture);

    // Any subsystem may fail to start (a machine without sound, say); only video matters.
    const sdl_session sdl;
    if (sdl.video_error) return fail("cannot start the video: " + *sdl.video_error);
    // When the font library does not start, the texts are left out with a warning.
    TTF_Init();

    if (!zub::show_document(document, sections, decoding, std::cerr, prefix)) return status_failed;
    return status_shown;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        (void)std::fputs("usage: zub_reader filename\n", stdout);
        return -1;
    }
    try {
        return show(argv[1]);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        std::cerr << "zub_reader: " << argv[1] << ": " << e.what() << '\n';
        return status_failed;
    }
}
