// Looking at another program's X11 window from outside: reading its pixels back and
// closing it the way a window manager does. Used by the snapshot tool and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zub::x11 {

struct rgb_image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows top to bottom
};

// The window's pixels as the X server holds them; throws std::runtime_error on failure.
rgb_image capture_window(const std::string& display, unsigned long window);

// Sends WM_DELETE_WINDOW, the request a window manager sends when the user closes it.
void send_delete_window(const std::string& display, unsigned long window);

// Writes an 8-bit RGB PNG; throws std::runtime_error on failure.
void write_png(const std::string& path, const rgb_image& image);

}  // namespace zub::x11
