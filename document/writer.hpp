// Writing a document: the inverse of the readers, for tools that author documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document/byte_reader.hpp"

namespace zub {

struct text_to_write {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::string text;  // Latin-1 bytes
};

struct document_to_write {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits_per_pixel = 0;
    std::int32_t font_size = 0;
    std::string caption;
    bytes_view image;
    std::vector<text_to_write> texts;
};

// The document's bytes: header, caption, image and records, every slot's unused bytes
// zero.
std::vector<std::uint8_t> write_document(const document_to_write& doc);

}  // namespace zub
