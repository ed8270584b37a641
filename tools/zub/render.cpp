// zub render: the picture the viewer shows, composed without a display and saved as PNG.
#include <SDL.h>

#include <iostream>

#include "app/load_file.hpp"
#include "tools/output_file.hpp"
#include "tools/png_file.hpp"
#include "tools/zub/commands.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace zub {

namespace {

rgb_image read_screen(const SDL_Surface* screen) {
    rgb_image out{screen->w, screen->h, {}};
    out.rgb.reserve(static_cast<std::size_t>(screen->w) * static_cast<std::size_t>(screen->h) * 3);
    const int bpp = screen->format->BytesPerPixel;
    for (int y = 0; y < screen->h; ++y) {
        const auto* row =
            static_cast<const std::uint8_t*>(screen->pixels) + static_cast<std::ptrdiff_t>(y) * screen->pitch;
        for (int x = 0; x < screen->w; ++x) {
            const std::uint8_t* at = row + static_cast<std::ptrdiff_t>(x) * bpp;
            std::uint32_t pixel = 0;
            for (int i = 0; i < bpp; ++i)
                pixel |= static_cast<std::uint32_t>(at[i]) << (8U * static_cast<unsigned>(i));
            std::uint8_t r = 0;
            std::uint8_t g = 0;
            std::uint8_t b = 0;
            SDL_GetRGB(pixel, screen->format, &r, &g, &b);
            out.rgb.insert(out.rgb.end(), {r, g, b});
        }
    }
    return out;
}

// A font the user names is an input like the document: one that cannot be opened ends
// the run, where the default font only leaves the texts out with a warning.
outcome check_named_font(const std::string& path) {
    const font_file font = read_font_file(path);
    if (!font.error.empty()) return failure{"cannot open the font: " + font.error};
    if (!open_font(font, 12)) return failure{std::string("cannot open the font: ") + TTF_GetError()};
    return done{};
}

}  // namespace

int render_command(const render_options& options) {
    const std::string& path = options.path;
    // The output is checked first: nothing is composed for a file that cannot be written.
    const result<output_target> target = plan_output(options.out_path, {path, options.font_path});
    if (!target) return usage_error("render", target.why());

    const result<document_buffer> loaded = load_file(path.c_str());
    if (!loaded) return file_problem(path, loaded.why());
    const document doc = parse_document(loaded->view());
    if (!doc.is_document) return file_problem(path, "not a ZUB document");
    if (const problem* error = doc.error()) return file_problem(path, describe(*error));

    // Depth 0 is the display's own; the viewer's displays are true colour. The dummy
    // driver corrupts memory at depths other than these, where a display picks one.
    window_request request = request_for(doc);
    if (request.depth == 0) request.depth = 32;
    if (request.depth != 8 && request.depth != 16 && request.depth != 24 && request.depth != 32) {
        return file_problem(
            path, "depth " + std::to_string(request.depth) + " is not rendered (0, 8, 16, 24 and 32 are)");
    }

    // Decoding starts before SDL does, in a process with no other threads.
    decoder_job decoding = start_decoding_for(doc, request);
    const result<sdl_session> sdl = start_sdl(video_kind::in_memory);
    if (!sdl) return file_problem(path, "cannot start SDL: " + sdl.why());
    if (options.font_named) {
        if (const outcome font = check_named_font(options.font_path); !font)
            return file_problem(options.font_path, font.why());
    }
    const result<SDL_Surface*> screen = open_window(request);
    if (!screen) return file_problem(path, screen.why());
    const font_choice font{options.font_path, options.font_named
                                                  ? "--font must name a TrueType font file"
                                                  : font_choice{}.hint + ", or name one with --font"};
    for (const std::string& warning : compose_document(doc, *screen, decoding, font)) say(path, warning);

    const result<std::vector<std::uint8_t>> png = png_bytes(read_screen(*screen));
    if (!png) return file_problem(options.out_path, png.why());
    if (const outcome written = write_output(*target, *png); !written) return file_problem("", written.why());
    return status_ok;
}

}  // namespace zub
