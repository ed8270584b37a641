// Arbitrary bytes through the composition the viewer does, on SDL's dummy video driver:
// the magic, the window and its title, the image's decoding (through the confined
// decoder), conversion and painting, and the text pass with a real font. Everything but
// the wait.
#include <SDL.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "document/document.hpp"
#include "document/image_probe.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

// The font the texts are drawn in; set by the build.
#ifndef ZUB_FUZZ_FONT
#define ZUB_FUZZ_FONT "Consola.ttf"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto sdl = zub::start_sdl(zub::video_kind::in_memory);
    const zub::document doc = zub::parse_document(zub::bytes_view(data, size));
    if (!doc.is_document || doc.error() != nullptr) return 0;

    // The dummy driver corrupts memory at depths it does not support, where a real
    // display refuses them; and small windows keep the runs fast. The bounds on windows
    // are tested at their edges by the ordinary tests, through the same composition.
    zub::window_request request = zub::request_for(doc);
    if (request.depth != 8 && request.depth != 16 && request.depth != 24 && request.depth != 32)
        request.depth = 32;
    request.width = std::clamp(request.width, 1, 256);
    request.height = std::clamp(request.height, 1, 256);
    // Large pictures are allowed but only slow the search down.
    if (const auto declared = zub::probe_image_size(doc.image)) {
        if (declared->width > 4096 || declared->height > 4096 ||
            declared->width * declared->height > 1 << 20) {
            return 0;
        }
    }
    zub::decoder_job decoding = zub::start_decoding_for(doc, request);
    const auto screen = zub::open_window(request);
    if (!screen) return 0;
    (void)zub::compose_document(doc, *screen, decoding, zub::font_choice{ZUB_FUZZ_FONT, ""});
    return 0;
}
