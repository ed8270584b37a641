// What is inside a document, and everything about it that is not as it should be.
#pragma once

#include <string>
#include <vector>

#include "document/document.hpp"
#include "wall/composition.hpp"

namespace zub {

struct document_report {
    document doc;              // views into the file's bytes
    std::string image_format;  // as the image library recognises it; empty when it does not
    int image_width = 0;       // as decoded; 0 when it does not decode
    int image_height = 0;
    std::vector<problem> problems;  // the document's, then what decoding and measuring found
};

// Parses the document and notes every problem with its byte offset. The image is decoded
// and the texts rendered as the viewer does, behind the wall.
document_report inspect_document(bytes_view bytes, const font_choice& font);

// The records whose text lies wholly outside the document's window (notes). Texts that
// start right of or below it are found without a font; texts that end left of or above
// it by the sizes the texts stage measured, where it measured them.
std::vector<problem> find_texts_outside(const document& doc, const finished_texts* measured);

}  // namespace zub
