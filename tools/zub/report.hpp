// What is inside a document, and everything about it that is not as it should be.
#pragma once

#include <string>
#include <vector>

#include "document/document.hpp"
#include "view/compose.hpp"

namespace zub {

struct document_report {
    document doc;              // views into the file's bytes
    std::string image_format;  // as the image library recognises it; empty when it does not
    int image_width = 0;       // as decoded; 0 when it does not decode
    int image_height = 0;
    std::vector<problem> problems;  // the document's, then what decoding and measuring found
};

// Bytes outside printable ASCII as \xHH, and the backslash as \\.
std::string escape_bytes(bytes_view bytes);

// Parses the document and notes every problem with its byte offset. The image is decoded
// as the viewer decodes it (in the confined decoder); telling whether a text lies wholly
// outside the window needs SDL_ttf running and the font (without it, only texts that
// start right of or below the window are found). Start no thread before calling it:
// the decoder is forked.
document_report inspect_document(bytes_view bytes, const font_choice& font);

}  // namespace zub
