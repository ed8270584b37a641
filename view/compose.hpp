// Painting a document onto a surface: the background image, then the text records.
//
// Nothing here opens a window or waits: the functions draw onto whatever surface they
// are given, so the viewer, the tests and other tools compose a document the same way.
// Problems that leave part of the picture undrawn are returned as warning texts; the
// caller decides where they go.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "view/decoder.hpp"

namespace zub {

// The font every text is drawn in, looked up in the working directory.
inline constexpr const char* default_font_path = "Consola.ttf";

// What the viewer's user is told when the font cannot be opened.
inline constexpr const char* default_font_hint =
    "a TrueType font named Consola.ttf is expected in the working directory";

// Converts the decoded image to the screen's format and paints it at the top-left
// corner. Returns a warning when the image was not decoded (an absurd declared size, a
// damaged file, a decoder that misbehaved) or cannot be converted; the screen is then
// left as it was.
std::vector<std::string> paint_background(decoded_image decoded, SDL_Surface* screen);

// Decodes the embedded image, in the confined decoder, and paints it.
std::vector<std::string> paint_background(bytes_view image, SDL_Surface* screen);

enum class text_outcome {
    drawn,
    nothing_to_draw,   // empty text, or one that starts with a zero byte
    font_unavailable,  // the font library is not running, or the font did not open
    render_failed,     // the renderer gave no surface for a non-empty text
    too_large,         // the rendered text would be absurdly large
};

// The font file's bytes, read once for a text pass. Each record still opens (and closes)
// a font of its own from them; a file that cannot be read is a font that cannot be opened.
struct font_file {
    std::string path;  // the full path looked at
    std::vector<std::uint8_t> bytes;
    std::string error;  // why the file could not be read, or empty
};
font_file read_font_file(const char* path);

// Draws one record's text in its colour with its top-left corner at (x, y), in the font
// opened at `font_size` points for this record alone.
text_outcome draw_text_record(const text_record& record, int font_size, SDL_Surface* screen,
                              const font_file& font);

// Draws the document's records in file order, stopping at the first one that does not
// fit in the file. Warns once for each kind of problem, not once per record; a font that
// cannot be opened is reported with its full path, the reason and `font_hint`.
std::vector<std::string> draw_text_pass(bytes_view document, const document_sections& sections,
                                        SDL_Surface* screen, const char* font_path = default_font_path,
                                        const char* font_hint = default_font_hint);

// The whole picture: background, then the text pass.
std::vector<std::string> compose_document(bytes_view document, const document_sections& sections,
                                          SDL_Surface* screen, const char* font_path = default_font_path,
                                          const char* font_hint = default_font_hint);

// The same with the image's decoding started already (see start_decoding).
std::vector<std::string> compose_document(bytes_view document, const document_sections& sections,
                                          SDL_Surface* screen, decoder_job& decoding,
                                          const char* font_path = default_font_path,
                                          const char* font_hint = default_font_hint);

}  // namespace zub
