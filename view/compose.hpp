// Painting a document onto a surface from what the stages behind the wall hand back: the
// background image, converted to the screen's format and painted, then the texts from
// the layers they were laid into, with the program's own SDL.
//
// Nothing here opens a window or waits: the functions draw onto whatever surface they
// are given, so the viewer, the tests and the tools compose a document the same way.
// What leaves part of the picture undrawn is returned as the document's problems (the
// warnings); the caller decides where they go.
#pragma once

#include <SDL.h>

#include <vector>

#include "document/document.hpp"
#include "wall/caller.hpp"
#include "wall/composition.hpp"

namespace zub {

// Converts the decoded image to the screen's format and paints it at the top-left
// corner. Returns a warning when the image was not decoded (an absurd declared size, a
// damaged file, a decoder that misbehaved) or cannot be converted; the screen is then
// left as it was.
std::vector<problem> paint_background(const finished_image& image, SDL_Surface* screen);

// Paints the texts the stages laid, in file order: each pixel of a layer in the colour of
// the text laid there last, mapped to the screen as blitting the text's rendering maps it.
void draw_texts(const finished_texts& done, SDL_Surface* screen);

// The whole picture: the background, then the texts, each stage's hand-back let go as
// soon as it is painted. Gives every warning the picture has: what composing it found,
// then the document's own; and an error (not_composed) for each stage that failed through
// no fault of the document, whose part is left out (the texts it finished are drawn).
[[nodiscard]] std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, composition& c);

// The same from stages already finished (and waited for) by the caller: `texts` null for
// a composition without a texts stage. A program that loads this painter as a module
// waits for its stages itself, so that its own record of the composers it runs is kept.
[[nodiscard]] std::vector<problem> paint_finished(const document& doc, SDL_Surface* screen, composition& c,
                                                  const finished_image& image, const finished_texts* texts);

// The same, starting the stages now for a window of the screen's size.
[[nodiscard]] std::vector<problem> compose_document(const document& doc, SDL_Surface* screen,
                                                    const font_choice& font = {});

}  // namespace zub
