// Starting SDL's video for a window on the user's display.
#pragma once

#include <optional>
#include <string>

namespace zub {

// True when SDL 1.2 runs over SDL2 (sdl12-compat) rather than the classic library.
bool on_sdl2_runtime();

// Starts SDL's video subsystem. A driver the user names (SDL_VIDEODRIVER) is used as
// named. Otherwise only drivers that open real windows are tried, for the displays the
// environment names: X11, and Wayland where SDL 1.2 runs over SDL2. SDL would otherwise
// fall back to drawing in the terminal or to an invisible window. Returns why video
// could not start: "no display (DISPLAY is not set)", or the reason.
std::optional<std::string> start_video();

}  // namespace zub
