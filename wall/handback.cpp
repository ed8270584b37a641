#include "wall/handback.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <utility>

#include "document/image_probe.hpp"
#include "document/limits.hpp"

namespace zub {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (unsigned shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8U));
}

constexpr std::uint32_t known_flags = surface_colorkey | surface_rle | surface_alpha;

// A picture's layout that SDL can make a surface of, whose pixels lie within `area`
// from `offset`: the pixels, or why not.
result<const std::uint8_t*> check_layout(const surface_layout& s, std::span<const std::uint8_t> area,
                                         std::uint64_t offset) {
    const int bpp = s.bits_per_pixel;
    if (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32)
        return failure{"an unknown pixel format"};
    const std::int64_t bytes_per_pixel = (bpp + 7) / 8;
    if (s.width < 1 || s.height < 1 || s.width > max_image_width || s.height > max_image_height)
        return failure{"a picture of an impossible size"};
    // SDL keeps a row's length in 16 bits.
    if (s.pitch < s.width * bytes_per_pixel || s.pitch > 65535) return failure{"rows of a wrong length"};
    const std::uint64_t bytes =
        std::uint64_t{static_cast<std::uint32_t>(s.pitch)} * static_cast<std::uint32_t>(s.height);
    if (offset > area.size() || bytes > area.size() - offset) return failure{"fewer pixels than it says"};
    if (s.colour_count < 0 || s.colour_count > 256) return failure{"an impossible palette"};
    // The colour key is a pixel value: SDL looks it up in the palette.
    if (bpp < 32 && s.colorkey >> static_cast<unsigned>(bpp) != 0) return failure{"an impossible colour key"};
    if ((s.flags & ~known_flags) != 0) return failure{"unknown surface flags"};
    // Each channel's mask a run of at most 8 bits inside the pixel, the channels apart. A
    // palette picture's masks are not used: SDL goes by the palette (SDL_image gives grey
    // PNGs the RGB masks all the same).
    std::uint32_t seen = 0;
    if (bpp == 8 && s.colour_count > 0) return area.data() + offset;
    for (const std::uint32_t mask : s.masks) {
        const bool contiguous = (mask & (mask + (mask & (~mask + 1U)))) == 0;
        const bool inside = bpp == 32 || mask >> static_cast<unsigned>(bpp) == 0;
        if (!contiguous || !inside || std::popcount(mask) > 8 || (mask & seen) != 0)
            return failure{"an impossible pixel format"};
        seen |= mask;
    }
    return area.data() + offset;
}

// SDL_image 1.2 gives a grey PNG with a transparent grey (tRNS) as grey and alpha bytes
// in a 16-bit pixel, with the masks of 24-bit RGB: red the grey, green the alpha, blue
// past the pixel and so always 0, and a colour key of the grey in all three. SDL 1.2
// converts such a surface by those masks, and the classic viewer showed it so; SDL2 makes
// no surface of it. The same channels in 24-bit RGB, and the same key, convert to the
// very same pixels, on either runtime.
bool is_grey_with_alpha_bytes(const surface_layout& s) {
    return s.bits_per_pixel == 16 && s.colour_count == 0 && s.masks[0] == 0xFFU && s.masks[1] == 0xFF00U &&
           s.masks[2] == 0xFF0000U && s.masks[3] == 0;
}

void relay_grey_with_alpha_bytes(surface_layout& s, const std::uint8_t* pixels,
                                 std::vector<std::uint8_t>& out) {
    const auto width = static_cast<std::size_t>(s.width);
    const std::size_t row = width * 3;
    out.assign(row * static_cast<std::size_t>(s.height), 0);
    for (std::size_t y = 0; y < static_cast<std::size_t>(s.height); ++y) {
        const std::uint8_t* from = pixels + y * static_cast<std::size_t>(s.pitch);
        std::uint8_t* to = out.data() + y * row;
        for (std::size_t x = 0; x < width; ++x) {
            // The pixel as SDL reads it, a 16-bit value in the machine's order.
            std::uint16_t pixel = 0;
            std::memcpy(&pixel, from + 2 * x, sizeof pixel);
            to[3 * x] = static_cast<std::uint8_t>(pixel & 0xFFU);
            to[3 * x + 1] = static_cast<std::uint8_t>(pixel >> 8U);
        }
    }
    s.bits_per_pixel = 24;
    s.pitch = static_cast<std::int32_t>(row);
    // The key's channels as SDL reads them by the old masks, red, green and blue.
    s.colorkey &= 0xFFFFFFU;
}

template <class T>
T read_struct(std::span<const std::uint8_t> bytes) {
    T value{};
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

}  // namespace

std::int64_t realtime_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string stage_text(const char* text, std::size_t size) {
    std::string out(text, strnlen(text, size));
    for (char& c : out) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return out;
}

std::vector<std::uint8_t> texts_request(bytes_view font, std::span<const text_to_render> texts) {
    std::vector<std::uint8_t> out;
    put_u32(out, static_cast<std::uint32_t>(texts.size()));
    put_u32(out, static_cast<std::uint32_t>(font.size()));
    out.insert(out.end(), font.begin(), font.end());
    for (const text_to_render& t : texts) {
        const auto length = static_cast<std::uint8_t>(std::min<std::size_t>(t.text.size(), 255));
        put_u32(out, t.number);
        out.insert(out.end(), {t.red, t.green, t.blue, length});
        put_u16(out, static_cast<std::uint16_t>(t.x));
        put_u16(out, static_cast<std::uint16_t>(t.y));
        out.insert(out.end(), t.text.begin(), t.text.begin() + length);
    }
    return out;
}

std::optional<texts_input> read_texts_request(bytes_view input) {
    const auto count = read_u32le(input, 0);
    const auto font_bytes = read_u32le(input, 4);
    if (!count || !font_bytes || *count > max_texts) return std::nullopt;
    texts_input out;
    const auto font = read_bytes(input, 8, *font_bytes);
    if (!font) return std::nullopt;
    out.font = *font;
    std::uint64_t at = 8 + std::uint64_t{*font_bytes};
    out.texts.reserve(*count);
    for (std::uint32_t i = 0; i < *count; ++i) {
        const auto head = read_bytes(input, at, text_request_head_bytes);
        if (!head) return std::nullopt;
        text_to_render t;
        t.number = *read_u32le(*head, 0);
        t.red = (*head)[4];
        t.green = (*head)[5];
        t.blue = (*head)[6];
        const std::uint8_t length = (*head)[7];
        t.x = *read_i16le(*head, 8);
        t.y = *read_i16le(*head, 10);
        const auto text = read_bytes(input, at + text_request_head_bytes, length);
        if (!text) return std::nullopt;
        t.text = *text;
        out.texts.push_back(t);
        at += text_request_head_bytes + length;
    }
    return out;
}

std::uint64_t image_handback_bytes(bytes_view image, const image_ask& ask) {
    if (!ask.pixels) return handback_header_bytes;
    // A side the window bounds is the window's; one it does not, the declared image's.
    const auto declared = probe_image_size(image);
    const auto side = [&](int visible, std::int64_t image_side, std::int64_t most) {
        if (visible > 0) return std::min<std::int64_t>(visible, most);
        return declared ? std::clamp<std::int64_t>(image_side, 1, most) : most;
    };
    const std::int64_t width = side(ask.visible_width, declared ? declared->width : 0, max_image_width);
    const std::int64_t height = side(ask.visible_height, declared ? declared->height : 0, max_image_height);
    return handback_header_bytes + static_cast<std::uint64_t>(width * height * 4);
}

layer_shape texts_layer_shape(std::uint64_t count, const texts_ask& ask) {
    if (!ask.pixels) return layer_shape{0, 0, 2};
    const auto side = [](int window) {
        return static_cast<std::int32_t>(window > 0 ? std::min<std::int64_t>(window, max_window_side)
                                                    : max_window_side);
    };
    return layer_shape{side(ask.window_width), side(ask.window_height), count < 0xFFFF ? 2 : 4};
}

std::uint64_t texts_layer_offset(std::uint64_t count) {
    return handback_header_bytes + count * sizeof(text_entry);
}

std::uint64_t texts_handback_bytes(std::uint64_t count, const texts_ask& ask) {
    return texts_layer_offset(count) + texts_layer_shape(count, ask).bytes();
}

result<checked_image> read_image_handback(std::span<const std::uint8_t> handback, bool pixels_asked) {
    if (handback.size() < handback_header_bytes) return failure{"the decoder handed back too few bytes"};
    const auto header = read_struct<image_handback>(handback);
    checked_image out;
    out.format = stage_text(header.format, sizeof header.format);
    const auto refuse = [](const std::string& why) { return failure{"the decoder handed back " + why}; };
    if (header.report.progress != progress_done) return refuse("no picture");
    if (header.image_width < 1 || header.image_height < 1 || header.image_width > max_image_width ||
        header.image_height > max_image_height) {
        return refuse("a picture of an impossible size");
    }
    out.image_width = header.image_width;
    out.image_height = header.image_height;
    out.picture.layout = header.picture;
    if (!pixels_asked) return out;
    surface_layout s = header.picture;
    if (s.width > header.image_width || s.height > header.image_height)
        return refuse("a picture of an impossible size");
    const bool relaid = is_grey_with_alpha_bytes(s);
    // Checked as the 16-bit picture it is, with a mask inside the pixel for blue.
    surface_layout checked = s;
    if (relaid) checked.masks[2] = 0;
    if (relaid) checked.colorkey &= 0xFFFFU;
    const result<const std::uint8_t*> pixels =
        check_layout(checked, handback.subspan(handback_header_bytes), 0);
    if (!pixels) return refuse(pixels.why());
    if (header.pixel_bytes !=
        std::uint64_t{static_cast<std::uint32_t>(s.pitch)} * static_cast<std::uint32_t>(s.height))
        return refuse("fewer pixels than it says");
    out.has_pixels = true;
    out.picture.pixels = *pixels;
    if (relaid) {
        auto laid = std::make_shared<std::vector<std::uint8_t>>();
        relay_grey_with_alpha_bytes(s, *pixels, *laid);
        out.picture.layout = s;
        out.picture.pixels = laid->data();
        out.relaid = std::move(laid);
    }
    return out;
}

result<checked_texts> read_texts_handback(std::span<const std::uint8_t> handback,
                                          std::span<const text_to_render> asked, const texts_ask& ask) {
    const std::uint64_t layer_at = texts_layer_offset(asked.size());
    if (handback.size() < layer_at) return failure{"the text renderer handed back too few bytes"};
    const auto header = read_struct<texts_handback>(handback);
    checked_texts out;
    out.font_opened = header.font_opened == 1;
    out.font_error = stage_text(header.font_error, sizeof header.font_error);
    const std::size_t done = std::min<std::size_t>(header.entries_done, asked.size());
    const std::span<const std::uint8_t> entries =
        handback.subspan(handback_header_bytes, asked.size() * sizeof(text_entry));
    out.texts.reserve(done);
    for (std::size_t i = 0; i < done; ++i) {
        checked_text text;
        text.entry = read_struct<text_entry>(entries.subspan(i * sizeof(text_entry)));
        const text_entry& e = text.entry;
        if (e.number != asked[i].number || e.outcome < text_outcome::drawn ||
            e.outcome > text_outcome::measured) {
            return failure{
                "the text renderer handed back " +
                std::string(e.number != asked[i].number ? "another record" : "an unknown outcome") +
                " for text record " + std::to_string(asked[i].number)};
        }
        text.error = stage_text(e.error, sizeof e.error);
        out.texts.push_back(std::move(text));
    }
    // The layer: the size the caller asked for, and within it only values of texts the
    // stage was given; what it names must be a finished text it drew, or one it had not
    // finished (left out). A value past the texts, or a text it did not draw, is refused.
    checked_layer layer;
    layer.shape = texts_layer_shape(asked.size(), ask);
    if (layer.shape.bytes() == 0) return out;
    const auto refuse = [](const std::string& why) {
        return failure{"the text renderer handed back " + why};
    };
    if (header.layer_width != layer.shape.width || header.layer_height != layer.shape.height ||
        header.layer_value_bytes != layer.shape.value_bytes ||
        handback.size() - layer_at < layer.shape.bytes())
        return refuse("a layer of another size");
    if (header.drawn_left >= header.drawn_right || header.drawn_top >= header.drawn_bottom) return out;
    if (header.drawn_left < 0 || header.drawn_top < 0 || header.drawn_right > layer.shape.width ||
        header.drawn_bottom > layer.shape.height)
        return refuse("texts outside its layer");
    layer.values = handback.data() + layer_at;
    layer.left = header.drawn_left;
    layer.top = header.drawn_top;
    layer.right = header.drawn_right;
    layer.bottom = header.drawn_bottom;
    layer.most = static_cast<std::uint32_t>(done);
    std::uint32_t wrong = 0;  // the first value refused
    each_layer_value(layer, [&](int, int, std::uint32_t v) {
        if (wrong == 0 &&
            (v > asked.size() || (v <= done && out.texts[v - 1].entry.outcome != text_outcome::drawn)))
            wrong = v;
    });
    if (wrong > asked.size()) return refuse("a pixel of no text it was given");
    if (wrong != 0)
        return refuse("a pixel of text record " + std::to_string(asked[wrong - 1].number) +
                      ", which it did not draw");
    layer.colours.reserve(done);
    for (std::size_t i = 0; i < done; ++i)
        layer.colours.push_back({asked[i].red, asked[i].green, asked[i].blue});
    out.layers.push_back(std::move(layer));
    return out;
}

}  // namespace zub
