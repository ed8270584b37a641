// The screen the image fuzz targets paint on: SDL started as the tools start it, on its
// dummy video driver, and a small true-colour window.
#pragma once

#include <SDL.h>

#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace zub::fuzz {

inline SDL_Surface* screen() {
    static const auto sdl = start_sdl(video_kind::in_memory);
    static const auto window = open_window(window_request{64, 48, 32, {}});
    return window ? *window : nullptr;
}

}  // namespace zub::fuzz
