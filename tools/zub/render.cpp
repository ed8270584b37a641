// zub render: the picture the viewer shows, composed without a display and saved as PNG.
#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdlib>
#include <exception>
#include <iostream>

#include "app/load_file.hpp"
#include "tools/png_file.hpp"
#include "tools/zub/commands.hpp"
#include "view/compose.hpp"
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

int render_command(const std::string& path, const std::string& out_path, const std::string& font_path) {
    const std::string prefix = "zub: " + path + ": ";
    const auto loaded = load_file(path.c_str());
    if (const auto* error = std::get_if<std::string>(&loaded)) {
        std::cerr << prefix << *error << '\n';
        return status_problem;
    }
    const bytes_view bytes = std::get<document_buffer>(loaded).view();
    if (!starts_like_document(bytes) || !has_document_magic(bytes)) {
        std::cerr << prefix << "not a ZUB document\n";
        return status_problem;
    }
    const auto read = read_document(bytes);
    if (const auto* d = std::get_if<damage>(&read)) {
        std::cerr << prefix << d->message << '\n';
        return status_problem;
    }
    document_sections sections = std::get<document_sections>(read);
    // Depth 0 is the display's own; the viewer's displays are true colour. The dummy
    // driver corrupts memory at depths other than these, where a display picks one.
    std::int32_t& depth = sections.header.bits_per_pixel;
    if (depth == 0) depth = 32;
    if (depth != 8 && depth != 16 && depth != 24 && depth != 32) {
        std::cerr << prefix << "depth " << depth << " is not rendered (0, 8, 16, 24 and 32 are)\n";
        return status_problem;
    }

    const dummy_video video;
    SDL_ShowCursor(SDL_DISABLE);  // the dummy driver would draw it into the picture
    const auto window = open_window(sections);
    if (const auto* error = std::get_if<std::string>(&window)) {
        std::cerr << prefix << *error << '\n';
        return status_problem;
    }
    SDL_Surface* screen = std::get<SDL_Surface*>(window);
    for (const std::string& warning : compose_document(bytes, sections, screen, font_path.c_str())) {
        std::cerr << prefix << warning << '\n';
    }
    try {
        write_png(out_path, read_screen(screen));
    } catch (const std::exception& e) {
        std::cerr << "zub: " << e.what() << '\n';
        return status_problem;
    }
    return status_ok;
}

}  // namespace zub
