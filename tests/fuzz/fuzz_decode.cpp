// Arbitrary bytes as an embedded image, decoded in process by the image library and
// handed back as the confined decoder hands it back, then painted. Without the wall, a
// fault in the library's readers ends the run: this target is for finding them (with
// an image library built with coverage, the fuzzer is guided inside its readers), not
// for the ordinary runs of scripts/fuzz.
#include <SDL.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "view/compose.hpp"
#include "view/decoder.hpp"

namespace {

SDL_Surface* start_sdl() {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_VIDEO);
    SDL_ShowCursor(SDL_DISABLE);
    return SDL_SetVideoMode(64, 48, 32, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static SDL_Surface* const screen = start_sdl();
    zub::decoded_image decoded = zub::decode_in_process(zub::bytes_view(data, size), 64, 48);
    if (screen != nullptr) (void)zub::paint_background(std::move(decoded), screen);
    return 0;
}
