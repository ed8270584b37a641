// Arbitrary bytes through the composition the viewer does, on SDL's dummy video driver:
// the magic, the window and its title, the image's decoding, conversion and painting,
// and the text pass with a real font. Everything but the wait.
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "document/document.hpp"
#include "document/image_probe.hpp"
#include "view/compose.hpp"
#include "view/show.hpp"

namespace {

// The font the texts are drawn in; set by the build.
#ifndef ZUB_FUZZ_FONT
#define ZUB_FUZZ_FONT "Consola.ttf"
#endif

bool start_sdl() {
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_VIDEO);
    TTF_Init();
    SDL_ShowCursor(SDL_DISABLE);  // the dummy driver would draw it into the screen
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool started = start_sdl();
    (void)started;
    const zub::bytes_view bytes(data, size);
    if (!zub::starts_like_document(bytes) || !zub::has_document_magic(bytes)) return 0;
    const auto read = zub::read_document(bytes);
    const auto* found = std::get_if<zub::document_sections>(&read);
    if (found == nullptr) return 0;

    zub::document_sections sections = *found;
    zub::document_header& h = sections.header;
    // The dummy driver corrupts memory at depths it does not support, where a real
    // display refuses them; and small windows keep the runs fast. Neither changes what
    // is exercised: the bounds on window sizes are checked before this point matters.
    if (h.bits_per_pixel != 8 && h.bits_per_pixel != 16 && h.bits_per_pixel != 24 && h.bits_per_pixel != 32) {
        h.bits_per_pixel = 32;
    }
    h.width = std::clamp(h.width, 1, 256);
    h.height = std::clamp(h.height, 1, 256);
    // Large pictures are allowed but only slow the search down.
    if (const auto declared = zub::probe_image_size(sections.image)) {
        if (declared->width > 4096 || declared->height > 4096 ||
            declared->width * declared->height > 1 << 20) {
            return 0;
        }
    }

    const auto window = zub::open_window(sections);
    SDL_Surface* const* screen = std::get_if<SDL_Surface*>(&window);
    if (screen == nullptr) return 0;
    (void)zub::compose_document(bytes, sections, *screen, ZUB_FUZZ_FONT);
    return 0;
}
