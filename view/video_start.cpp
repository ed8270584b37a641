#include "view/video_start.hpp"

#include <SDL.h>
#include <X11/Xlib.h>

#include <cstdlib>

namespace zub {

namespace {

bool is_set(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// The X display named by DISPLAY answers; SDL does not say so when it does not.
bool x_display_answers() {
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace

bool on_sdl2_runtime() {
    // sdl12-compat reports versions from 1.2.50 on; the classic library ended at 1.2.15.
    const SDL_version* linked = SDL_Linked_Version();
    return linked->major == 1 && linked->minor == 2 && linked->patch >= 50;
}

std::optional<std::string> start_video() {
    if (is_set("SDL_VIDEODRIVER")) {
        if (SDL_Init(SDL_INIT_VIDEO) == 0) return std::nullopt;
        return std::string(SDL_GetError());
    }
    const bool x11 = is_set("DISPLAY");
    // Without XDG_RUNTIME_DIR the Wayland client library finds no socket, and says so on
    // stderr, unless the display is named by its full path.
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    const bool wayland = on_sdl2_runtime() && is_set("WAYLAND_DISPLAY") &&
                         (is_set("XDG_RUNTIME_DIR") || wayland_display[0] == '/');
    if (!x11 && !wayland) return std::string("no display (DISPLAY is not set)");

    // SDL2 takes a list of drivers; the classic library one name.
    const char* drivers = x11 && wayland ? "x11,wayland" : x11 ? "x11" : "wayland";
    setenv("SDL_VIDEODRIVER", drivers, 1);
    if (SDL_Init(SDL_INIT_VIDEO) == 0) return std::nullopt;
    std::string reason = SDL_GetError();
    if (x11 && !x_display_answers()) {
        reason = std::string("cannot connect to the display ") + std::getenv("DISPLAY");
        if (wayland) reason += std::string(", nor to the Wayland display ") + wayland_display;
    }
    return reason;
}

}  // namespace zub
