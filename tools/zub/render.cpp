// zub render: the picture the viewer shows, composed without a display and saved as PNG.
#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdlib>
#include <exception>
#include <iostream>

#include "app/load_file.hpp"
#include "tools/output_file.hpp"
#include "tools/png_file.hpp"
#include "tools/zub/commands.hpp"
#include "view/compose.hpp"
#include "view/sdl_handles.hpp"
#include "view/show.hpp"

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
            std::uint8_t r = 0, g = 0, b = 0;
            SDL_GetRGB(pixel, screen->format, &r, &g, &b);
            out.rgb.insert(out.rgb.end(), {r, g, b});
        }
    }
    return out;
}

struct dummy_video {
    dummy_video() {
        // Headless: SDL's dummy driver draws into memory only.
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        SDL_Init(SDL_INIT_VIDEO);
        TTF_Init();
    }
    ~dummy_video() {
        if (TTF_WasInit() != 0) TTF_Quit();
        SDL_Quit();
    }
    dummy_video(const dummy_video&) = delete;
    dummy_video& operator=(const dummy_video&) = delete;
};

}  // namespace

int render_command(const render_options& options) {
    const std::string& path = options.path;
    const std::string prefix = path + ": ";
    // The output is checked first: nothing is composed for a file that cannot be written.
    const auto target = plan_output(options.out_path, {path, options.font_path});
    if (const auto* refusal = std::get_if<output_refused>(&target))
        return usage_error("render", refusal->message);

    const auto loaded = load_file(path.c_str());
    if (const auto* error = std::get_if<std::string>(&loaded)) return file_problem(prefix + *error);
    const bytes_view bytes = std::get<document_buffer>(loaded).view();
    if (!starts_like_document(bytes) || !has_document_magic(bytes)) {
        return file_problem(prefix + "not a ZUB document");
    }
    const auto read = read_document(bytes);
    if (const auto* d = std::get_if<damage>(&read)) return file_problem(prefix + d->message);
    document_sections sections = std::get<document_sections>(read);
    // Depth 0 is the display's own; the viewer's displays are true colour. The dummy
    // driver corrupts memory at depths other than these, where a display picks one.
    std::int32_t& depth = sections.header.bits_per_pixel;
    if (depth == 0) depth = 32;
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        return file_problem(prefix + "depth " + std::to_string(depth) +
                            " is not rendered (0, 8, 16, 24 and 32 are)");
    }

    // Decoding starts before SDL does, in a process with no other threads.
    const document_header& h = sections.header;
    decoder_job decoding = start_decoding(sections.image, h.width > 0 ? h.width : whole_picture,
                                          h.height > 0 ? h.height : whole_picture);
    const dummy_video video;
    // A font the user names is an input like the document: one that cannot be opened
    // ends the run, where the default font only leaves the texts out with a warning.
    if (options.font_named) {
        const font_file font = read_font_file(options.font_path.c_str());
        if (!font.error.empty())
            return file_problem(options.font_path + ": cannot open the font: " + font.error);
        SDL_RWops* stream = SDL_RWFromConstMem(font.bytes.data(), static_cast<int>(font.bytes.size()));
        const font_handle opened{TTF_OpenFontRW(stream, 1, 12)};
        if (!opened) return file_problem(options.font_path + ": cannot open the font: " + TTF_GetError());
    }
    SDL_ShowCursor(SDL_DISABLE);  // the dummy driver would draw it into the picture
    const auto window = open_window(sections);
    if (const auto* error = std::get_if<std::string>(&window)) return file_problem(prefix + *error);
    SDL_Surface* screen = std::get<SDL_Surface*>(window);
    const std::string font_hint = options.font_named
                                      ? "--font must name a TrueType font file"
                                      : std::string(default_font_hint) + ", or name one with --font";
    for (const std::string& warning :
         compose_document(bytes, sections, screen, decoding, options.font_path.c_str(), font_hint.c_str())) {
        std::cerr << "zub: " << prefix << warning << '\n';
    }
    const auto png = png_bytes(read_screen(screen));
    if (const auto* error = std::get_if<std::string>(&png))
        return file_problem(options.out_path + ": " + *error);
    if (const auto failed =
            write_output(std::get<output_target>(target), std::get<std::vector<std::uint8_t>>(png))) {
        return file_problem(*failed);
    }
    return status_ok;
}

}  // namespace zub
