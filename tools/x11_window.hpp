// Looking at another program's X11 window from outside: reading its pixels back and
// closing it the way a window manager does. Used by the snapshot tool and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/png_file.hpp"

namespace zub::x11 {

// The window's pixels as the X server holds them; throws std::runtime_error on failure.
rgb_image capture_window(const std::string& display, unsigned long window);

// Sends WM_DELETE_WINDOW, the request a window manager sends when the user closes it.
void send_delete_window(const std::string& display, unsigned long window);

// A text property of the window as it is stored: the name of its type ("UTF8_STRING",
// "STRING", "COMPOUND_TEXT", or empty when the window has no such property), its bytes,
// and its text as Xlib decodes it, in UTF-8 (empty when Xlib cannot).
struct text_property {
    std::string type;
    std::string bytes;
    std::string text;
};
text_property read_text_property(const std::string& display, unsigned long window, const std::string& name);

}  // namespace zub::x11
