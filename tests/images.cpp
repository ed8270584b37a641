#include "tests/images.hpp"

#include <jpeglib.h>
#include <png.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace zub::test {

const rgba vivid_colours[8] = {{0, 0, 0, 255},     {255, 255, 255, 255}, {255, 0, 0, 255},
                               {0, 255, 0, 255},   {0, 0, 255, 255},     {255, 255, 0, 255},
                               {0, 255, 255, 255}, {255, 0, 255, 255}};

picture pattern(int width, int height, bool vivid) {
    picture pic{width, height, std::vector<rgba>(static_cast<std::size_t>(width * height))};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (vivid) {
                pic.at(x, y) = vivid_colours[(x + 3 * y + (x / 5)) % 8];
            } else {
                pic.at(x, y) =
                    rgba{static_cast<std::uint8_t>(x * 7 + 3), static_cast<std::uint8_t>(y * 13 + 1),
                         static_cast<std::uint8_t>((x + y) * 5 + 100), 255};
            }
        }
    }
    return pic;
}

picture solid(int width, int height, rgba colour) {
    return picture{width, height, std::vector<rgba>(static_cast<std::size_t>(width * height), colour)};
}

namespace {

void put_le16(bytes& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void png_write_to_vector(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + length);
}

// The distinct colours of a picture, in order of first appearance.
std::vector<rgba> palette_of(const picture& pic) {
    std::vector<rgba> palette;
    for (const rgba& p : pic.pixels) {
        if (std::find(palette.begin(), palette.end(), p) == palette.end()) palette.push_back(p);
    }
    if (palette.size() > 256) throw std::runtime_error("more than 256 colours for a palette image");
    return palette;
}

std::uint8_t index_in(const std::vector<rgba>& palette, rgba p) {
    return static_cast<std::uint8_t>(std::find(palette.begin(), palette.end(), p) - palette.begin());
}

}  // namespace

bytes encode_png(const picture& pic, png_kind kind, int grey_key) {
    bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {  // NOLINT(cert-err52-cpp): libpng reports errors by longjmp
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng failed");
    }
    png_set_write_fn(png, &out, png_write_to_vector, nullptr);
    const int colour_type = kind == png_kind::rgb    ? PNG_COLOR_TYPE_RGB
                            : kind == png_kind::rgba ? PNG_COLOR_TYPE_RGBA
                            : kind == png_kind::grey ? PNG_COLOR_TYPE_GRAY
                                                     : PNG_COLOR_TYPE_PALETTE;
    png_set_IHDR(png, info, static_cast<png_uint_32>(pic.width), static_cast<png_uint_32>(pic.height), 8,
                 colour_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<rgba> palette;
    std::vector<png_color> png_palette;
    if (kind == png_kind::palette) {
        palette = palette_of(pic);
        for (const rgba& c : palette) png_palette.push_back(png_color{c.r, c.g, c.b});
        png_set_PLTE(png, info, png_palette.data(), static_cast<int>(png_palette.size()));
    }
    png_color_16 transparent{};
    if (kind == png_kind::grey && grey_key >= 0) {
        transparent.gray = static_cast<png_uint_16>(grey_key);
        png_set_tRNS(png, info, nullptr, 0, &transparent);
    }
    png_write_info(png, info);
    const int channels = kind == png_kind::rgb ? 3 : kind == png_kind::rgba ? 4 : 1;
    std::vector<std::uint8_t> row(static_cast<std::size_t>(pic.width * channels));
    for (int y = 0; y < pic.height; ++y) {
        for (int x = 0; x < pic.width; ++x) {
            const rgba p = pic.at(x, y);
            std::uint8_t* o = &row[static_cast<std::size_t>(x) * static_cast<std::size_t>(channels)];
            switch (kind) {
                case png_kind::rgba:
                    o[3] = p.a;
                    [[fallthrough]];
                case png_kind::rgb:
                    o[0] = p.r;
                    o[1] = p.g;
                    o[2] = p.b;
                    break;
                case png_kind::grey:
                    o[0] = p.r;
                    break;
                case png_kind::palette:
                    o[0] = index_in(palette, p);
                    break;
            }
        }
        png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

bytes encode_jpeg(const picture& pic, int quality) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(pic.width);
    cinfo.image_height = static_cast<JDIMENSION>(pic.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(pic.width * 3));
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < pic.width; ++x) {
            const rgba p = pic.at(x, y);
            const auto at = static_cast<std::size_t>(x) * 3;
            row[at] = p.r;
            row[at + 1] = p.g;
            row[at + 2] = p.b;
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

bytes encode_bmp(const picture& pic) {
    const unsigned row_size = (static_cast<unsigned>(pic.width) * 3 + 3) & ~3U;
    const unsigned data_size = row_size * static_cast<unsigned>(pic.height);
    bytes out{'B', 'M'};
    put_u32(out, 54 + data_size);
    put_u32(out, 0);
    put_u32(out, 54);
    put_u32(out, 40);
    put_u32(out, static_cast<std::uint32_t>(pic.width));
    put_u32(out, static_cast<std::uint32_t>(pic.height));
    put_le16(out, 1);
    put_le16(out, 24);
    for (int i = 0; i < 6; ++i) put_u32(out, 0);
    for (int y = pic.height - 1; y >= 0; --y) {
        for (int x = 0; x < pic.width; ++x) {
            const rgba p = pic.at(x, y);
            out.insert(out.end(), {p.b, p.g, p.r});
        }
        out.resize(out.size() + (row_size - static_cast<unsigned>(pic.width) * 3), 0);
    }
    return out;
}

bytes encode_ppm(const picture& pic) {
    const std::string head =
        "P6\n" + std::to_string(pic.width) + " " + std::to_string(pic.height) + "\n255\n";
    bytes out = to_bytes(head);
    for (const rgba& p : pic.pixels) out.insert(out.end(), {p.r, p.g, p.b});
    return out;
}

bytes encode_gif(const picture& pic, std::optional<rgba> transparent) {
    std::vector<rgba> palette = palette_of(pic);
    if (transparent && std::find(palette.begin(), palette.end(), *transparent) == palette.end()) {
        palette.push_back(*transparent);
    }
    palette.resize(256);
    bytes out = to_bytes("GIF89a");
    put_le16(out, static_cast<unsigned>(pic.width));
    put_le16(out, static_cast<unsigned>(pic.height));
    out.insert(out.end(), {0xF7, 0, 0});  // global colour table of 256 entries
    for (const rgba& c : palette) out.insert(out.end(), {c.r, c.g, c.b});
    if (transparent) {
        out.insert(out.end(), {0x21, 0xF9, 4, 1, 0, 0, index_in(palette, *transparent), 0});
    }
    out.push_back(0x2C);
    put_le16(out, 0);
    put_le16(out, 0);
    put_le16(out, static_cast<unsigned>(pic.width));
    put_le16(out, static_cast<unsigned>(pic.height));
    out.push_back(0);
    // LZW with 9-bit codes only: every code is a literal, and a clear code comes often
    // enough that the code table never grows past 9 bits.
    const unsigned clear = 256, end = 257;
    out.push_back(8);
    bytes packed;
    std::uint32_t bit_buffer = 0;
    int bit_count = 0;
    auto emit = [&](unsigned code) {
        bit_buffer |= code << bit_count;
        bit_count += 9;
        while (bit_count >= 8) {
            packed.push_back(static_cast<std::uint8_t>(bit_buffer));
            bit_buffer >>= 8;
            bit_count -= 8;
        }
    };
    int since_clear = 0;
    for (const rgba& p : pic.pixels) {
        if (since_clear == 0) emit(clear);
        emit(index_in(palette, p));
        since_clear = (since_clear + 1) % 200;
    }
    emit(end);
    if (bit_count > 0) packed.push_back(static_cast<std::uint8_t>(bit_buffer));
    for (std::size_t at = 0; at < packed.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, packed.size() - at);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), packed.begin() + static_cast<long>(at),
                   packed.begin() + static_cast<long>(at + n));
    }
    out.push_back(0);
    out.push_back(0x3B);
    return out;
}

bytes encode_ilbm(const picture& pic) {
    const std::vector<rgba> palette = palette_of(pic);
    const auto be16 = [](bytes& out, unsigned v) {
        out.insert(out.end(), {std::uint8_t(v >> 8U), std::uint8_t(v)});
    };
    const auto be32 = [&](bytes& out, std::uint32_t v) {
        be16(out, v >> 16U);
        be16(out, v & 0xFFFFU);
    };
    bytes body;  // each row as 8 bit planes of whole 16-bit words, most significant bit leftmost
    const std::size_t plane_bytes = (static_cast<std::size_t>(pic.width) + 15) / 16 * 2;
    for (int y = 0; y < pic.height; ++y) {
        for (unsigned plane = 0; plane < 8; ++plane) {
            bytes row(plane_bytes, 0);
            for (int x = 0; x < pic.width; ++x) {
                if (((static_cast<unsigned>(index_in(palette, pic.at(x, y))) >> plane) & 1U) != 0) {
                    row[static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80U >> (x % 8));
                }
            }
            body.insert(body.end(), row.begin(), row.end());
        }
    }
    bytes chunks = to_bytes("ILBMBMHD");
    be32(chunks, 20);
    be16(chunks, static_cast<unsigned>(pic.width));
    be16(chunks, static_cast<unsigned>(pic.height));
    be32(chunks, 0);                                 // position
    chunks.insert(chunks.end(), {8, 0, 0, 0});       // planes, no mask, no compression, pad
    be16(chunks, 0);                                 // transparent colour
    chunks.insert(chunks.end(), {1, 1});             // aspect
    be16(chunks, static_cast<unsigned>(pic.width));  // page
    be16(chunks, static_cast<unsigned>(pic.height));
    const bytes cmap_name = to_bytes("CMAP");
    chunks.insert(chunks.end(), cmap_name.begin(), cmap_name.end());
    be32(chunks, static_cast<std::uint32_t>(palette.size() * 3));
    for (const rgba& c : palette) chunks.insert(chunks.end(), {c.r, c.g, c.b});
    if (chunks.size() % 2 != 0) chunks.push_back(0);
    const bytes body_name = to_bytes("BODY");
    chunks.insert(chunks.end(), body_name.begin(), body_name.end());
    be32(chunks, static_cast<std::uint32_t>(body.size()));
    chunks.insert(chunks.end(), body.begin(), body.end());
    bytes out = to_bytes("FORM");
    be32(out, static_cast<std::uint32_t>(chunks.size()));
    out.insert(out.end(), chunks.begin(), chunks.end());
    return out;
}

bytes tiny_png_declaring(std::uint32_t width, std::uint32_t height) {
    bytes png = encode_png(pattern(1, 1, true), png_kind::rgb);
    for (int i = 0; i < 4; ++i) {
        png[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
        png[20 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
    }
    return png;
}

}  // namespace zub::test
