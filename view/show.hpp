// The document's window: opening it, showing the composed picture once, and waiting
// until it is closed.
#pragma once

#include <SDL.h>

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "document/document.hpp"
#include "view/decoder.hpp"

namespace zub {

// Why a window of the document's size cannot be opened, before the window system is
// asked: a side beyond the bound. Nothing when it may be.
std::optional<std::string> window_problem(const document_header& header);

// Opens the window at the document's size and depth and gives it the document's title.
// Returns the screen surface, or SDL's reason when the window could not be opened.
std::variant<SDL_Surface*, std::string> open_window(const document_sections& sections);

// Blocks until the window system asks the program to quit. Every other event (keys,
// mouse, focus, exposure) is read and dropped; the queue is drained before returning.
void wait_until_closed();

// Shows a parsed document once SDL's video has started: opens its window, paints the
// image `decoding` gives and the texts, shows the picture once and returns when the
// window has been closed. Errors and warnings go to `messages`, one line each, each
// starting with `prefix`. False when the window could not be opened.
bool show_document(bytes_view document, const document_sections& sections, decoder_job& decoding,
                   std::ostream& messages, std::string_view prefix);

}  // namespace zub
