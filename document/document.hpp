// The ZUB document file: its layout and the readers that take fields from it in place.
//
// A document is a 31-byte header, then the caption, the embedded image and the text
// records, back to back, with every integer 4 bytes little-endian and unaligned:
//
//   0  "ZUB"            19 caption_length   (unsigned)
//   3  width            23 record_count     (unsigned)
//   7  height           27 image_length     (signed)
//   11 bits_per_pixel   31 caption, then image_data, then the text records
//   15 font_size
//
// A text record is a 24-byte head (red, green, blue, x, y, text_length) followed by
// text_length bytes of Latin-1 text. Only the first byte of a colour slot and the low
// 16 bits of a position slot carry meaning.
//
// Nothing here allocates or copies the file: readers return values and views into the
// caller's buffer, or a damage report when the bytes they need are not there.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "document/byte_reader.hpp"

namespace zub {

namespace header_offset {
inline constexpr std::uint64_t magic = 0;
inline constexpr std::uint64_t width = 3;
inline constexpr std::uint64_t height = 7;
inline constexpr std::uint64_t bits_per_pixel = 11;
inline constexpr std::uint64_t font_size = 15;
inline constexpr std::uint64_t caption_length = 19;
inline constexpr std::uint64_t record_count = 23;
inline constexpr std::uint64_t image_length = 27;
}  // namespace header_offset

namespace record_offset {
inline constexpr std::uint64_t red = 0;
inline constexpr std::uint64_t green = 4;
inline constexpr std::uint64_t blue = 8;
inline constexpr std::uint64_t x = 12;
inline constexpr std::uint64_t y = 16;
inline constexpr std::uint64_t text_length = 20;
inline constexpr std::uint64_t text = 24;
}  // namespace record_offset

inline constexpr std::uint64_t header_size = 31;
inline constexpr std::uint64_t record_head_size = 24;

// The longest caption or text that is shown: strings are copied into 256-byte
// zero-filled buffers, and the last byte stays the terminator.
inline constexpr std::size_t max_string_length = 255;

// The header's fields, read as they are stored.
struct document_header {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t bits_per_pixel = 0;
    std::int32_t font_size = 0;
    std::uint32_t caption_length = 0;
    std::uint32_t record_count = 0;
    std::int32_t image_length = 0;
};

// The header and views of the caption and image inside the file's bytes, and where
// the text records begin.
struct document_sections {
    document_header header;
    bytes_view caption;
    bytes_view image;
    std::uint64_t records_offset = 0;
};

// One text record as read from the file; `text` is a view of its text_length bytes.
struct text_record {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint32_t text_length = 0;
    bytes_view text;
    std::uint64_t offset = 0;       // where the record starts in the file
    std::uint64_t next_offset = 0;  // where the record after it starts
};

// What is wrong with a damaged document, and the byte offset where it shows.
struct damage {
    std::string message;
    std::uint64_t offset = 0;
};

// Byte 0 is 'Z': the only test made before the libraries are asked for anything.
bool starts_like_document(bytes_view bytes);

// Bytes 1 and 2 are 'U' and 'B' (false for a file too short to hold them).
bool has_document_magic(bytes_view bytes);

// Reads the header and locates the caption and the image. Reports damage when the
// file is shorter than the header, when `image_length` is negative, or when the
// caption or the image runs past the end of the file. The magic is not checked here.
std::variant<document_sections, damage> read_document(bytes_view bytes);

// Reads the record at `offset`, or nothing when its head or its text runs past the end.
std::optional<text_record> read_text_record(bytes_view bytes, std::uint64_t offset);

// The message for a record that does not fit, `index` counting from 0.
damage record_damage(std::uint32_t index, std::uint32_t record_count, std::uint64_t offset);

// A walk over the text records in file order: `record_count` of them from just after the
// image, each found 24 + text_length bytes after the one before.
struct record_walk {
    std::uint64_t offset = 0;
    std::uint32_t done = 0;  // records read so far
    std::uint32_t count = 0;
};
struct records_end {};
using record_step = std::variant<text_record, records_end, damage>;

record_walk walk_records(const document_sections& sections);

// The next record; the end once `count` records have been read; damage (and the end of
// the walk) at the first record that does not fit in the file. A count far beyond what
// the file holds therefore stops at once.
record_step next_record(bytes_view bytes, record_walk& walk);

// A caption or text as it is handed to the libraries: copied into a 256-byte buffer
// filled with zeros first, so it is cut at 255 bytes and ends at its first zero byte.
using display_string = std::array<char, max_string_length + 1>;
display_string to_display_string(bytes_view stored);

}  // namespace zub
