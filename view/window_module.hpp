// The window as a module of its own. The viewer reads the document and starts composing
// it behind the wall before SDL, and the forty libraries it brings, are loaded: the
// composer starts that much sooner. Then it loads this module, which opens the window,
// shows the picture and waits until the window is closed. No SDL in this header.
#pragma once

#include <string_view>

#include "document/document.hpp"
#include "wall/composition.hpp"

namespace zub {

// The viewer's exit statuses for a document (see app/main.cpp).
constexpr int status_shown = 0;
constexpr int status_failed = 1;

// What the module is given: the document and its composition, started, and the
// program's voice on stderr for what goes wrong.
struct window_call {
    const char* path = nullptr;  // the file, as the user named it
    const document* doc = nullptr;
    composition* composing = nullptr;
    void (*say)(const char* path, std::string_view what) = nullptr;
};

// The module's one entry point, by this name: status_shown once the window was shown
// and closed, status_failed (said) when it could not be shown.
using show_in_window_entry = int (*)(const window_call& call);
inline constexpr const char* window_module_name = "zub-window.so";
inline constexpr const char* window_module_entry = "zub_show_in_window";

}  // namespace zub
