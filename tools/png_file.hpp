// Pictures as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace zub {

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

// The picture as the bytes of an 8-bit RGB PNG file, or libpng's reason when it cannot
// make them (it runs out of memory).
std::variant<std::vector<std::uint8_t>, std::string> png_bytes(const rgb_image& image);

}  // namespace zub
