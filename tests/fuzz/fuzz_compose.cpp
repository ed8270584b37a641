// Arbitrary bytes through the composition the viewer does, on SDL's dummy video driver:
// the magic, the window and its title, the stages' hand-backs read and checked, the
// image converted and painted, and each text's surface blitted. The stages' work is done
// in process, so that a run takes no process of its own: the image for the formats whose
// readers do not crash on damaged files (PNG, JPEG, BMP; the others' readers are the
// library's to fix, and fuzz_decode looks at them), the texts with a real font.
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
    static const zub::result<zub::file_bytes> font = zub::read_font_file(ZUB_FUZZ_FONT);
    const zub::document doc = zub::parse_document(zub::bytes_view(data, size));
    if (!doc.is_document || doc.error() != nullptr || !font) return 0;

    // The dummy driver corrupts memory at depths it does not support, where a real
    // display refuses them; and small windows and point sizes keep the runs fast. The
    // bounds are tested at their edges by the ordinary tests, through the same code.
    zub::window_request request = zub::request_for(doc);
    if (!zub::exact_depth(request.depth)) request.depth = 32;
    request.width = std::clamp(request.width, 1, 256);
    request.height = std::clamp(request.height, 1, 256);
    const auto screen = zub::open_window(request);
    if (!screen) return 0;

    const auto declared = zub::probe_image_size(doc.image);
    const std::string_view format = declared ? declared->format : "";
    if (format == "PNG" || format == "JPEG" || format == "BMP") {
        if (declared->width <= 1 << 12 && declared->height <= 1 << 12 &&
            declared->width * declared->height <= 1 << 20)
            (void)zub::paint_background(
                zub::decode_in_process(doc.image, zub::image_ask{request.width, request.height}), *screen);
    }
    const int points = std::clamp(doc.header.font_size, 1, 256);
    zub::draw_texts(zub::render_in_process(zub::texts_of(doc), font->view(),
                                           zub::texts_ask{request.width, request.height, points}),
                    *screen);
    return 0;
}
