// The texts stage: each text rendered in the font the caller handed over, as SDL_ttf's
// solid mode renders it, and the part of it the window shows handed back.
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

// What makes two texts' pixels the same: the string, and the part of it the window shows
// (from its size and place).
std::string reuse_key(const char* text, const text_to_render& t, int width, int height,
                      const texts_ask& ask) {
    const visible_span columns = visible(t.x, width, ask.window_width);
    const visible_span rows = visible(t.y, height, ask.window_height);
    std::string key(text);
    for (const int n : {columns.first, columns.end, rows.first, rows.end}) {
        key += '\0';
        key += std::to_string(n);
    }
    return key;
}

bool wholly_outside(const text_to_render& t, int width, int height, const texts_ask& ask) {
    return (ask.window_width > 0 && t.x >= ask.window_width) ||
           (ask.window_height > 0 && t.y >= ask.window_height) || t.x + width <= 0 || t.y + height <= 0;
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
    if (!request || handback.size() < texts_handback_bytes(request->texts.size())) {
        copy_text(header->report.error, "the texts handed over are not laid out as they should be");
        return exit_failed;
    }
    const std::vector<text_to_render>& texts = request->texts;
    header->report.progress = progress_working;
    header->entry_capacity = static_cast<std::uint32_t>(texts.size());
    // Every text's entry is written: their pages are made at once.
    make_pages(handback.subspan(handback_header_bytes, texts.size() * sizeof(text_entry)));
    auto* entries = reinterpret_cast<text_entry*>(handback.data() + handback_header_bytes);
    std::uint8_t* area = handback.data() + handback_header_bytes + texts.size() * sizeof(text_entry);
    const std::uint64_t area_bytes = text_budget_pixels;

    font_handle font = open_font(request->font, ask.points);
    if (!font) {
        copy_text(header->font_error, TTF_GetError());
        header->report.progress = progress_done;
        return exit_done;
    }
    header->font_opened = 1;
    std::uint64_t rendered = 0;    // pixels, against the budget
    std::uint64_t since_open = 0;  // pixels, against the glyph cache's bound
    std::uint64_t used = 0;        // bytes of the pixel area
    // A text's pixels do not depend on its colour (only its palette does): a string drawn
    // again with the same part in the window is handed back once. Keyed by the string and
    // the part.
    std::unordered_map<std::string, text_entry> drawn_before;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const text_to_render& t = texts[i];
        text_entry entry{};
        entry.number = t.number;
        // The string as it is shown: at most 255 bytes, up to its first zero byte.
        std::array<char, 256> text{};
        std::copy_n(t.text.begin(), std::min<std::size_t>(t.text.size(), 255), text.begin());
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
        } else if (const auto same = drawn_before.find(reuse_key(text.data(), t, width, height, ask));
                   ask.pixels && same != drawn_before.end()) {
            // Counted against the budget as if rendered: the budget is the document's.
            rendered += static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
            entry = same->second;
            entry.number = t.number;
            entry.x = t.x + visible(t.x, width, ask.window_width).first;
            entry.y = t.y + visible(t.y, height, ask.window_height).first;
            entry.colours[1] = handback_colour{t.red, t.green, t.blue, 0};
            entry.colours[0] = handback_colour{
                static_cast<std::uint8_t>(255 - t.red), static_cast<std::uint8_t>(255 - t.green),
                static_cast<std::uint8_t>(255 - t.blue), entry.colours[0].unused};
        } else {
            const surface_handle s{
                TTF_RenderText_Solid(font.get(), text.data(), SDL_Color{t.red, t.green, t.blue, 0})};
            if (!s || s->format->BitsPerPixel != 8 || s->format->palette == nullptr ||
                s->format->palette->ncolors < 2) {
                entry.outcome = text_outcome::not_rendered;
                copy_text(entry.error, s ? "the renderer made no 8-bit picture" : TTF_GetError());
            } else {
                const auto pixels = static_cast<std::uint64_t>(s->w) * static_cast<std::uint64_t>(s->h);
                rendered += pixels;
                since_open += pixels;
                entry.outcome = text_outcome::measured;
                const visible_span columns = visible(t.x, s->w, ask.window_width);
                const visible_span rows = visible(t.y, s->h, ask.window_height);
                const int part_width = columns.end - columns.first;
                const int part_height = rows.end - rows.first;
                const auto pitch = static_cast<std::uint64_t>((part_width + 3) & ~3);
                const std::uint64_t bytes = pitch * static_cast<std::uint64_t>(part_height);
                if (!ask.pixels) {
                    entry.outcome = text_outcome::measured;
                } else if (part_width < 1 || part_height < 1) {
                    entry.outcome = text_outcome::outside;
                } else if (bytes > area_bytes - used || SDL_LockSurface(s.get()) != 0) {
                    entry.outcome = text_outcome::past_budget;
                } else {
                    for (int y = 0; y < part_height; ++y) {
                        std::memcpy(area + used + pitch * static_cast<std::uint64_t>(y),
                                    static_cast<const std::uint8_t*>(s->pixels) +
                                        static_cast<std::size_t>(s->pitch) *
                                            static_cast<std::size_t>(rows.first + y) +
                                        columns.first,
                                    static_cast<std::size_t>(part_width));
                    }
                    SDL_UnlockSurface(s.get());
                    entry.outcome = text_outcome::drawn;
                    entry.x = t.x + columns.first;
                    entry.y = t.y + rows.first;
                    entry.width = part_width;
                    entry.height = part_height;
                    entry.pitch = static_cast<std::int32_t>(pitch);
                    entry.flags = s->flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK | SDL_SRCALPHA);
                    entry.colorkey = s->format->colorkey;
                    for (int c = 0; c < 2; ++c) {
                        const SDL_Color& colour = s->format->palette->colors[c];
                        entry.colours[c] = handback_colour{colour.r, colour.g, colour.b, colour.unused};
                    }
                    entry.pixel_offset = used;
                    used += bytes;
                    if (s->w == width && s->h == height)
                        drawn_before.emplace(reuse_key(text.data(), t, width, height, ask), entry);
                }
            }
        }
        std::memcpy(&entries[i], &entry, sizeof entry);
        header->entries_done = static_cast<std::uint32_t>(i + 1);
        header->pixels_used = used;
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
