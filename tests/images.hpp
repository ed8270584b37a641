// Test images made at test time, and encoders for the formats the viewer is shown with.
// The encoders are the tests' own (libpng and libjpeg for PNG and JPEG, plain byte
// writers for the rest), so the viewer's decoding is checked against known pixels.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tests/doc_writer.hpp"

namespace zub::test {

struct rgba {
    std::uint8_t r = 0, g = 0, b = 0, a = 255;
    bool operator==(const rgba&) const = default;
};

struct picture {
    int width = 0;
    int height = 0;
    std::vector<rgba> pixels;

    std::size_t index(int x, int y) const {
        return static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
    }
    rgba at(int x, int y) const { return pixels[index(x, y)]; }
    rgba& at(int x, int y) { return pixels[index(x, y)]; }
};

// Colours whose every component is 0 or 255: exact at every screen depth, 8-bit too.
extern const rgba vivid_colours[8];

// A picture in which neighbouring pixels differ, so that a shift, a flip, a scale or a
// swapped channel shows. `vivid` keeps to `vivid_colours`.
picture pattern(int width, int height, bool vivid);

// A picture of one colour.
picture solid(int width, int height, rgba colour);

enum class png_kind { rgb, rgba, palette, grey };

// A grey PNG with `grey_key` from 0 to 255 has a transparent grey of that value (tRNS).
bytes encode_png(const picture& pic, png_kind kind, int grey_key = -1);
bytes encode_jpeg(const picture& pic, int quality);
bytes encode_bmp(const picture& pic);  // 24-bit, bottom-up
bytes encode_ppm(const picture& pic);  // binary P6
// At most 256 distinct colours; `transparent`, when given, becomes the GIF's
// transparent colour.
bytes encode_gif(const picture& pic, std::optional<rgba> transparent = std::nullopt);

// IFF ILBM: 8 bit planes, a colour map, no compression. At most 256 distinct colours.
bytes encode_ilbm(const picture& pic);

// A 1x1 PNG whose header declares another size (its checksum is left stale).
bytes tiny_png_declaring(std::uint32_t width, std::uint32_t height);

}  // namespace zub::test
