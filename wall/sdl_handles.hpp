// Owning handles for the SDL surfaces and memory streams the stages and the painters make
// and release themselves. SDL_ttf's font stays inside the texts stage.
#pragma once

#include <SDL.h>

#include <memory>

namespace zub {

struct surface_release {
    void operator()(SDL_Surface* surface) const { SDL_FreeSurface(surface); }
};
struct stream_release {
    void operator()(SDL_RWops* stream) const { SDL_RWclose(stream); }
};

using surface_handle = std::unique_ptr<SDL_Surface, surface_release>;
// A memory stream the program closes itself; one handed to a library that closes it
// (IMG_Load_RW and TTF_OpenFontRW with their "free source" flag) is released from it.
using stream_handle = std::unique_ptr<SDL_RWops, stream_release>;

}  // namespace zub
