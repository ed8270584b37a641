// Painting a document onto a surface from what the stages behind the wall hand back: the
// background image, converted to the screen's format and painted, then each text's
// surface blitted at its place, with the program's own SDL.
//
// Nothing here opens a window or waits: the functions draw onto whatever surface they
// are given, so the viewer, the tests and the tools compose a document the same way.
// What leaves part of the picture undrawn is returned as the document's problems (the
// warnings); the caller decides where they go.
#pragma once

#include <SDL.h>

#include <span>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/read_file.hpp"
#include "wall/caller.hpp"

namespace zub {

// The font the texts are drawn in, and what the user is told when it cannot be opened.
struct font_choice {
    std::string path = default_font_name;  // looked up in the working directory
    std::string hint = "a TrueType font named Consola.ttf is expected in the working directory";
};

// The font file's full path, as the messages name it.
std::string font_file_path(const std::string& path);

// The font file's bytes, read once; a file that cannot be read is a font that cannot be
// opened ("cannot open the font PATH: ..."). Only a regular file of at most
// max_font_bytes is read.
[[nodiscard]] result<file_bytes> read_font_file(const std::string& path);

// What a composition is for: a window of `width` x `height` (0 on a side: the desktop's,
// not known yet), the pictures' pixels or only what the stages find, and the image too
// or only the texts.
struct composing_ask {
    int width = 0;
    int height = 0;
    bool pixels = true;
    bool image = true;
    bool font_named = false;  // the font is opened even for a document without texts
};

// A document's composition, started: its image stage and its texts stage. There is no
// texts stage for a document without texts or with a point size out of range (the
// document says so itself), nor when the font cannot be read.
struct composition {
    image_ask image_asked;
    stage_job image;
    texts_ask texts_asked;
    std::vector<text_to_render> texts;
    stage_job text_stage;
    font_choice font;
    result<file_bytes> font_read = failure{"the font was not read"};
    bool texts_wanted = false;
    std::string font_error;  // once composed: the font library's words when the font did not open
};
[[nodiscard]] composition start_composition(const document& doc, const composing_ask& ask,
                                            const font_choice& font = {});

// Several documents' compositions started at once, max_stages stages to a run of the
// composer: the tools compose many documents so. Each document must outlive its
// composition.
struct composition_order {
    const document* doc = nullptr;
    composing_ask ask;
    font_choice font;
};
[[nodiscard]] std::vector<composition> start_compositions(std::span<const composition_order> orders);

// The problems of a finished texts stage: a font that did not open, a text not rendered,
// too large or past the budget (each kind once), texts a stopped stage did not reach.
std::vector<problem> text_problems(const document& doc, const composition& c, const finished_texts& done);

// Converts the decoded image to the screen's format and paints it at the top-left
// corner. Returns a warning when the image was not decoded (an absurd declared size, a
// damaged file, a decoder that misbehaved) or cannot be converted; the screen is then
// left as it was.
std::vector<problem> paint_background(const finished_image& image, SDL_Surface* screen);

// Blits each text the stage drew at its place, in file order.
void draw_texts(const finished_texts& done, SDL_Surface* screen);

// The whole picture: the background, then the texts, each stage's hand-back let go as
// soon as it is painted. Gives every warning the picture has: what composing it found,
// then the document's own.
[[nodiscard]] std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, composition& c);

// The same, starting the stages now for a window of the screen's size.
[[nodiscard]] std::vector<problem> compose_document(const document& doc, SDL_Surface* screen,
                                                    const font_choice& font = {});

}  // namespace zub
