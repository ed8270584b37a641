// The document's window: opening it, showing the composed picture once, and waiting
// until it is closed.
#pragma once

#include <SDL.h>

#include <iosfwd>
#include <string>
#include <string_view>
#include <variant>

#include "document/document.hpp"

namespace zub {

// Opens the window at the document's size and depth and gives it the document's title.
// Returns the screen surface, or SDL's reason when the window could not be opened.
std::variant<SDL_Surface*, std::string> open_window(const document_sections& sections);

// Blocks until the window system asks the program to quit. Every other event (keys,
// mouse, focus, exposure) is read and dropped; the queue is drained before returning.
void wait_until_closed();

enum class show_result {
    not_a_document,  // bytes 1 and 2 are not "UB": nothing was opened
    shown,           // the window was shown and then closed
    failed,          // the document is damaged or the window could not be opened
};

// Shows a document whose byte 0 is 'Z' and returns when its window has been closed.
// Errors and warnings go to `messages`, one line each, each starting with `prefix`.
show_result show_document(bytes_view document, std::ostream& messages, std::string_view prefix);

}  // namespace zub
