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

using surface_handle = std::unique_ptr<SDL_Surface, surface_release>;
using font_handle = std::unique_ptr<TTF_Font, font_release>;

}  // namespace zub
