// Owning handles for the SDL and SDL_ttf resources the view makes and releases itself.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <memory>

namespace zub {

struct surface_release {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
struct font_release {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};

struct stream_release {
    void operator()(SDL_RWops* stream) const { SDL_RWclose(stream); }
};

using surface_handle = std::unique_ptr<SDL_Surface, surface_release>;
// A memory stream the program closes itself; one handed to a library that closes it
// (IMG_Load_RW and TTF_OpenFontRW with their "free source" flag) is released from it.
using stream_handle = std::unique_ptr<SDL_RWops, stream_release>;
using font_handle = std::unique_ptr<TTF_Font, font_release>;

}  // namespace zub
