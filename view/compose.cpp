#include "view/compose.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>

#include "document/limits.hpp"
#include "view/sdl_handles.hpp"

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

std::vector<problem> image_not_shown(const std::string& why) {
    return {problem{problem_code::image_not_shown, 0, 0, 0, why}};
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
    const auto whole_byte = [](Uint32 mask, Uint8 shift) { return shift <= 24 && mask == 0xFFU << shift; };
    if (to->BitsPerPixel != 32 || to->BytesPerPixel != 4 || to->Amask != 0 ||
        !whole_byte(to->Rmask, to->Rshift) || !whole_byte(to->Gmask, to->Gshift) ||
        !whole_byte(to->Bmask, to->Bshift)) {
        return false;
    }
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
    for (int y = 0; y < height; ++y) {
        const auto* in = static_cast<const Uint8*>(image->pixels) +
                         std::size_t{image->pitch} * static_cast<std::size_t>(y);
        auto* out =
            static_cast<Uint8*>(screen->pixels) + std::size_t{screen->pitch} * static_cast<std::size_t>(y);
        for (int x = 0; x < width; ++x, in += 3, out += 4) {
            const Uint32 pixel =
                Uint32{in[r]} << to->Rshift | Uint32{in[g]} << to->Gshift | Uint32{in[b]} << to->Bshift;
            std::memcpy(out, &pixel, sizeof pixel);
        }
    }
    if (SDL_MUSTLOCK(image)) SDL_UnlockSurface(image);
    if (SDL_MUSTLOCK(screen)) SDL_UnlockSurface(screen);
    return true;
}

}  // namespace

std::vector<problem> paint_background(decoded_image decoded, SDL_Surface* screen) {
    if (!decoded.picture) return image_not_shown(decoded.picture.why());
    if (paint_24_bits_directly(decoded.picture->surface.get(), screen)) return {};
    const surface_handle shown = visible_part(decoded.picture->surface.get(), screen);
    if (!shown) return image_not_shown(SDL_GetError());
    const surface_handle background{SDL_DisplayFormat(shown.get())};
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

std::vector<problem> paint_background(bytes_view image, SDL_Surface* screen) {
    return paint_background(decode_image(image, screen->w, screen->h), screen);
}

font_file read_font_file(const std::string& path) {
    std::error_code ignored;
    font_file font{std::filesystem::absolute(path, ignored).string(), {}, {}};
    if (font.path.empty()) font.path = path;
    result<file_bytes> read = read_file(path, font_bound("the font " + font.path));
    if (read) {
        font.bytes = std::move(*read);
    } else {
        font.error = read.why();
    }
    return font;
}

font_handle open_font(const font_file& file, int points) {
    stream_handle stream{SDL_RWFromConstMem(file.bytes.bytes.get(), static_cast<int>(file.bytes.size))};
    if (!stream) return font_handle{};
    // The font closes the stream, when it is closed itself (or fails to open).
    return font_handle{TTF_OpenFontRW(stream.release(), 1, points)};
}

text_outcome draw_text(const text_record& record, TTF_Font* font, SDL_Surface* screen, std::string* error) {
    const SDL_Color colour{record.red, record.green, record.blue, 0};
    const display_string text = to_display_string(record.text);
    // The renderer allocates the whole text's surface, however little of it is shown.
    int width = 0;
    int height = 0;
    if (text[0] != '\0' && TTF_SizeText(font, text.data(), &width, &height) == 0 &&
        std::int64_t{width} * height > max_text_pixels) {
        return text_outcome::too_large;
    }
    const surface_handle rendered{TTF_RenderText_Solid(font, text.data(), colour)};
    if (!rendered) {
        if (text[0] == '\0') return text_outcome::nothing_to_draw;
        if (error != nullptr) *error = TTF_GetError();
        return text_outcome::render_failed;
    }
    SDL_Rect at{record.x, record.y, 0, 0};
    if (SDL_UpperBlit(rendered.get(), nullptr, screen, &at) < 0) {
        if (error != nullptr) *error = SDL_GetError();
        return text_outcome::render_failed;
    }
    return text_outcome::drawn;
}

text_outcome draw_text_record(const text_record& record, int font_size, SDL_Surface* screen,
                              const font_file& font) {
    if (TTF_WasInit() == 0 || font_size < 1 || font_size > max_font_size || !font.error.empty()) {
        return text_outcome::font_unavailable;
    }
    const font_handle opened = open_font(font, font_size);
    if (!opened) return text_outcome::font_unavailable;
    return draw_text(record, opened.get(), screen);
}

namespace {

// A font opened from its file's bytes, which it reads from as long as it is open.
struct opened_font {
    font_file file;
    font_handle font;  // closed before the bytes go
};

problem font_not_opened(const std::string& why) {
    return problem{problem_code::font_not_opened, header_offset::font_size, 0, 0, why};
}

// The font for a pass, or why the texts cannot be drawn.
result<opened_font> font_for_pass(int font_size, const font_choice& choice) {
    if (TTF_WasInit() == 0) return failure{"the font library did not start"};
    opened_font opened{read_font_file(choice.path), {}};
    const font_file& file = opened.file;
    if (file.error.empty()) opened.font = open_font(file, font_size);
    if (!opened.font) {
        // The font library's reason is read at once, before any other call can replace it.
        const std::string why =
            file.error.empty() ? "cannot open the font " + file.path + ": " + TTF_GetError() : file.error;
        return failure{why + " (" + choice.hint + ")"};
    }
    return opened;
}

bool font_size_usable(const document& doc) {
    return doc.header.font_size >= 1 && doc.header.font_size <= max_font_size;
}

}  // namespace

std::vector<problem> draw_text_pass(const document& doc, SDL_Surface* screen, const font_choice& font) {
    std::vector<problem> found;
    // No records need no font, and a point size out of range is the document's own problem.
    if (doc.records.empty() || !font_size_usable(doc)) return found;
    result<opened_font> opened = font_for_pass(doc.header.font_size, font);
    if (!opened) {
        found.push_back(font_not_opened(opened.why()));
        return found;
    }
    bool render_warned = false;
    bool size_warned = false;
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& record = doc.records[i];
        const auto number = static_cast<std::int64_t>(i) + 1;
        std::string error;
        switch (draw_text(record, opened->font.get(), screen, &error)) {
            case text_outcome::render_failed:
                if (!render_warned)
                    found.push_back(
                        problem{problem_code::text_not_rendered, record.offset, 0, number, error});
                render_warned = true;
                break;
            case text_outcome::too_large:
                if (!size_warned)
                    found.push_back(
                        problem{problem_code::rendered_text_too_large, record.offset, 0, number, {}});
                size_warned = true;
                break;
            case text_outcome::drawn:
            case text_outcome::nothing_to_draw:
            case text_outcome::font_unavailable:
                break;
        }
    }
    return found;
}

namespace {

void append(std::vector<problem>& to, std::vector<problem> more) {
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

std::vector<problem> at_image(const document& doc, std::vector<problem> found) {
    for (problem& p : found) p.offset = doc.image_offset;
    return found;
}

}  // namespace

std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, decoder_job& decoding,
                                      const font_choice& font) {
    std::vector<problem> found = at_image(doc, paint_background(finish_decoding(decoding), screen));
    append(found, draw_text_pass(doc, screen, font));
    append(found, doc.warnings());
    drop_moot(found);
    return found;
}

std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, const font_choice& font) {
    decoder_job decoding = start_decoding(doc.image, screen->w, screen->h);
    return compose_document(doc, screen, decoding, font);
}

std::vector<problem> find_composing_problems(const document& doc, const decoded_image& decoded,
                                             const font_choice& font) {
    std::vector<problem> found;
    if (!decoded.picture) {
        found.push_back(
            problem{problem_code::image_not_shown, doc.image_offset, 0, 0, decoded.picture.why()});
    }
    // The texts are rendered onto a surface of one pixel: rendering finds what drawing would.
    const surface_handle scratch{SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 32, 0xFF0000, 0xFF00, 0xFF, 0)};
    if (scratch) append(found, draw_text_pass(doc, scratch.get(), font));
    return found;
}

std::vector<problem> find_texts_outside(const document& doc, const font_choice& font) {
    const std::int64_t width = doc.header.width;
    const std::int64_t height = doc.header.height;
    // Without the font only texts that start right of or below the window are found.
    const result<opened_font> opened =
        font_size_usable(doc) ? font_for_pass(doc.header.font_size, font) : failure{"no usable point size"};
    TTF_Font* measure = opened ? opened->font.get() : nullptr;
    std::vector<problem> found;
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& r = doc.records[i];
        const display_string text = to_display_string(r.text);
        if (text[0] == '\0') continue;
        int text_width = 0;
        int text_height = 0;
        const bool sized =
            measure != nullptr && TTF_SizeText(measure, text.data(), &text_width, &text_height) == 0;
        const bool right_or_below = (width > 0 && r.x >= width) || (height > 0 && r.y >= height);
        const bool left_or_above = sized && (r.x + text_width <= 0 || r.y + text_height <= 0);
        if (right_or_below || left_or_above) {
            found.push_back(problem{
                problem_code::text_outside_window, r.offset, 0, static_cast<std::int64_t>(i) + 1, {}});
        }
    }
    return found;
}

}  // namespace zub
