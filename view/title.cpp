#include "view/title.hpp"

#include <SDL.h>
#include <SDL_syswm.h>
#include <X11/Xatom.h>

#include "document/strings.hpp"

namespace zub {

namespace {

constexpr std::string_view utf8_segment_start = "\x1b%G";
constexpr std::string_view utf8_segment_end = "\x1b%@";
constexpr std::string_view replacement = "\xef\xbf\xbd";

// Characters STRING and COMPOUND_TEXT carry as they are: printable ASCII and the
// printable right half of Latin-1, and tab and line feed.
bool in_latin1_text(std::uint32_t code) {
    return code == '\t' || code == '\n' || (code >= 0x20 && code < 0x7F) || (code >= 0xA0 && code <= 0xFF);
}

void set_property(Display* display, Window window, Atom name, Atom type, std::string_view value) {
    XChangeProperty(display, window, name, type, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(value.data()), static_cast<int>(value.size()));
}

}  // namespace

std::string compound_text(std::string_view utf8) {
    const auto codes = code_points(utf8);
    if (!codes) return {};
    std::string out;
    bool in_segment = false;
    for (const std::uint32_t code : *codes) {
        const bool direct = in_latin1_text(code);
        if (direct == in_segment) {
            out += in_segment ? utf8_segment_end : utf8_segment_start;
            in_segment = !in_segment;
        }
        if (direct) {
            out += static_cast<char>(code);
        } else if (is_control_character(code)) {
            out += replacement;
        } else {
            append_utf8(out, code);
        }
    }
    if (in_segment) out += utf8_segment_end;
    return out;
}

void set_x11_title(const std::string& utf8) {
    SDL_SysWMinfo info{};
    SDL_VERSION(&info.version);
    if (SDL_GetWMInfo(&info) != 1 || info.subsystem != SDL_SYSWM_X11) return;
    const auto codes = code_points(utf8);
    if (!codes) return;
    Display* display = info.info.x11.display;
    // The window the window manager frames: SDL 1.2 draws into a child of it.
    const Window window = info.info.x11.wmwindow != 0 ? info.info.x11.wmwindow : info.info.x11.window;
    bool latin1 = true;
    std::string latin1_bytes;
    for (const std::uint32_t code : *codes) {
        latin1 = latin1 && in_latin1_text(code);
        latin1_bytes += static_cast<char>(code);
    }
    info.info.x11.lock_func();
    const Atom utf8_string = XInternAtom(display, "UTF8_STRING", False);
    set_property(display, window, XInternAtom(display, "_NET_WM_NAME", False), utf8_string, utf8);
    if (latin1) {
        set_property(display, window, XA_WM_NAME, XA_STRING, latin1_bytes);
    } else {
        set_property(display, window, XA_WM_NAME, XInternAtom(display, "COMPOUND_TEXT", False),
                     compound_text(utf8));
    }
    XFlush(display);
    info.info.x11.unlock_func();
}

}  // namespace zub
