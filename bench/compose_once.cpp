// zub_compose_once: the viewer's start-up up to its one flip, then exit, so that the
// instructions it takes can be counted (valgrind --tool=callgrind). The image is decoded
// and the texts rendered in process: valgrind cannot run the seccomp filter that
// confines the stages (the viewer then shows no image), and callgrind counts one process.
//
//   zub_compose_once FILE
#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/load_file.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace {

int compose_once(const char* path) {
    const auto sdl = zub::start_sdl(zub::video_kind::window);  // the bench names the dummy driver
    if (!sdl) return 1;
    const auto loaded = zub::load_file(path);
    if (!loaded) return 1;
    const zub::document doc = zub::parse_document(loaded->view());
    if (!doc.is_document || doc.error() != nullptr) return 1;
    const auto screen = zub::open_window(zub::request_for(doc));
    if (!screen) return 1;
    std::vector<zub::problem> warnings = zub::paint_background(
        zub::decode_in_process(doc.image, zub::image_ask{(*screen)->w, (*screen)->h}), *screen);
    const zub::result<zub::file_bytes> font = zub::read_font_file(zub::default_font_name);
    if (!font) return 1;
    const std::vector<zub::text_to_render> texts = zub::texts_of(doc);
    zub::draw_texts(zub::render_in_process(texts, font->view(),
                                           zub::texts_ask{(*screen)->w, (*screen)->h, doc.header.font_size}),
                    *screen);
    for (const zub::problem& warning : warnings) std::cerr << zub::describe(warning) << '\n';
    SDL_Flip(*screen);
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) return 255;
    try {
        return compose_once(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
