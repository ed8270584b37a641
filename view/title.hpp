// The window's title as X11 window managers read it.
#pragma once

#include <string>
#include <string_view>

namespace zub {

// Sets the title of the window SDL opened, on X11: _NET_WM_NAME (UTF8_STRING), the
// property window managers show, holds `utf8` exactly; WM_NAME holds the same text as a
// STRING where every character is Latin-1 text (printable, tab, line feed), else as
// COMPOUND_TEXT. SDL 1.2's own caption goes through the locale's encoding and loses
// whatever the locale cannot hold (in the "C" locale, every character beyond ASCII), on
// either runtime. Does nothing elsewhere (Wayland takes the UTF-8 title from SDL as it is).
void set_x11_title(const std::string& utf8);

// `utf8` (valid UTF-8) in X11's COMPOUND_TEXT encoding: ASCII and the right half of
// Latin-1 as they are, every other character in UTF-8 segments (ESC % G ... ESC % @),
// control characters other than tab and line feed replaced by U+FFFD.
std::string compound_text(std::string_view utf8);

}  // namespace zub
