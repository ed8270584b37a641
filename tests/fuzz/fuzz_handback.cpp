// Arbitrary bytes as what the image decoder hands back: the viewer reads a decoder's
// result as it would any untrusted bytes, since a hostile image may have taken the
// decoder over. Whatever it accepts is converted and painted as the viewer paints it.
#include <SDL.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

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
    // The result's header is the start of a page (its first half is all it uses); the
    // pixels follow the page.
    constexpr std::size_t header = zub::result_header_bytes / 2;
    std::vector<std::uint8_t> region(zub::result_header_bytes + (size > header ? size - header : 0), 0);
    std::memcpy(region.data(), data, std::min(size, header));
    if (size > header) std::memcpy(region.data() + zub::result_header_bytes, data + header, size - header);
    zub::decoded_image decoded = zub::read_result(region.data(), region.size());
    if (screen != nullptr) (void)zub::paint_background(std::move(decoded), screen);
    return 0;
}
