// Bounds on what a document may ask for. A document is a few bytes that can declare
// a window, an image or a point size of any size; these keep a small hostile file from
// making the viewer take gigabytes or minutes, while every sane document stays within
// them.
#pragma once

#include <cstdint>

namespace zub {

// The widest and tallest window. X11 stores window sizes in 16 bits, so 65536 would
// reach the server as 0; SDL's own surfaces stop short of 16384 bytes a row anyway.
inline constexpr std::int64_t max_window_side = 16384;

// The widest and tallest embedded image, as its header declares it. Decoders allocate
// the whole picture from the header before reading a pixel.
inline constexpr std::int64_t max_image_side = 16384;

// The largest point size: a glyph at this size is already taller than any window.
inline constexpr std::int64_t max_font_size = 16384;

// The most pixels one rendered text may cover before it is clipped to the window.
inline constexpr std::int64_t max_text_pixels = std::int64_t{64} * 1024 * 1024;

}  // namespace zub
