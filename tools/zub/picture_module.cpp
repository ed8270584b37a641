// zub render's painter, loaded as a module (tools/zub/picture_module.hpp): SDL on its dummy
// video driver, a surface in the format of the viewer's window at the document's depth,
// the document composed on it as the window composes it, and its pixels read back.
#include "tools/zub/picture_module.hpp"

#include <SDL.h>

#include <array>
#include <cstring>
#include <optional>

#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "wall/sdl_handles.hpp"

namespace zub {

namespace {

// The format of the window SDL opens at a depth: its masks, or for 8 bits its palette.
struct screen_format {
    int bits = 32;
    std::array<Uint32, 3> masks{};
    std::vector<SDL_Color> colours;
};
constexpr std::array<int, 4> screen_depths{8, 16, 24, 32};
using screen_formats = std::array<screen_format, screen_depths.size()>;

// Learned from SDL itself, once a run, so that each document is composed on a surface
// of its own in the format the viewer's window has at its depth.
outcome learn_screen_formats(screen_formats& formats, int only_depth = 0) {
    for (std::size_t i = 0; i < screen_depths.size(); ++i) {
        if (only_depth != 0 && screen_depths[i] != only_depth) continue;
        const SDL_Surface* screen = SDL_SetVideoMode(1, 1, screen_depths[i], 0);
        if (screen == nullptr) return failure{SDL_GetError()};
        const SDL_PixelFormat* f = screen->format;
        screen_format& learned = formats[i];
        learned.bits = f->BitsPerPixel;
        learned.masks = {f->Rmask, f->Gmask, f->Bmask};
        if (f->palette != nullptr)
            learned.colours.assign(f->palette->colors, f->palette->colors + f->palette->ncolors);
    }
    return done{};
}

// The picture's surface and its pixels, zero as a new window's. SDL 1.2 makes no surface
// 16384 pixels wide itself, where it opens such a window: the pixels are the program's.
struct screen_surface {
    std::vector<std::uint8_t> pixels;
    surface_handle surface;
};

result<screen_surface> make_screen(const screen_format& format, int width, int height) {
    screen_surface screen;
    // SDL's own pitch: whole bytes a row, rounded up to 4.
    const auto pitch =
        (static_cast<std::size_t>(width) * static_cast<std::size_t>((format.bits + 7) / 8) + 3) &
        ~std::size_t{3};
    screen.pixels.assign(pitch * static_cast<std::size_t>(height), 0);
    screen.surface.reset(SDL_CreateRGBSurfaceFrom(screen.pixels.data(), width, height, format.bits,
                                                  static_cast<int>(pitch), format.masks[0], format.masks[1],
                                                  format.masks[2], 0));
    if (!screen.surface) {
        return failure{"cannot make a " + std::to_string(width) + "x" + std::to_string(height) +
                       " picture at depth " + std::to_string(format.bits) + ": " + SDL_GetError()};
    }
    if (!format.colours.empty()) {
        std::vector<SDL_Color> colours = format.colours;
        SDL_SetColors(screen.surface.get(), colours.data(), 0, static_cast<int>(colours.size()));
    }
    return screen;
}

// The picture's colours as the viewer's window shows them on a true-colour display: a
// palette's colours, and each channel of fewer than 8 bits widened with its low bits
// zero, as the classic SDL 1.2 copies such a window to the display.
rgb_image read_screen(const SDL_Surface* screen) {
    rgb_image out{screen->w, screen->h, {}};
    out.rgb.resize(static_cast<std::size_t>(screen->w) * static_cast<std::size_t>(screen->h) * 3);
    const SDL_PixelFormat* f = screen->format;
    const int bpp = f->BytesPerPixel;
    std::uint8_t* to = out.rgb.data();
    // The common case, 8 bits a channel in 32-bit pixels: each channel a byte.
    if (bpp == 4 && f->palette == nullptr && f->Rloss == 0 && f->Gloss == 0 && f->Bloss == 0) {
        const unsigned r = f->Rshift;
        const unsigned g = f->Gshift;
        const unsigned b = f->Bshift;
        for (int y = 0; y < screen->h; ++y) {
            const auto* row = static_cast<const std::uint8_t*>(screen->pixels) +
                              static_cast<std::ptrdiff_t>(y) * screen->pitch;
            for (int x = 0; x < screen->w; ++x, to += 3) {
                std::uint32_t pixel = 0;
                std::memcpy(&pixel, row + static_cast<std::ptrdiff_t>(x) * 4, sizeof pixel);
                to[0] = static_cast<std::uint8_t>(pixel >> r);
                to[1] = static_cast<std::uint8_t>(pixel >> g);
                to[2] = static_cast<std::uint8_t>(pixel >> b);
            }
        }
        return out;
    }
    for (int y = 0; y < screen->h; ++y) {
        const auto* row =
            static_cast<const std::uint8_t*>(screen->pixels) + static_cast<std::ptrdiff_t>(y) * screen->pitch;
        for (int x = 0; x < screen->w; ++x, to += 3) {
            const std::uint8_t* at = row + static_cast<std::ptrdiff_t>(x) * bpp;
            std::uint32_t pixel = 0;
            for (int i = 0; i < bpp; ++i)
                pixel |= static_cast<std::uint32_t>(at[i]) << (8U * static_cast<unsigned>(i));
            if (f->palette != nullptr) {
                const SDL_Color& c =
                    f->palette->colors[pixel < static_cast<unsigned>(f->palette->ncolors) ? pixel : 0];
                to[0] = c.r;
                to[1] = c.g;
                to[2] = c.b;
                continue;
            }
            to[0] = static_cast<std::uint8_t>(((pixel & f->Rmask) >> f->Rshift) << f->Rloss);
            to[1] = static_cast<std::uint8_t>(((pixel & f->Gmask) >> f->Gshift) << f->Gloss);
            to[2] = static_cast<std::uint8_t>(((pixel & f->Bmask) >> f->Bshift) << f->Bloss);
        }
    }
    return out;
}

// SDL, started once a run, and the formats of its windows.
std::optional<sdl_session> sdl;
screen_formats formats;

bool start_screens(int depth, std::string& why) {
    result<sdl_session> started = start_sdl(video_kind::in_memory);
    if (!started) {
        why = "cannot start SDL: " + started.why();
        return false;
    }
    sdl.emplace(std::move(*started));
    if (const outcome learned = learn_screen_formats(formats, depth); !learned) {
        why = "cannot start SDL: " + learned.why();
        return false;
    }
    return true;
}

void compose_picture(const picture_call& call, composed_picture& out) {
    std::size_t depth = 0;
    while (depth + 1 < screen_depths.size() && screen_depths[depth] != call.depth) ++depth;
    const result<screen_surface> made = make_screen(formats[depth], call.width, call.height);
    // sdl12-compat makes no surface 16384 pixels wide, where it opens such a window: one
    // document alone is composed on the window itself.
    SDL_Surface* screen = made         ? made->surface.get()
                          : call.alone ? SDL_SetVideoMode(call.width, call.height, call.depth, 0)
                                       : nullptr;
    if (screen == nullptr) {
        out.error = made.why();
        return;
    }
    out.warnings = paint_finished(*call.doc, screen, *call.composing, *call.image, call.texts);
    out.picture = read_screen(screen);
}

constexpr picture_painter painter{start_screens, compose_picture};

}  // namespace

}  // namespace zub

// NOLINTNEXTLINE(readability-identifier-naming): looked up by this name
extern "C" __attribute__((visibility("default"))) const zub::picture_painter* zub_picture_painter() {
    return &zub::painter;
}
