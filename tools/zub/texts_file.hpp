// Texts as people write them, on the command line (--text) and in texts files
// (--texts, and the one zub unpack writes): one text a line, "X,Y,COLOUR,TEXT".
#pragma once

#include <string>
#include <vector>

#include "document/result.hpp"
#include "document/writer.hpp"

namespace zub {

// A caption or text of at most the 255 bytes the viewer shows, or why not, as `what`.
outcome check_string_length(const std::string& bytes, const std::string& what);

// "X,Y,COLOUR,TEXT": spaces may stand around X, Y and COLOUR; the text is the rest of
// the line as it stands, commas and spaces too. COLOUR is #rrggbb, #rgb or a CSS name.
// The text is UTF-8 and is stored as Latin-1. `where` names the entry in a refusal, and
// in the note said for a text that begins with a space (kept, as written).
result<text_to_write> parse_text(const std::string& entry, const std::string& where);

// The texts of a texts file, appended in order: one a line; a byte-order mark at the
// start, empty lines and lines starting with '#' are skipped. Every bad line is said;
// the last one, or a hint to convert a file that is not UTF-8, is the failure.
// `regular_only` refuses anything but a regular file (a FIFO without waiting for it).
outcome read_texts_file(const std::string& path, std::vector<text_to_write>& texts,
                        bool regular_only = false);

// The record's line as parse_text reads it back: "X,Y,#rrggbb,TEXT", the text Latin-1
// decoded to UTF-8, or why it cannot be one (a control character, which the renderer
// would draw as a box and a line cannot hold, named with its place).
result<std::string> text_line(const text_to_write& text);

}  // namespace zub
