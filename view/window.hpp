// The document's window: opening it, showing the composed picture once, and waiting
// until it is closed.
#pragma once

#include <SDL.h>

#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/result.hpp"
#include "view/compose.hpp"

namespace zub {

// The window to open: the document's size, depth and title, unless a tool asks for
// another (zub render composes depth 0, the display's own, at 32).
struct window_request {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t depth = 0;
    std::string title;  // UTF-8 text
};
window_request request_for(const document& doc);

// Opens the window and gives it its title. The screen surface, or SDL's reason.
result<SDL_Surface*> open_window(const window_request& request);

// Opens the document's window, paints the image and the texts `composing` gives, and
// shows the picture once. The composition of a window with a side of 0 (the desktop's)
// is started here, for the window as it opened. The warnings (what was left out, and
// why), or why the window could not be opened.
[[nodiscard]] result<std::vector<problem>> show_document(const document& doc, composition& composing);

// Blocks until the window system asks the program to quit, or SIGINT or SIGTERM (which
// SDL turns into the same request) comes, whenever it comes (see quit_signals.hpp).
// Every other event (keys, mouse, focus, exposure) is read and dropped; the queue is
// drained before returning.
void wait_until_closed();

}  // namespace zub
