// zub_compose_once: the viewer's start-up up to its one flip, then exit, so that the
// instructions it takes can be counted (valgrind --tool=callgrind). The image is decoded
// in process: valgrind cannot run the seccomp filter that confines the viewer's decoder
// (the viewer then shows no image), and callgrind counts one process.
//
//   zub_compose_once FILE
#include <SDL.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/load_file.hpp"
#include "view/compose.hpp"
#include "view/decoder.hpp"
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
    std::vector<zub::problem> warnings =
        zub::paint_background(zub::decode_in_process(doc.image, (*screen)->w, (*screen)->h), *screen);
    for (zub::problem& warning : zub::draw_text_pass(doc, *screen)) warnings.push_back(std::move(warning));
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
