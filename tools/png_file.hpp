// Writing pictures as PNG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zub {

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

// Writes an 8-bit RGB PNG; throws std::runtime_error on failure.
void write_png(const std::string& path, const rgb_image& image);

}  // namespace zub
