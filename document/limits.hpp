// Bounds on what a document may ask for. A document is a few bytes that can declare
// a window, an image or a point size of any size; these keep a small hostile file from
// making the viewer take gigabytes or minutes, while every sane document stays within
// them.
#pragma once

#include <cstdint>

namespace zub {

// The widest and tallest window. X11 stores window sizes in 16 bits, so 65536 would
// reach the server as 0.
inline constexpr std::int64_t max_window_side = 16384;

// The longest row of a window, in bytes. SDL 1.2 keeps a surface's row length (its
// pitch) in 16 bits: a row of 65536 bytes would wrap around to 0, and every row would
// be written over the first. 16384 pixels at 4 bytes a pixel is one byte too many.
inline constexpr std::int64_t max_row_bytes = 65535;

// The depths SDL 1.2 opens a window at: 0 (the display's own) or 8 to 32 bits a pixel.
constexpr bool depth_accepted(std::int64_t depth) { return depth == 0 || (depth >= 8 && depth <= 32); }

// The depths a window is made at exactly; at any other SDL 1.2 takes the display's.
constexpr bool exact_depth(std::int64_t depth) {
    return depth == 8 || depth == 16 || depth == 24 || depth == 32;
}

// The bytes the longest row behind a window `width` pixels wide takes. The window's
// own surface keeps the depth asked for, but SDL 1.2 on X11 also keeps the display's
// copy of every row at the display's 4 bytes a pixel, and refuses a window whose copy
// is too wide ("A scanline is too wide") at depth 8, 16 or 24 alike: every depth counts
// 4 bytes a pixel, so that the viewer and `zub render` hold one bound on every display.
constexpr std::int64_t window_row_bytes(std::int64_t width) { return width * 4; }

// The widest and tallest embedded image, as its header declares it. Decoders allocate
// the whole picture from the header before reading a pixel, and SDL 1.2 makes no
// picture 16384 pixels wide or wider (on either runtime), while it holds one up to
// 65535 tall: the height is held to the window's bound.
inline constexpr std::int64_t max_image_width = 16383;
inline constexpr std::int64_t max_image_height = 16384;

// The largest point size: a glyph at this size is already taller than any window.
inline constexpr std::int64_t max_font_size = 16384;

// The most pixels one rendered text may cover before it is clipped to the window.
inline constexpr std::int64_t max_text_pixels = std::int64_t{64} * 1024 * 1024;

// The budget of rendered pixels a document's texts may take in all, counted before each
// text is rendered: a few kilobytes can ask for thousands of texts at the largest point
// size. And the most texts rendered, past which the rest count as past the budget.
inline constexpr std::uint64_t text_budget_pixels = std::uint64_t{128} << 20U;
inline constexpr std::uint32_t max_texts = 1U << 20U;

// The largest window a thumbnail (zub render --size) or another program's image loader
// makes a picture of: 64 Mi pixels, 8192 x 8192 (192 MiB of RGB). File managers and
// image viewers load every file they are shown, unasked: a few bytes that declare a
// huge window must not cost them seconds and gigabytes.
inline constexpr std::int64_t max_thumbnail_pixels = std::int64_t{64} * 1024 * 1024;

// The desktop a window side of 0 takes where no display says what it is: zub render's
// default, and the image loaders'.
inline constexpr int default_desktop_width = 1920;
inline constexpr int default_desktop_height = 1080;

// The font the viewer draws the texts in, looked up by this name in the working
// directory.
inline constexpr const char* default_font_name = "Consola.ttf";

// The largest file read whole, of each kind. A document holds one image file, whose
// pixels are bounded above; a 16383 x 16384 BMP of 24 bits a pixel is 768 MiB.
inline constexpr std::uint64_t max_document_bytes = std::uint64_t{1} << 30;  // 1 GiB
// The largest fonts in common use (a CJK collection) are a few tens of MiB.
inline constexpr std::uint64_t max_font_bytes = std::uint64_t{64} << 20;  // 64 MiB
// A texts file holds one text a line, each at most a few hundred bytes.
inline constexpr std::uint64_t max_texts_file_bytes = std::uint64_t{16} << 20;  // 16 MiB

}  // namespace zub
