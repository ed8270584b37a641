#include "view/sdl_start.hpp"

#include <SDL.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

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

// SDL 1.2 over SDL2 shows its screen through an SDL2 renderer, and on X11 SDL2 would by
// default take an OpenGL one, and an OpenGL texture behind the window's surface as well:
// it loads and starts the whole GL stack (a software rasteriser where there is no GPU),
// 170 ms and 90 MiB here, to show one picture that never moves. X11 takes the picture
// straight from memory (shared memory where it can), as the classic library does; the
// pixels are the same. A user's own choice of renderer stands. Wayland has no such path,
// and keeps SDL2's.
void prefer_software_presentation() {
    if (!on_sdl2_driver("x11")) return;
    setenv("SDL_RENDER_DRIVER", "software", 0);
    setenv("SDL_FRAMEBUFFER_ACCELERATION", "0", 0);
}

// Keys do nothing here, yet SDL opens an input method for the window, and the keyboard
// library then reads and parses the locale's whole table of compose sequences (Xlib's
// takes about 10 ms of the start here): it is given an empty one. /dev/null would do for
// Xlib, but xkbcommon (SDL2 on Wayland) takes a file of no bytes for a broken table and
// says so on stderr; one empty line, in memory, is an empty table to both. The file
// stays open for as long as the program runs, as a new keymap has the table read again.
void give_an_empty_compose_table() {
    const int table = memfd_create("zub_reader-compose", MFD_CLOEXEC);
    if (table < 0) return;  // the locale's table is read, as it would be without the program
    if (write(table, "\n", 1) != 1) {
        close(table);
        return;
    }
    setenv("XCOMPOSEFILE", ("/proc/self/fd/" + std::to_string(table)).c_str(), 1);
}

outcome start_video_for_a_window() {
    if (is_set("SDL_VIDEODRIVER")) {
        if (SDL_Init(SDL_INIT_VIDEO) == 0) return done{};
        return failure{SDL_GetError()};
    }
    const bool x11 = is_set("DISPLAY");
    // Without XDG_RUNTIME_DIR the Wayland client library finds no socket, and says so on
    // stderr, unless the display is named by its full path.
    const char* wayland_display = std::getenv("WAYLAND_DISPLAY");
    const bool wayland = on_sdl2_runtime() && is_set("WAYLAND_DISPLAY") &&
                         (is_set("XDG_RUNTIME_DIR") || wayland_display[0] == '/');
    if (!x11 && !wayland) return failure{"no display (DISPLAY is not set)"};

    // SDL2 takes a list of drivers; the classic library one name.
    const char* drivers = x11 && wayland ? "x11,wayland" : x11 ? "x11" : "wayland";
    setenv("SDL_VIDEODRIVER", drivers, 1);
    if (SDL_Init(SDL_INIT_VIDEO) == 0) return done{};
    std::string reason = SDL_GetError();
    if (x11 && !x_display_answers()) {
        reason = std::string("cannot connect to the display ") + std::getenv("DISPLAY");
        if (wayland) reason += std::string(", nor to the Wayland display ") + wayland_display;
    }
    return failure{reason};
}

}  // namespace

sdl_session::sdl_session(sdl_session&& other) noexcept : active(std::exchange(other.active, false)) {}

sdl_session::~sdl_session() {
    if (!active) return;
    SDL_Quit();
}

bool on_sdl2_runtime() {
    // sdl12-compat reports versions from 1.2.50 on; the classic library ended at 1.2.15.
    const SDL_version* linked = SDL_Linked_Version();
    return linked->major == 1 && linked->minor == 2 && linked->patch >= 50;
}

bool on_sdl2_driver(std::string_view driver) {
    char name[32] = {};
    return on_sdl2_runtime() && SDL_VideoDriverName(name, sizeof name) != nullptr &&
           std::string_view(name) == driver;
}

void* sdl2_function(const char* name) {
    if (!on_sdl2_runtime()) return nullptr;
    // The handle stays open for as long as the program runs, as SDL 1.2 keeps SDL2 loaded.
    void* sdl2 = dlopen("libSDL2-2.0.so.0", RTLD_NOW | RTLD_NOLOAD);
    return sdl2 == nullptr ? nullptr : dlsym(sdl2, name);
}

result<sdl_session> start_sdl(video_kind kind) {
    if (kind == video_kind::in_memory) {
        // Headless: SDL's dummy driver draws into memory only.
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        if (SDL_Init(SDL_INIT_VIDEO) != 0) return failure{SDL_GetError()};
        // The dummy driver would draw its cursor into the picture.
        SDL_ShowCursor(SDL_DISABLE);
    } else {
        // The viewer never plays a sound, and starting the platform's sound system costs
        // time and, on a machine without a sound card, lines on stderr: unless the user
        // chose an audio driver, SDL's silent one is started.
        if (!is_set("SDL_AUDIODRIVER")) setenv("SDL_AUDIODRIVER", "dummy", 1);
        give_an_empty_compose_table();
        // Video first and alone: when it cannot start, the program says why before any
        // other subsystem has had its say on stderr.
        if (const outcome video = start_video_for_a_window(); !video) return failure{video.why()};
        prefer_software_presentation();
        // The rest of what SDL offers may fail (a machine without sound, say) without
        // stopping the document; SDL 1.2 over SDL2 would undo the whole start if they were
        // started together with video. Of all that starts, only video is used: the rest is
        // shut down again, since the timer's thread alone would wake a thousand times a
        // second while the picture is shown.
        (void)SDL_InitSubSystem(SDL_INIT_EVERYTHING & ~static_cast<Uint32>(SDL_INIT_VIDEO));
        SDL_QuitSubSystem(SDL_INIT_TIMER | SDL_INIT_AUDIO | SDL_INIT_JOYSTICK | SDL_INIT_CDROM);
    }
    sdl_session session;
    session.active = true;
    return session;
}

}  // namespace zub
