// Starting SDL: the one place every program here starts it.
#pragma once

#include <string_view>

#include "document/result.hpp"

namespace zub {

enum class video_kind {
    window,     // a real window on the user's display
    in_memory,  // SDL's dummy video driver: pictures composed in memory, nothing shown
};

// SDL (video), started, for as long as the session lives.
struct sdl_session {
    sdl_session() = default;
    sdl_session(sdl_session&& other) noexcept;
    sdl_session& operator=(sdl_session&&) = delete;
    sdl_session(const sdl_session&) = delete;
    sdl_session& operator=(const sdl_session&) = delete;
    ~sdl_session();

    bool active = false;
};

// Starts SDL's video. For a window, a driver the user names (SDL_VIDEODRIVER)
// is used as named; otherwise only drivers that open real windows are tried, for the
// displays the environment names: X11, and Wayland where SDL 1.2 runs over SDL2. SDL
// would otherwise fall back to drawing in the terminal or to an invisible window. Fails
// with why video could not start: "no display (DISPLAY is not set)", or the reason.
result<sdl_session> start_sdl(video_kind kind);

// True when SDL 1.2 runs over SDL2 (sdl12-compat) rather than the classic library.
bool on_sdl2_runtime();

// True when SDL 1.2 runs over SDL2 and SDL2's video driver is `driver` ("x11", "wayland").
bool on_sdl2_driver(std::string_view driver);

// SDL2's own function `name`, where SDL 1.2 runs over SDL2 and SDL2 is already in the
// process (never a second copy); null elsewhere.
void* sdl2_function(const char* name);

}  // namespace zub
