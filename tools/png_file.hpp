// Pictures as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document/result.hpp"

namespace zub {

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

// The picture as the bytes of an 8-bit RGB PNG file, or libpng's reason when it cannot
// make them (it runs out of memory).
result<std::vector<std::uint8_t>> png_bytes(const rgb_image& image);

}  // namespace zub
