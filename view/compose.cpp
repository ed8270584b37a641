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

// A text's surface: its 8-bit pixels, its two colours, its colour key and alpha settings.
surface_handle surface_of(const checked_text& text) {
    const text_entry& e = text.entry;
    surface_handle s{SDL_CreateRGBSurfaceFrom(const_cast<std::uint8_t*>(text.pixels), e.width, e.height, 8,
                                              e.pitch, 0, 0, 0, 0)};
    if (!s) return s;
    SDL_Color colours[2];
    for (int i = 0; i < 2; ++i)
        colours[i] = SDL_Color{e.colours[i].r, e.colours[i].g, e.colours[i].b, e.colours[i].unused};
    SDL_SetColors(s.get(), colours, 0, 2);
    SDL_SetColorKey(s.get(), e.flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), e.colorkey);
    SDL_SetAlpha(s.get(), e.flags & (SDL_SRCALPHA | SDL_RLEACCELOK), 0);
    return s;
}

// A text picture's pixels other than the colour key, as runs along its rows, found once
// for all the texts that share the picture (the same string, in other colours or places).
struct pixel_run {
    std::int32_t x;
    std::int32_t length;
    std::uint8_t value;  // 0 or 1
};
struct text_runs {
    bool plain = true;                // only the values 0 and 1: the picture's two colours
    std::vector<std::uint32_t> rows;  // where each row's runs start in `runs`, and the end
    std::vector<pixel_run> runs;
};

text_runs runs_of(const checked_text& text) {
    const text_entry& e = text.entry;
    const bool keyed = (e.flags & SDL_SRCCOLORKEY) != 0;
    text_runs found;
    found.rows.reserve(static_cast<std::size_t>(e.height) + 1);
    for (int y = 0; y < e.height; ++y) {
        found.rows.push_back(static_cast<std::uint32_t>(found.runs.size()));
        const std::uint8_t* row =
            text.pixels + std::size_t{static_cast<std::uint32_t>(e.pitch)} * static_cast<std::size_t>(y);
        for (int x = 0; x < e.width;) {
            const std::uint8_t value = row[x];
            int end = x + 1;
            while (end < e.width && row[end] == value) ++end;
            if (!keyed || value != e.colorkey) {
                if (value > 1) {
                    found.plain = false;
                    return found;
                }
                found.runs.push_back(pixel_run{x, end - x, value});
            }
            x = end;
        }
    }
    found.rows.push_back(static_cast<std::uint32_t>(found.runs.size()));
    return found;
}

// A text picture, as the texts that share it (the same string, in other colours or
// places) name it.
using picture_key =
    std::tuple<const std::uint8_t*, std::int32_t, std::int32_t, std::int32_t, std::uint32_t, std::uint32_t>;

picture_key key_of(const checked_text& text) {
    const text_entry& e = text.entry;
    return {text.pixels, e.width, e.height, e.pitch, e.flags & SDL_SRCCOLORKEY, e.colorkey};
}

// The most memory the runs of the pictures take, whatever the pictures: past it the
// texts are painted from their pixels (12 bytes a run would reach 768 MiB on alternating
// pixels within the document's budget).
constexpr std::size_t most_run_bytes = std::size_t{64} << 20U;

// The runs of the pictures that more than one text shows, found once each, within
// most_run_bytes.
struct text_runs_cache {
    std::map<picture_key, std::size_t> uses;
    std::map<picture_key, text_runs> found;
    std::size_t bytes = 0;
};

text_runs_cache cache_for(const checked_texts& texts) {
    text_runs_cache cache;
    for (const checked_text& text : texts.texts) {
        if (text.entry.outcome == text_outcome::drawn) ++cache.uses[key_of(text)];
    }
    return cache;
}

// The runs of a picture more than one text shows, or null: for a picture shown once, or
// once the runs have taken their memory.
const text_runs* shared_runs(const checked_text& text, text_runs_cache& cache) {
    const picture_key key = key_of(text);
    if (const auto found = cache.found.find(key); found != cache.found.end()) return &found->second;
    if (cache.uses[key] < 2 || cache.bytes >= most_run_bytes) return nullptr;
    text_runs runs = runs_of(text);
    const std::size_t bytes = runs.rows.size() * sizeof(std::uint32_t) + runs.runs.size() * sizeof(pixel_run);
    if (cache.bytes + bytes > most_run_bytes) {
        cache.bytes = most_run_bytes;
        return nullptr;
    }
    cache.bytes += bytes;
    return &cache.found.emplace(key, std::move(runs)).first->second;
}

// A text whose picture holds only its two colours, on a 32-bit screen with 8 bits a
// channel and no alpha, is painted straight into the screen's pixels: each pixel other
// than the colour key takes its colour, as blitting the text's surface paints it,
// without a surface a text. A picture that texts share (the same string in other colours
// or places) is gone through once, as runs; one shown once is read only where it lands
// in the screen. False, and nothing painted, for every other case.
bool paint_text_directly(const checked_text& text, SDL_Surface* screen, text_runs_cache& cache) {
    const text_entry& e = text.entry;
    if (!plain_32_bits(screen->format) || (e.flags & SDL_SRCALPHA) != 0) return false;
    const text_runs* runs = shared_runs(text, cache);
    if (runs != nullptr && !runs->plain) return false;
    // Where SDL_UpperBlit puts it: at the place as SDL's rectangle holds it, cut to the
    // screen's clip rectangle.
    const SDL_Rect& clip = screen->clip_rect;
    const int at_x = static_cast<Sint16>(e.x);
    const int at_y = static_cast<Sint16>(e.y);
    const int left = std::max<int>(at_x, clip.x);
    const int top = std::max<int>(at_y, clip.y);
    const int right = std::min<int>(at_x + e.width, clip.x + clip.w);
    const int bottom = std::min<int>(at_y + e.height, clip.y + clip.h);
    if (left >= right || top >= bottom) return true;
    const bool keyed = (e.flags & SDL_SRCCOLORKEY) != 0;
    const auto picture_row = [&](int y) {
        return text.pixels +
               std::size_t{static_cast<std::uint32_t>(e.pitch)} * static_cast<std::size_t>(y - at_y);
    };
    if (runs == nullptr) {
        // Only the part that lands is read: first that it holds the two colours alone.
        for (int y = top; y < bottom; ++y) {
            const std::uint8_t* row = picture_row(y);
            for (int x = left; x < right; ++x) {
                const std::uint8_t value = row[x - at_x];
                if (value > 1 && !(keyed && value == e.colorkey)) return false;
            }
        }
    }
    const SDL_PixelFormat* f = screen->format;
    Uint32 colours[2];
    for (int i = 0; i < 2; ++i) {
        colours[i] = Uint32{e.colours[i].r} << f->Rshift | Uint32{e.colours[i].g} << f->Gshift |
                     Uint32{e.colours[i].b} << f->Bshift;
    }
    if (SDL_MUSTLOCK(screen) && SDL_LockSurface(screen) != 0) return false;
    for (int y = top; y < bottom; ++y) {
        // A 32-bit screen's rows hold whole pixels, aligned as its pixels are.
        auto* const out = reinterpret_cast<Uint32*>(static_cast<Uint8*>(screen->pixels) +
                                                    std::size_t{screen->pitch} * static_cast<std::size_t>(y));
        if (runs == nullptr) {
            const std::uint8_t* row = picture_row(y);
            for (int x = left; x < right; ++x) {
                const std::uint8_t value = row[x - at_x];
                if (!(keyed && value == e.colorkey)) out[x] = colours[value];
            }
            continue;
        }
        const auto row = static_cast<std::size_t>(y - at_y);
        for (std::uint32_t r = runs->rows[row]; r < runs->rows[row + 1]; ++r) {
            const pixel_run& run = runs->runs[r];
            const int from = std::max(left, at_x + run.x);
            const int to = std::min(right, at_x + run.x + run.length);
            if (from < to) std::fill(out + from, out + to, colours[run.value]);
        }
    }
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
    return true;
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

void draw_texts(const finished_texts& done, SDL_Surface* screen) {
    if (!done.texts) return;
    text_runs_cache runs = cache_for(*done.texts);
    for (const checked_text& text : done.texts->texts) {
        if (text.entry.outcome != text_outcome::drawn) continue;
        if (paint_text_directly(text, screen, runs)) continue;
        const surface_handle surface = surface_of(text);
        if (!surface) continue;
        SDL_Rect at{static_cast<Sint16>(text.entry.x), static_cast<Sint16>(text.entry.y), 0, 0};
        (void)SDL_UpperBlit(surface.get(), nullptr, screen, &at);
    }
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
        append(found, paint_texts_part(doc, c, finish_texts_stage(c.text_stage, c.texts), screen));
        c.text_stage = stage_job{};
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
