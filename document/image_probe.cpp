#include "document/image_probe.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "document/limits.hpp"

namespace zub {

namespace {

bool starts_with(bytes_view bytes, std::string_view magic) {
    return bytes.size() >= magic.size() && std::memcmp(bytes.data(), magic.data(), magic.size()) == 0;
}

std::optional<image_size> sized(const char* format, std::int64_t width, std::int64_t height) {
    return image_size{format, width, height};
}

std::optional<image_size> png_size(bytes_view b) {
    const auto w = read_u32be(b, 16), h = read_u32be(b, 20);
    if (!w || !h) return std::nullopt;
    return sized("PNG", *w, *h);
}

bool is_sof(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

std::optional<image_size> jpeg_size(bytes_view b) {
    std::uint64_t at = 2;
    while (true) {
        const auto ff = read_u8(b, at);
        if (!ff) return std::nullopt;
        if (*ff != 0xFF) return std::nullopt;
        const auto marker = read_u8(b, at + 1);
        if (!marker) return std::nullopt;
        if (*marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        if (*marker == 0xD8 || *marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD7)) {
            at += 2;  // markers without a length
            continue;
        }
        if (*marker == 0xD9 || *marker == 0xDA) return std::nullopt;  // no frame header before the data
        const auto length = read_u16be(b, at + 2);
        if (!length) return std::nullopt;
        if (is_sof(*marker)) {
            const auto h = read_u16be(b, at + 5), w = read_u16be(b, at + 7);
            if (!w || !h) return std::nullopt;
            return sized("JPEG", *w, *h);
        }
        at += 2 + std::uint64_t{*length};
    }
}

bool is_lbm(bytes_view b) {
    const bytes_view kind = b.subspan(std::min<std::size_t>(b.size(), 8));
    return starts_with(b, "FORM") && (starts_with(kind, "ILBM") || starts_with(kind, "PBM "));
}

bool is_gif(bytes_view b) { return starts_with(b, "GIF87a") || starts_with(b, "GIF89a"); }

// Walks a GIF the way the decoder does up to its first image: the decoder takes the
// first image descriptor (','), skipping extensions ('!', a label and sub-blocks up to
// an empty one) and any other byte on the way; ';' ends the file.
std::optional<image_size> gif_size(bytes_view b) {
    const auto flags = read_u8(b, 10);
    if (!flags) return {};
    std::uint64_t at = 13;
    if ((*flags & 0x80U) != 0) at += 3ULL << ((*flags & 7U) + 1);
    while (true) {
        const auto kind = read_u8(b, at);
        if (!kind || *kind == ';') return {};
        if (*kind == ',') {
            const auto w = read_u16le(b, at + 5), h = read_u16le(b, at + 7);
            if (!w || !h) return {};
            return sized("GIF", *w, *h);
        }
        if (*kind != '!') {
            ++at;
            continue;
        }
        const auto label = read_u8(b, at + 1);
        if (!label) return {};  // the decoder stops at a missing label
        at += 2;
        // A graphic control extension's first block is taken whatever its size, even
        // when it is the empty block that would end any other extension.
        bool first = *label == 0xF9;
        while (true) {
            const auto block = read_u8(b, at);
            if (!block || !fits(b, at + 1, *block)) return {};
            at += 1 + std::uint64_t{*block};
            if (*block == 0 && !first) break;
            first = false;
        }
    }
}

// A Windows or OS/2 bitmap header at `at`; the height may be negative (top-down rows).
std::optional<image_size> bitmap_header_size(bytes_view b, std::uint64_t at, const char* format) {
    const auto header = read_u32le(b, at);
    if (!header) return std::nullopt;
    if (*header == 12) {
        const auto w = read_u16le(b, at + 4), h = read_u16le(b, at + 6);
        if (!w || !h) return std::nullopt;
        return sized(format, *w, *h);
    }
    const auto w = read_i32le(b, at + 4), h = read_i32le(b, at + 8);
    if (!w || !h) return std::nullopt;
    return sized(format, std::int64_t{*w}, std::abs(std::int64_t{*h}));
}

std::optional<image_size> icon_size(bytes_view b, const char* format) {
    // The largest bitmap the directory points at is what the library may build.
    const auto count = read_u16le(b, 4);
    if (!count) return std::nullopt;
    std::optional<image_size> largest;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const auto offset = read_u32le(b, 6 + i * 16 + 12);
        if (!offset) break;
        const auto size = bitmap_header_size(b, *offset, format);
        if (size && (!largest || size->width * size->height > largest->width * largest->height))
            largest = size;
    }
    return largest;
}

bool is_space(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// A decimal number in a text header, after white space and '#' comments; saturates
// instead of overflowing.
std::optional<std::int64_t> text_number(bytes_view b, std::uint64_t& at) {
    while (true) {
        const auto c = read_u8(b, at);
        if (!c) return std::nullopt;
        if (is_space(*c)) {
            ++at;
        } else if (*c == '#') {
            while (read_u8(b, at).value_or('\n') != '\n' && at < b.size()) ++at;
        } else {
            break;
        }
    }
    std::int64_t value = 0;
    bool any = false;
    for (auto c = read_u8(b, at); c && *c >= '0' && *c <= '9'; c = read_u8(b, ++at)) {
        value = std::min<std::int64_t>(value * 10 + (*c - '0'), INT64_C(1) << 40);
        any = true;
    }
    if (!any) return std::nullopt;
    return value;
}

std::optional<image_size> two_numbers(bytes_view b, std::uint64_t at, const char* format) {
    const auto w = text_number(b, at);
    if (!w) return std::nullopt;
    const auto h = text_number(b, at);
    if (!h) return std::nullopt;
    return sized(format, *w, *h);
}

std::optional<image_size> pcx_size(bytes_view b) {
    const auto x0 = read_i16le(b, 4), y0 = read_i16le(b, 6), x1 = read_i16le(b, 8), y1 = read_i16le(b, 10);
    if (!x0 || !y0 || !x1 || !y1) return std::nullopt;
    return sized("PCX", std::int64_t{*x1} - *x0 + 1, std::int64_t{*y1} - *y0 + 1);
}

std::optional<image_size> tiff_size(bytes_view b) {
    const bool little = b[0] == 'I';
    const auto u16 = [&](std::uint64_t at) { return little ? read_u16le(b, at) : read_u16be(b, at); };
    const auto u32 = [&](std::uint64_t at) { return little ? read_u32le(b, at) : read_u32be(b, at); };
    const auto ifd = u32(4);
    if (!ifd) return std::nullopt;
    const auto count = u16(*ifd);
    if (!count) return std::nullopt;
    std::optional<std::int64_t> width, height;
    for (std::uint64_t i = 0; i < *count; ++i) {
        const std::uint64_t entry = *ifd + 2 + i * 12;
        const auto tag = u16(entry), type = u16(entry + 2);
        if (!tag || !type) return std::nullopt;
        if (*tag != 256 && *tag != 257) continue;
        std::optional<std::int64_t> value;
        if (*type == 3) {
            if (const auto v = u16(entry + 8)) value = *v;
        } else if (const auto v = u32(entry + 8)) {
            value = *v;
        }
        (*tag == 256 ? width : height) = value;
    }
    if (!width || !height) return std::nullopt;
    return sized("TIFF", *width, *height);
}

std::optional<image_size> lbm_size(bytes_view b) {
    std::uint64_t at = 12;
    while (true) {
        const auto id = read_bytes(b, at, 4);
        const auto length = read_u32be(b, at + 4);
        if (!id || !length) return std::nullopt;
        if (std::memcmp(id->data(), "BMHD", 4) == 0) {
            const auto w = read_u16be(b, at + 8), h = read_u16be(b, at + 10);
            if (!w || !h) return std::nullopt;
            return sized("LBM", *w, *h);
        }
        at += 8 + std::uint64_t{*length} + (*length & 1U);
    }
}

std::optional<image_size> xpm_size(bytes_view b) {
    const auto quote = std::find(b.begin(), b.end(), std::uint8_t{'"'});
    if (quote == b.end()) return std::nullopt;
    return two_numbers(b, static_cast<std::uint64_t>(quote - b.begin()) + 1, "XPM");
}

std::optional<image_size> xv_size(bytes_view b) {
    // "P7 332", comment lines, then "WIDTH HEIGHT MAXVAL".
    std::uint64_t at = 6;
    return two_numbers(b, at, "XV");
}

std::optional<image_size> webp_size(bytes_view b) {
    if (!starts_with(b.subspan(std::min<std::size_t>(b.size(), 12)), "VP8X")) return std::nullopt;
    // The canvas size less one, in 24 bits each.
    const auto canvas = read_bytes(b, 24, 6);
    if (!canvas) return std::nullopt;
    const auto& c = *canvas;
    return sized("WEBP", (c[0] | c[1] << 8U | c[2] << 16U) + 1, (c[3] | c[4] << 8U | c[5] << 16U) + 1);
}

}  // namespace

std::optional<image_size> probe_image_size(bytes_view image) {
    const bytes_view b = image;
    if (b.size() >= 4 && b[0] == 0 && b[1] == 0 && (b[2] == 1 || b[2] == 2) && b[3] == 0) {
        return icon_size(b, b[2] == 1 ? "ICO" : "CUR");
    }
    if (starts_with(b, "BM")) return bitmap_header_size(b, 14, "BMP");
    if (is_gif(b)) return gif_size(b);
    if (b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8) return jpeg_size(b);
    if (is_lbm(b)) return lbm_size(b);
    if (b.size() >= 3 && b[0] == 0x0A && b[2] == 1) return pcx_size(b);
    if (starts_with(b, "\x89PNG")) return png_size(b);
    if (b.size() >= 3 && b[0] == 'P' && b[1] >= '1' && b[1] <= '6' && is_space(b[2]))
        return two_numbers(b, 2, "PNM");
    if (starts_with(b, std::string_view("II*\0", 4)) || starts_with(b, std::string_view("MM\0*", 4))) {
        return tiff_size(b);
    }
    if (starts_with(b, "gimp xcf ")) {
        const auto w = read_u32be(b, 14), h = read_u32be(b, 18);
        if (!w || !h) return std::nullopt;
        return sized("XCF", *w, *h);
    }
    if (starts_with(b, "/* XPM */")) return xpm_size(b);
    if (starts_with(b, "P7 332")) return xv_size(b);
    if (starts_with(b, "RIFF") && starts_with(b.subspan(std::min<std::size_t>(b.size(), 8)), "WEBP")) {
        return webp_size(b);
    }
    return std::nullopt;
}

bool image_ends_early(bytes_view image) {
    const bytes_view b = image;
    if (b.size() < 2 || b[0] != 0xFF || b[1] != 0xD8) return false;
    // A JPEG's segments, up to its end-of-image marker. Entropy-coded data after a scan's
    // header holds 0xFF only as FF 00 (a stuffed byte) or FF D0..D7 (a restart).
    std::uint64_t at = 2;
    while (true) {
        const auto ff = read_u8(b, at);
        const auto marker = read_u8(b, at + 1);
        if (!ff || !marker) return true;
        if (*ff != 0xFF) return false;  // not a stream of segments: the decoder's to judge
        if (*marker == 0xFF) {
            ++at;
            continue;
        }
        if (*marker == 0xD9) return false;
        if (*marker == 0x01 || (*marker >= 0xD0 && *marker <= 0xD7)) {
            at += 2;
            continue;
        }
        const auto length = read_u16be(b, at + 2);
        if (!length) return true;
        at += 2 + std::uint64_t{*length};
        if (at > b.size()) return true;
        if (*marker != 0xDA) continue;
        while (at < b.size()) {
            if (b[at] == 0xFF && at + 1 < b.size() && b[at + 1] != 0 && b[at + 1] != 0xFF &&
                !(b[at + 1] >= 0xD0 && b[at + 1] <= 0xD7)) {
                break;
            }
            ++at;
        }
    }
}

std::optional<std::string> image_size_problem(const image_size& size) {
    const std::string declares = "the " + std::string(size.format) + " image declares " +
                                 std::to_string(size.width) + "x" + std::to_string(size.height) + " pixels";
    // An image without pixels shows nothing, and decoders write into the picture they
    // failed to allocate.
    if (size.width < 1 || size.height < 1) return declares + " (it has none to show)";
    if (size.width > max_image_width || size.height > max_image_height) {
        return declares + " (at most " + std::to_string(max_image_width) + " wide and " +
               std::to_string(max_image_height) + " tall)";
    }
    return std::nullopt;
}

}  // namespace zub
