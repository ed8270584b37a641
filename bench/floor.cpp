// zub_floor: the benchmark's floor. Shows a document doing literally the viewer's first
// steps and nothing more: SDL_Init(SDL_INIT_EVERYTHING), SDL_SetVideoMode, decode the
// image, SDL_DisplayFormat of all of it, blit, the text pass with TTF_OpenFont from the
// file for each record, one SDL_Flip, then SDL_WaitEvent until SDL_QUIT.
//
//   zub_floor FILE            show it
//   zub_floor --compose FILE  compose and flip once, then exit (for instruction counts)
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "document/document.hpp"

int main(int argc, char* argv[]) {
    const bool compose_only = argc == 3 && std::strcmp(argv[1], "--compose") == 0;
    if (argc != 2 && !compose_only) return 255;
    std::ifstream in(argv[argc - 1], std::ios::binary);
    const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in),
                                         std::istreambuf_iterator<char>()};
    SDL_Init(SDL_INIT_EVERYTHING);
    TTF_Init();
    const zub::document parsed = zub::parse_document(file);
    if (!parsed.is_document || parsed.error() != nullptr) return 1;
    const zub::document* doc = &parsed;
    const zub::document_header& h = doc->header;
    SDL_Surface* screen = SDL_SetVideoMode(h.width, h.height, h.bits_per_pixel, 0);
    if (screen == nullptr) return 1;
    const zub::display_string title = zub::to_display_string(doc->caption);
    SDL_WM_SetCaption(title.data(), nullptr);
    SDL_Surface* image =
        IMG_Load_RW(SDL_RWFromConstMem(doc->image.data(), static_cast<int>(doc->image.size())), 1);
    if (image != nullptr) {
        SDL_Surface* background = SDL_DisplayFormat(image);
        SDL_FreeSurface(image);
        SDL_Rect at{0, 0, 0, 0};
        SDL_UpperBlit(background, nullptr, screen, &at);
    }
    for (const zub::text_record& record : doc->records) {
        const zub::text_record* r = &record;
        const zub::display_string text = zub::to_display_string(r->text);
        TTF_Font* font = TTF_OpenFont("Consola.ttf", h.font_size);
        if (font == nullptr) continue;
        SDL_Surface* glyphs =
            TTF_RenderText_Solid(font, text.data(), SDL_Color{r->red, r->green, r->blue, 0});
        if (glyphs != nullptr) {
            SDL_Rect at{r->x, r->y, 0, 0};
            SDL_UpperBlit(glyphs, nullptr, screen, &at);
        }
        TTF_CloseFont(font);
        SDL_FreeSurface(glyphs);
    }
    SDL_Flip(screen);
    if (!compose_only) {
        SDL_Event event;
        while (SDL_WaitEvent(&event) != 0 && event.type != SDL_QUIT) {
        }
    }
    SDL_Quit();
    return 0;
}
