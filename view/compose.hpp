// Painting a document onto a surface: the background image, then the text records.
//
// Nothing here opens a window or waits: the functions draw onto whatever surface they
// are given, so the viewer, the tests and the tools compose a document the same way.
// What leaves part of the picture undrawn is returned as the document's problems (the
// warnings); the caller decides where they go.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdint>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/read_file.hpp"
#include "view/decoder.hpp"

namespace zub {

// The font the texts are drawn in, and what the user is told when it cannot be opened.
struct font_choice {
    std::string path = default_font_name;  // looked up in the working directory
    std::string hint = "a TrueType font named Consola.ttf is expected in the working directory";
};

// Converts the decoded image to the screen's format and paints it at the top-left
// corner. Returns a warning when the image was not decoded (an absurd declared size, a
// damaged file, a decoder that misbehaved) or cannot be converted; the screen is then
// left as it was.
std::vector<problem> paint_background(decoded_image decoded, SDL_Surface* screen);

// Decodes the embedded image, in the confined decoder, and paints it.
std::vector<problem> paint_background(bytes_view image, SDL_Surface* screen);

enum class text_outcome {
    drawn,
    nothing_to_draw,   // empty text, or one that starts with a zero byte
    font_unavailable,  // the font library is not running, or the font did not open
    render_failed,     // the renderer gave no surface for a non-empty text
    too_large,         // the rendered text would be absurdly large
};

// The font file's bytes, read once; a file that cannot be read is a font that cannot be
// opened. Only a regular file of at most max_font_bytes is read.
struct font_file {
    std::string path;  // the full path looked at
    file_bytes bytes;
    std::string error;  // why the file could not be read ("cannot open the font PATH: ..."), or empty
};
font_file read_font_file(const std::string& path);

// The font opened from the file at `points`, or nothing (TTF_GetError says why).
font_handle open_font(const font_file& file, int points);

// Draws one record's text in its colour with its top-left corner at (x, y), in `font`.
// `error` gets the font library's reason when rendering fails.
text_outcome draw_text(const text_record& record, TTF_Font* font, SDL_Surface* screen,
                       std::string* error = nullptr);

// The same with a font opened at `font_size` points for this record alone and closed
// after it, as a naive text pass would: the picture is the same.
text_outcome draw_text_record(const text_record& record, int font_size, SDL_Surface* screen,
                              const font_file& font);

// Draws the document's records in file order, in one font opened once for the pass
// (none when the document's point size is out of range: the document says so itself).
// Finds each kind of problem once, not once per record; a font that cannot be opened
// is reported with its full path, the reason and the choice's hint.
std::vector<problem> draw_text_pass(const document& doc, SDL_Surface* screen, const font_choice& font = {});

// The whole picture: the background `decoding` gives, then the text pass. Gives every
// warning the picture has: what composing it found, then the document's own.
std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, decoder_job& decoding,
                                      const font_choice& font = {});

// The same, decoding the image now (for a screen of the document's own size).
std::vector<problem> compose_document(const document& doc, SDL_Surface* screen, const font_choice& font = {});

// What composing the document would find, without a screen: whether its image (decoded
// whole) decodes, and what rendering the texts finds. Needs SDL_ttf running.
std::vector<problem> find_composing_problems(const document& doc, const decoded_image& decoded,
                                             const font_choice& font);

// The records whose text lies wholly outside the document's window (notes). Texts that
// start right of or below it are found without a font; texts that end left of or above
// it are measured in `font` (TTF_SizeText), where it opens at the document's point size.
std::vector<problem> find_texts_outside(const document& doc, const font_choice& font);

}  // namespace zub
