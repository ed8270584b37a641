// What is inside a document, and everything about it that is not as it should be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "document/document.hpp"

namespace zub {

struct problem {
    std::uint64_t offset = 0;
    std::string message;
};

struct image_report {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::string format;  // as the image library recognises it; empty when it does not
    int width = 0;       // as decoded; 0 when it does not decode
    int height = 0;
};

struct record_report {
    std::uint32_t number = 0;  // counting from 1
    std::uint64_t offset = 0;
    std::string colour;  // #rrggbb
    int x = 0;
    int y = 0;
    std::uint32_t length = 0;
    std::string text;  // escaped
};

struct document_report {
    std::uint64_t file_size = 0;
    bool is_document = false;
    std::optional<document_header> header;
    std::string caption;  // escaped
    std::optional<image_report> image;
    std::vector<record_report> records;
    std::vector<problem> problems;
};

// Bytes outside printable ASCII as \xHH, and the backslash as \\.
std::string escape_bytes(bytes_view bytes);

// Reads the whole document and notes every problem with its byte offset. Decoding the
// image needs SDL_image; telling whether a text lies wholly outside the window needs
// SDL_ttf running and the font at `font_path` (without it, only texts that start right
// of or below the window are found).
document_report inspect_document(bytes_view bytes, const char* font_path);

}  // namespace zub
