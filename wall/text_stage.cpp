// The texts stage: each text rendered in the font the caller handed over, as SDL_ttf's
// solid mode renders it and laid, in order, into one layer of the window's size.
//
// A few kilobytes can ask for thousands of texts at the largest point size, each a
// different glyph, and the font keeps every glyph it made while it is open. So every
// text is measured before it is rendered and counted against the document's budget of
// rendered pixels, a text wholly outside the window is not rendered at all, and the
// font is opened afresh (its glyphs let go) whenever what it has made since it was
// opened passes a bound.
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "document/limits.hpp"
#include "wall/sdl_handles.hpp"
#include "wall/stages.hpp"

namespace zub {

namespace {

// What the font may have made, in pixels, before it is opened afresh.
constexpr std::uint64_t glyph_cache_pixels = std::uint64_t{32} << 20U;

struct font_release {
    void operator()(TTF_Font* font) const { TTF_CloseFont(font); }
};
using font_handle = std::unique_ptr<TTF_Font, font_release>;

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
    std::strncpy(to, from, N - 1);
    to[N - 1] = '\0';
}

font_handle open_font(bytes_view font, int points) {
    stream_handle stream{SDL_RWFromConstMem(font.data(), static_cast<int>(font.size()))};
    if (!stream) return font_handle{};
    // The font closes the stream, when it is closed itself (or fails to open).
    return font_handle{TTF_OpenFontRW(stream.release(), 1, points)};
}

// The rows and columns of a `width` x `height` text at (x, y) that a window shows: all
// of them on a side whose length is not known.
struct visible_span {
    int first = 0;
    int end = 0;
};
visible_span visible(int at, int length, int window) {
    const int first = std::max(0, -at);
    const int end = window > 0 ? std::min(length, window - at) : length;
    return {first, std::max(first, end)};
}

// The most pixels the renderings kept for strings drawn again may hold.
constexpr std::uint64_t kept_rendering_pixels = std::uint64_t{16} << 20U;

// A rendering SDL_ttf's solid mode makes: 8 bits a pixel, colour key 0, and only the text's
// colour (1) elsewhere. Blitting it lays the text's colour where the pixels are 1.
bool is_two_colour(const SDL_Surface& s) {
    if (s.format->BitsPerPixel != 8 || s.format->palette == nullptr || (s.flags & SDL_SRCCOLORKEY) == 0 ||
        (s.flags & SDL_SRCALPHA) != 0 || s.format->colorkey != 0)
        return false;
    for (int y = 0; y < s.h; ++y) {
        const auto* row = static_cast<const std::uint8_t*>(s.pixels) +
                          static_cast<std::size_t>(s.pitch) * static_cast<std::size_t>(y);
        // Eight pixels at a time: any bit but the lowest of each byte is a value past 1.
        std::uint64_t seen = 0;
        int x = 0;
        for (; x + 8 <= s.w; x += 8) {
            std::uint64_t eight = 0;
            std::memcpy(&eight, row + x, sizeof eight);
            seen |= eight;
        }
        for (; x < s.w; ++x) seen |= row[x];
        if ((seen & ~std::uint64_t{0x0101010101010101}) != 0) return false;
    }
    return true;
}

// A row of a rendering laid over the layer's row: `value` where its pixel is 1, the value
// there before where it is 0 (the colour key).
template <class Value>
void lay_row(const std::uint8_t* from, std::uint8_t* to, std::size_t count, Value value) {
    for (std::size_t c = 0; c < count; ++c) {
        Value was = 0;
        std::memcpy(&was, to + c * sizeof(Value), sizeof was);
        const Value now = from[c] != 0 ? value : was;
        std::memcpy(to + c * sizeof(Value), &now, sizeof now);
    }
}

// The window-sized layer the texts are laid into, and the part of it they cover.
struct layer_writer {
    std::uint8_t* values;
    layer_shape shape;
    texts_handback* header;

    // The visible part of `s` at (x, y), its pixels 1 made value `value`.
    void lay(const SDL_Surface& s, int x, int y, std::uint32_t value) const {
        const visible_span columns = visible(x, s.w, shape.width);
        const visible_span rows = visible(y, s.h, shape.height);
        if (columns.first >= columns.end || rows.first >= rows.end) return;
        const auto width = static_cast<std::size_t>(shape.width);
        const auto bytes = static_cast<std::size_t>(shape.value_bytes);
        const auto count = static_cast<std::size_t>(columns.end - columns.first);
        for (int r = rows.first; r < rows.end; ++r) {
            const auto* from = static_cast<const std::uint8_t*>(s.pixels) +
                               static_cast<std::size_t>(s.pitch) * static_cast<std::size_t>(r) +
                               static_cast<std::size_t>(columns.first);
            std::uint8_t* to = values + (static_cast<std::size_t>(y + r) * width +
                                         static_cast<std::size_t>(x + columns.first)) *
                                            bytes;
            if (bytes == 2) {
                lay_row(from, to, count, static_cast<std::uint16_t>(value));
            } else {
                lay_row(from, to, count, value);
            }
        }
        header->drawn_left = std::min(header->drawn_left, x + columns.first);
        header->drawn_top = std::min(header->drawn_top, y + rows.first);
        header->drawn_right = std::max(header->drawn_right, x + columns.end);
        header->drawn_bottom = std::max(header->drawn_bottom, y + rows.end);
    }
};

// The string as it is shown: at most 255 bytes, up to its first zero byte.
std::array<char, 256> shown_string(const text_to_render& t) {
    std::array<char, 256> text{};
    std::copy_n(t.text.begin(), std::min<std::size_t>(t.text.size(), 255), text.begin());
    return text;
}

bool wholly_outside(const text_to_render& t, int width, int height, const texts_ask& ask) {
    return (ask.window_width > 0 && t.x >= ask.window_width) ||
           (ask.window_height > 0 && t.y >= ask.window_height) || t.x + width <= 0 || t.y + height <= 0;
}

// The pixels a text counts against the document's budget, as a stage that draws it counts
// them (rendered, it is as wide as the font measures it and as tall as the font's
// height), without rendering it: 0 for a text it would not render. For the texts before a
// stage's slice.
std::uint64_t counted_pixels(TTF_Font* font, const text_to_render& t, const texts_ask& ask,
                             std::uint64_t rendered) {
    const std::array<char, 256> text = shown_string(t);
    int width = 0;
    int height = 0;
    if (text[0] == '\0' || TTF_SizeText(font, text.data(), &width, &height) != 0 || width == 0 ||
        std::int64_t{width} * height > max_text_pixels || wholly_outside(t, width, height, ask) ||
        rendered + static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) >
            text_budget_pixels)
        return 0;
    return static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(TTF_FontHeight(font));
}

}  // namespace

void prepare_texts_stage() {
    (void)TTF_Init();
    SDL_FreeSurface(SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 8, 0, 0, 0, 0));
    SDL_SetError("%s", "");
}

int run_texts_stage(bytes_view input, const texts_ask& ask, std::span<std::uint8_t> handback) {
    auto* header = reinterpret_cast<texts_handback*>(handback.data());
    const std::optional<texts_input> request = read_texts_request(input);
    if (!request || ask.first > request->texts.size() ||
        handback.size() < texts_handback_bytes(request->texts.size() - ask.first, ask)) {
        copy_text(header->report.error, "the texts handed over are not laid out as they should be");
        return exit_failed;
    }
    const std::vector<text_to_render>& texts = request->texts;
    // This stage's slice of the texts: their entries and the layer's values.
    const std::size_t first = std::min<std::size_t>(ask.first, texts.size());
    const std::size_t count = texts.size() - first;
    header->report.progress = progress_working;
    header->entry_capacity = static_cast<std::uint32_t>(count);
    const layer_shape shape = texts_layer_shape(count, ask);
    header->layer_width = shape.width;
    header->layer_height = shape.height;
    header->layer_value_bytes = shape.value_bytes;
    header->drawn_left = shape.width;
    header->drawn_top = shape.height;
    // Every text's entry is written: their pages are made at once.
    make_pages(handback.subspan(handback_header_bytes, count * sizeof(text_entry)));
    auto* entries = reinterpret_cast<text_entry*>(handback.data() + handback_header_bytes);
    layer_writer layer{handback.data() + texts_layer_offset(count), shape, header};

    font_handle font = open_font(request->font, ask.points);
    if (!font) {
        copy_text(header->font_error, TTF_GetError());
        header->report.progress = progress_done;
        return exit_done;
    }
    header->font_opened = 1;
    std::uint64_t rendered = 0;    // pixels, against the budget
    std::uint64_t since_open = 0;  // pixels, against the glyph cache's bound
    // A text's pixels do not depend on its colour: a string drawn again is laid from its
    // first rendering, kept within kept_rendering_pixels.
    std::unordered_map<std::string, surface_handle> kept;
    std::uint64_t kept_pixels = 0;
    for (std::size_t i = 0; i < first; ++i) rendered += counted_pixels(font.get(), texts[i], ask, rendered);
    for (std::size_t i = first; i < texts.size(); ++i) {
        const text_to_render& t = texts[i];
        text_entry entry{};
        entry.number = t.number;
        const std::array<char, 256> text = shown_string(t);
        int width = 0;
        int height = 0;
        if (text[0] == '\0') {
            entry.outcome = text_outcome::nothing_to_draw;
        } else if (TTF_SizeText(font.get(), text.data(), &width, &height) != 0) {
            entry.outcome = text_outcome::not_rendered;
            copy_text(entry.error, TTF_GetError());
        } else if (entry.text_width = width, entry.text_height = height;
                   std::int64_t{width} * height > max_text_pixels) {
            entry.outcome = text_outcome::too_large;
        } else if (wholly_outside(t, width, height, ask)) {
            entry.outcome = text_outcome::outside;
        } else if (rendered + static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) >
                   text_budget_pixels) {
            entry.outcome = text_outcome::past_budget;
        } else if (!ask.pixels) {
            // Rendered all the same: what the font cannot render is found.
            const surface_handle s{
                TTF_RenderText_Solid(font.get(), text.data(), SDL_Color{t.red, t.green, t.blue, 0})};
            if (s) {
                entry.outcome = text_outcome::measured;
                const auto pixels = static_cast<std::uint64_t>(s->w) * static_cast<std::uint64_t>(s->h);
                rendered += pixels;
                since_open += pixels;
            } else {
                entry.outcome = text_outcome::not_rendered;
                copy_text(entry.error, TTF_GetError());
            }
        } else {
            const auto found = kept.find(text.data());
            surface_handle made;
            const SDL_Surface* s = found != kept.end() ? found->second.get() : nullptr;
            if (s == nullptr) {
                made.reset(
                    TTF_RenderText_Solid(font.get(), text.data(), SDL_Color{t.red, t.green, t.blue, 0}));
                if (made && SDL_LockSurface(made.get()) == 0) {
                    const bool plain = is_two_colour(*made);
                    SDL_UnlockSurface(made.get());
                    if (plain) s = made.get();
                }
                if (made)
                    since_open += static_cast<std::uint64_t>(made->w) * static_cast<std::uint64_t>(made->h);
            }
            if (s == nullptr) {
                entry.outcome = text_outcome::not_rendered;
                copy_text(entry.error, made ? "the renderer made no picture of two colours" : TTF_GetError());
            } else {
                rendered += static_cast<std::uint64_t>(s->w) * static_cast<std::uint64_t>(s->h);
                entry.outcome = text_outcome::drawn;
                layer.lay(*s, t.x, t.y, static_cast<std::uint32_t>(i - first + 1));
                const auto pixels = static_cast<std::uint64_t>(s->w) * static_cast<std::uint64_t>(s->h);
                if (made && kept_pixels + pixels <= kept_rendering_pixels) {
                    kept_pixels += pixels;
                    kept.emplace(text.data(), std::move(made));
                }
            }
        }
        std::memcpy(&entries[i - first], &entry, sizeof entry);
        header->entries_done = static_cast<std::uint32_t>(i - first + 1);
        if (since_open > glyph_cache_pixels) {
            font.reset();
            font = open_font(request->font, ask.points);
            since_open = 0;
            if (!font) {
                copy_text(header->report.error, TTF_GetError());
                return exit_failed;
            }
        }
    }
    header->report.progress = progress_done;
    return exit_done;
}

}  // namespace zub
