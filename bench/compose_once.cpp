// zub_compose_once: the viewer's start-up up to its one flip, then exit, so that the
// instructions it takes can be counted (valgrind --tool=callgrind). The image is decoded
// in process: valgrind cannot run the seccomp filter that confines the viewer's decoder
// (the viewer then shows no image), and callgrind counts one process.
//
//   zub_compose_once FILE
#include <SDL.h>
#include <SDL_ttf.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "app/load_file.hpp"
#include "view/compose.hpp"
#include "view/decoder.hpp"
#include "view/show.hpp"

namespace {

int compose_once(const char* path) {
    SDL_Init(SDL_INIT_EVERYTHING);
    SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_JOYSTICK | SDL_INIT_CDROM);
    TTF_Init();
    const auto loaded = zub::load_file(path);
    if (!std::holds_alternative<zub::document_buffer>(loaded)) return 1;
    const auto bytes = std::get<zub::document_buffer>(loaded).view();
    const auto read = zub::read_document(bytes);
    const auto* doc = std::get_if<zub::document_sections>(&read);
    if (doc == nullptr) return 1;
    const auto window = zub::open_window(*doc);
    if (!std::holds_alternative<SDL_Surface*>(window)) return 1;
    SDL_Surface* screen = std::get<SDL_Surface*>(window);
    std::vector<std::string> warnings =
        zub::paint_background(zub::decode_in_process(doc->image, screen->w, screen->h), screen);
    for (const std::string& warning : zub::draw_text_pass(bytes, *doc, screen)) warnings.push_back(warning);
    for (const std::string& warning : warnings) std::cerr << warning << '\n';
    SDL_Flip(screen);
    TTF_Quit();
    SDL_Quit();
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
