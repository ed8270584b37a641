// A small writer of ZUB documents for the tests, independent of the readers under test.
// Every stored length and count can be overridden to make damaged documents.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zub::test {

using bytes = std::vector<std::uint8_t>;

bytes to_bytes(const std::string& text);

struct record_parts {
    // Whole 4-byte slots, so that tests can set the bytes the reader must ignore.
    std::uint32_t red = 0;
    std::uint32_t green = 0;
    std::uint32_t blue = 0;
    std::uint32_t x = 0;
    std::uint32_t y = 0;
    bytes text;
    std::optional<std::uint32_t> text_length;  // stored instead of text.size()
};

record_parts text_at(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b, const std::string& text);

struct document_parts {
    std::int32_t width = 16;
    std::int32_t height = 16;
    std::int32_t bits_per_pixel = 32;
    std::int32_t font_size = 12;
    bytes caption;
    bytes image;
    std::vector<record_parts> records;
    bytes trailing;
    std::optional<std::uint32_t> caption_length;  // stored instead of caption.size()
    std::optional<std::uint32_t> record_count;    // stored instead of records.size()
    std::optional<std::uint32_t> image_length;    // stored instead of image.size()
};

bytes write_document(const document_parts& parts);

void put_u32(bytes& out, std::uint32_t value);

// A few kilobytes made to cost minutes and gigabytes in the texts: a 16x16 window with
// one text a string at 9000 points. `different_characters(n)`: n one-character strings,
// each another printable Latin-1 character.
bytes text_bomb(const std::string& caption, const std::vector<std::string>& texts);
std::vector<std::string> different_characters(std::size_t count);

// Writes `data` to `path`; throws on failure.
void write_file(const std::string& path, const bytes& data);

}  // namespace zub::test
