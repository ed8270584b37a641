#include "view/compose.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <tuple>
#include <utility>

#include "document/limits.hpp"
#include "wall/sdl_handles.hpp"

namespace zub {

namespace {

// The part of `image` that lands on the screen when it is painted at (0, 0): a surface
// over the same pixels, cut to the screen's size, with the image's palette, colour key
// and alpha settings. Converting it gives exactly the pixels converting the whole image
// would give there, with work and memory in proportion to what is shown.
surface_handle visible_part(SDL_Surface* image, const SDL_Surface* screen) {
    const SDL_PixelFormat* f = image->format;
    surface_handle part{SDL_CreateRGBSurfaceFrom(image->pixels, std::min(image->w, screen->w),
                                                 std::min(image->h, screen->h), f->BitsPerPixel, image->pitch,
                                                 f->Rmask, f->Gmask, f->Bmask, f->Amask)};
    if (!part) return part;
    if (f->palette != nullptr) SDL_SetColors(part.get(), f->palette->colors, 0, f->palette->ncolors);
    SDL_SetColorKey(part.get(), image->flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), f->colorkey);
    SDL_SetAlpha(part.get(), image->flags & (SDL_SRCALPHA | SDL_RLEACCELOK), f->alpha);
    return part;
}

// An SDL surface over a checked picture's pixels, with its palette, colour key and alpha.
surface_handle surface_of(const checked_picture& p) {
    const surface_layout& l = p.layout;
    // A palette picture's masks are not looked at (nor checked): SDL goes by its palette.
    const bool palette = l.bits_per_pixel == 8 && l.colour_count > 0;
    const auto mask = [&](int channel) { return palette ? 0U : l.masks[channel]; };
    surface_handle s{SDL_CreateRGBSurfaceFrom(const_cast<std::uint8_t*>(p.pixels), l.width, l.height,
                                              l.bits_per_pixel, l.pitch, mask(0), mask(1), mask(2), mask(3))};
    if (!s) return s;
    if (s->format->palette != nullptr && l.colour_count > 0) {
        SDL_Color colours[256];
        for (int i = 0; i < l.colour_count; ++i)
            colours[i] = SDL_Color{l.colours[i].r, l.colours[i].g, l.colours[i].b, l.colours[i].unused};
        SDL_SetColors(s.get(), colours, 0, l.colour_count);
    }
    SDL_SetColorKey(s.get(), l.flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), l.colorkey);
    SDL_SetAlpha(s.get(), l.flags & (SDL_SRCALPHA | SDL_RLEACCELOK), static_cast<Uint8>(l.alpha));
    return s;
}

std::vector<problem> image_not_shown(const std::string& why) {
    return {problem{problem_code::image_not_shown, 0, {}, why}};
}

// Where in a 24-bit pixel (its bytes in memory order) the channel of `mask` is: 0, 1
// or 2, or -1 when the mask is not one whole byte.
int byte_of(Uint32 mask) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    constexpr int order[3] = {0, 1, 2};
#else
    constexpr int order[3] = {2, 1, 0};
#endif
    for (int i = 0; i < 3; ++i) {
        if (mask == 0xFFU << (8 * i)) return order[i];
    }
    return -1;
}

// A 32-bit format with 8 bits a channel, each a whole byte, and no alpha: a colour's
// pixel is its channels, each shifted into its place.
bool plain_32_bits(const SDL_PixelFormat* f) {
    const auto whole_byte = [](Uint32 mask, Uint8 shift) { return shift <= 24 && mask == 0xFFU << shift; };
    return f->BitsPerPixel == 32 && f->BytesPerPixel == 4 && f->Amask == 0 &&
           whole_byte(f->Rmask, f->Rshift) && whole_byte(f->Gmask, f->Gshift) &&
           whole_byte(f->Bmask, f->Bshift);
}

// The common case, a 24-bit image with 8 bits a channel on a 32-bit screen with 8 bits a
// channel and no alpha, is painted by copying each pixel's channels into their places in
// the screen's pixels, the unused bits zero: the very pixels converting the image to the
// screen's format and blitting it give, without the converted copy in between. False,
// and nothing painted, for every other case.
bool paint_24_bits_directly(SDL_Surface* image, SDL_Surface* screen) {
    const SDL_PixelFormat* from = image->format;
    const SDL_PixelFormat* to = screen->format;
    if (from->BitsPerPixel != 24 || from->BytesPerPixel != 3 || from->Amask != 0 ||
        (image->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA)) != 0) {
        return false;
    }
    if (!plain_32_bits(to)) return false;
    const int r = byte_of(from->Rmask);
    const int g = byte_of(from->Gmask);
    const int b = byte_of(from->Bmask);
    if (r < 0 || g < 0 || b < 0 || r == g || g == b || r == b) return false;
    const SDL_Rect& clip = screen->clip_rect;
    if (clip.x != 0 || clip.y != 0 || clip.w != screen->w || clip.h != screen->h) return false;
    if (SDL_MUSTLOCK(screen) && SDL_LockSurface(screen) != 0) return false;
    if (SDL_MUSTLOCK(image) && SDL_LockSurface(image) != 0) {
        if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
        return false;
    }
    const int width = std::min(image->w, screen->w);
    const int height = std::min(image->h, screen->h);
    // Held here: the pixels written could alias the format's fields for the compiler.
    const unsigned r_shift = to->Rshift;
    const unsigned g_shift = to->Gshift;
    const unsigned b_shift = to->Bshift;
    for (int y = 0; y < height; ++y) {
        const auto* in = static_cast<const Uint8*>(image->pixels) +
                         std::size_t{image->pitch} * static_cast<std::size_t>(y);
        auto* out =
            static_cast<Uint8*>(screen->pixels) + std::size_t{screen->pitch} * static_cast<std::size_t>(y);
        for (int x = 0; x < width; ++x, in += 3, out += 4) {
            const Uint32 pixel =
                Uint32{in[r]} << r_shift | Uint32{in[g]} << g_shift | Uint32{in[b]} << b_shift;
            std::memcpy(out, &pixel, sizeof pixel);
        }
    }
    if (SDL_MUSTLOCK(image)) SDL_UnlockSurface(image);
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
    return true;
}

// A pixel value of `bytes` bytes written as SDL writes one, in the machine's order (three
// bytes: the value's low three, little end first).
void put_pixel(Uint8* at, int bytes, Uint32 pixel) {
    switch (bytes) {
        case 1:
            *at = static_cast<Uint8>(pixel);
            break;
        case 2: {
            const auto p16 = static_cast<Uint16>(pixel);
            std::memcpy(at, &p16, sizeof p16);
            break;
        }
        case 3:
            at[0] = static_cast<Uint8>(pixel);
            at[1] = static_cast<Uint8>(pixel >> 8U);
            at[2] = static_cast<Uint8>(pixel >> 16U);
            break;
        default:
            std::memcpy(at, &pixel, sizeof pixel);
            break;
    }
}

}  // namespace

std::vector<problem> paint_background(const finished_image& image, SDL_Surface* screen) {
    if (!image.image) return image_not_shown(image.image.why());
    const surface_handle picture = surface_of(image.image->picture);
    if (!picture) return image_not_shown(SDL_GetError());
    if (paint_24_bits_directly(picture.get(), screen)) return {};
    const surface_handle shown = visible_part(picture.get(), screen);
    if (!shown) return image_not_shown(SDL_GetError());
    // What SDL_DisplayFormat does, to the format of the surface painted on rather than of
    // the one window: the tools compose several documents at once, each on its own.
    const Uint32 kept = shown->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA | SDL_RLEACCELOK);
    const surface_handle background{SDL_ConvertSurface(shown.get(), screen->format, SDL_SWSURFACE | kept)};
    if (!background) return image_not_shown(SDL_GetError());
    SDL_Rect at{0, 0, 0, 0};
    if (SDL_UpperBlit(background.get(), nullptr, screen, &at) == 0) return {};
    // Converting an image with an alpha channel keeps the image's alpha setting, and SDL
    // 1.2 over SDL2 cannot blend such a surface onto an 8-bit screen. The alpha is not
    // shown either way: the converted colours are copied instead.
    const std::string why = SDL_GetError();
    if ((background->flags & SDL_SRCALPHA) != 0) {
        SDL_SetAlpha(background.get(), 0, SDL_ALPHA_OPAQUE);
        at = SDL_Rect{0, 0, 0, 0};
        if (SDL_UpperBlit(background.get(), nullptr, screen, &at) == 0) return {};
    }
    return image_not_shown(why);
}

namespace {

// One stage's layer painted over the screen.
void paint_layer(const checked_layer& layer, SDL_Surface* screen) {
    if (layer.values == nullptr) return;
    // Each text's colour as blitting its rendering maps it to the screen: a 2-colour 8-bit
    // picture's colour is mapped as SDL_MapRGB maps it (the nearest colour of an 8-bit
    // screen's palette; a format with alpha opaque).
    std::vector<Uint32> mapped(layer.colours.size() + 1, 0);
    for (std::size_t k = 0; k < layer.colours.size(); ++k) {
        const text_colour& c = layer.colours[k];
        mapped[k + 1] = SDL_MapRGB(screen->format, c.r, c.g, c.b);
    }
    // The layer lies in the window's coordinates; what the screen's clip rectangle leaves
    // out is not painted, as a blit leaves it.
    const SDL_Rect& clip = screen->clip_rect;
    checked_layer shown = layer;
    shown.left = std::max<int>(layer.left, clip.x);
    shown.top = std::max<int>(layer.top, clip.y);
    shown.right = std::min({layer.right, clip.x + clip.w, screen->w});
    shown.bottom = std::min({layer.bottom, clip.y + clip.h, screen->h});
    if (shown.left >= shown.right || shown.top >= shown.bottom) return;
    if (SDL_MUSTLOCK(screen) && SDL_LockSurface(screen) != 0) return;
    auto* const pixels = static_cast<Uint8*>(screen->pixels);
    const int bytes = screen->format->BytesPerPixel;
    const std::size_t pitch = screen->pitch;
    each_layer_value(shown, [&](int x, int y, std::uint32_t value) {
        if (value > layer.most) return;  // a text the stage had not finished
        put_pixel(pixels + pitch * static_cast<std::size_t>(y) +
                      static_cast<std::size_t>(x) * static_cast<std::size_t>(bytes),
                  bytes, mapped[value]);
    });
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
}

}  // namespace

void draw_texts(const finished_texts& done, SDL_Surface* screen) {
    if (!done.texts) return;
    for (const checked_layer& layer : done.texts->layers) paint_layer(layer, screen);
}

namespace {

void append(std::vector<problem>& to, std::vector<problem> more) {
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// The image stage's part of the picture: painted, or why not.
std::vector<problem> paint_image_part(const document& doc, const finished_image& image, SDL_Surface* screen) {
    std::vector<problem> found =
        image.error.empty() ? paint_background(image, screen)
                            : std::vector<problem>{problem{problem_code::not_composed, 0, {}, image.error}};
    for (problem& p : found) p.offset = doc.image_offset;
    return found;
}

// The texts stage's part: each text it drew painted, and what it left out.
std::vector<problem> paint_texts_part(const document& doc, composition& c, const finished_texts& texts,
                                      SDL_Surface* screen) {
    if (texts.texts && !texts.texts->font_opened) c.font_error = texts.texts->font_error;
    std::vector<problem> found = text_problems(doc, c, texts);
    draw_texts(texts, screen);
    return found;
}

// The picture's warnings, then the document's own, each said once; and one error for the
// picture: the stages of a run that failed fail together.
std::vector<problem> picture_problems(const document& doc, std::vector<problem> found) {
    append(found, doc.warnings());
    drop_moot(found);
    bool said = false;
    std::erase_if(found, [&](const problem& p) {
        return p.code == problem_code::not_composed && std::exchange(said, true);
    });
    return found;
}

}  // namespace

std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, composition& c) {
    std::vector<problem> found;
    {
        const finished_image image = finish_image_stage(c.image, c.image_asked);
        found = paint_image_part(doc, image, screen);
    }  // the image's hand-back is unmapped once it is painted, and its memory let go
    c.image = stage_job{};
    if (c.texts_wanted) {
        append(found, paint_texts_part(doc, c, finish_texts(c), screen));
    }
    return picture_problems(doc, std::move(found));
}

std::vector<problem> paint_finished(const document& doc, SDL_Surface* screen, composition& c,
                                    const finished_image& image, const finished_texts* texts) {
    std::vector<problem> found = paint_image_part(doc, image, screen);
    if (texts != nullptr) append(found, paint_texts_part(doc, c, *texts, screen));
    return picture_problems(doc, std::move(found));
}

std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, const font_choice& font) {
    composition c = start_composition(doc, composing_ask{screen->w, screen->h}, font);
    return compose_document(doc, screen, c);
}

}  // namespace zub
