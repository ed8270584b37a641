// The ZUB document file: its layout, and parsing it once into a value.
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
// Parsing reads the file's bytes in place through the bounds-checked reader and copies
// nothing: the parsed document's caption, image and texts are views into the file's
// bytes, which must outlive it. Whatever is wrong with the file is a problem: a code,
// the byte offset where it shows, and the numbers its sentence needs.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

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

// Whether the window takes a side from the desktop (a side of 0): its size is known only
// once the display has said it.
constexpr bool takes_desktop_side(const document_header& h) { return h.width <= 0 || h.height <= 0; }

// One text record as read from the file; `text` is a view of its text_length bytes.
struct text_record {
    std::uint8_t red = 0;
    std::uint8_t green = 0;
    std::uint8_t blue = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint32_t text_length = 0;
    bytes_view text;
    std::uint64_t offset = 0;  // where the record starts in the file
};

// What can be wrong with a document. The severities say what the viewer does about it.
enum class problem_code : std::uint8_t {
    // Errors: the document is not shown at all.
    not_a_document,         // the file does not start with "ZUB" (the viewer ends quietly)
    short_header,           // about::length: the file's size
    caption_past_end,       // about::past_end
    negative_image_length,  // about::length: the image's
    image_past_end,         // about::past_end
    window_too_large,       // about::window
    window_side_negative,   // about::window
    depth_refused,          // about::depth
    row_too_wide,           // about::row
    not_composed,           // detail: why a stage behind the wall failed, through no fault of the
                            // document (the picture is not whole; nothing is written)
    // Warnings: the document is shown without something.
    record_past_end,          // about::records_cut
    image_not_shown,          // detail: why (the decoder's words)
    image_ends_early,         // the image's data stops before its end: the decoder fills the rest
    font_size_out_of_range,   // about::points
    font_not_opened,          // detail: the font looked at, why, and what is expected
    text_not_rendered,        // about::record; detail: the font library's words
    rendered_text_too_large,  // about::record
    texts_past_budget,        // about::record: the first that passes it
    texts_stopped,            // about::record: the first not reached; detail: the renderer's fate
    // Notes: shown, but not as stored.
    window_side_zero,         // about::window
    depth_chosen_by_display,  // about::depth
    caption_too_long,         // about::length: the caption's
    text_too_long,            // about::long_text
    zero_in_caption,          //
    zero_in_text,             // about::record
    unused_colour_bytes,      // about::record
    unused_position_bytes,    // about::record
    bytes_after_last_record,  // about::length: how many bytes
    text_outside_window,      // about::record
};

enum class severity : std::uint8_t { error, warning, note };

// What a problem is about, by kind: each code above names the one it carries.
namespace about {
struct nothing {};
struct length {
    std::int64_t bytes = 0;
};
struct past_end {  // a part that needs more bytes than the file has
    std::int64_t needed = 0;
    std::int64_t file_size = 0;
};
struct window {
    std::int64_t width = 0;
    std::int64_t height = 0;
};
struct depth {
    std::int64_t bits = 0;
};
struct row {  // the bytes the display's copy of a window row takes
    std::int64_t bytes = 0;
};
struct points {
    std::int64_t size = 0;
};
struct record {  // numbered from 1
    std::int64_t number = 0;
};
struct records_cut {  // record `number` of `count` is not there
    std::int64_t number = 0;
    std::int64_t count = 0;
};
struct long_text {
    std::int64_t record = 0;
    std::int64_t length = 0;
};
}  // namespace about
using problem_payload =
    std::variant<about::nothing, about::length, about::past_end, about::window, about::depth, about::row,
                 about::points, about::record, about::records_cut, about::long_text>;

struct problem {
    problem_code code{};
    std::uint64_t offset = 0;
    problem_payload about;
    std::string detail;  // a library's own words, where the sentence ends with them
};

severity severity_of(problem_code code);

// "error", "warning", "note".
const char* severity_name(severity level);

// The code's name as scripts see it ("window_too_large", ...).
const char* problem_name(problem_code code);

// The problem in words: the one table of the program's sentences about documents.
std::string describe(const problem& p);

// Drops the problems another one in the list makes moot: an image that ends early
// when it is not shown at all.
void drop_moot(std::vector<problem>& problems);

// The first problem of a picture that a stage could not compose through no fault of
// the document, or null.
const problem* not_composed(const std::vector<problem>& problems);

// Each problem in words, in order.
std::vector<std::string> describe_all(const std::vector<problem>& problems);

// A document parsed once: everything the viewer and the tools need, with views into the
// file's bytes. A file that does not start with "ZUB" is not a document and has nothing
// else; a damaged one has what could be read before the damage and its problems.
struct document {
    bool is_document = false;
    bool header_read = false;  // the file holds the whole header
    bool image_read = false;   // ... and the caption and the image: the records follow
    std::uint64_t file_size = 0;
    document_header header;
    bytes_view caption;
    bytes_view image;
    std::uint64_t image_offset = 0;
    std::vector<text_record> records;  // in file order, up to the first that is not there
    std::vector<problem> problems;     // in the order they were found

    // The first problem that keeps the document from being shown, or nullptr.
    const problem* error() const;

    // The problems that leave something out of the picture, in the order found.
    std::vector<problem> warnings() const;

    // Whether any record has a text to draw: one that does not end before its first byte.
    bool has_texts() const;
};

// A window of this size and depth beyond the bounds the window system and SDL keep
// (window_side_negative, window_too_large, depth_refused, row_too_wide), or nothing.
std::optional<problem> window_size_problem(std::int64_t width, std::int64_t height, std::int64_t depth);

// The header's fields, from bytes that start with the whole header.
document_header read_document_header(bytes_view bytes);

// A record's colour, position and text length, from its 24-byte head; no text yet.
text_record read_record_head(bytes_view head);

// Parses the whole file. Reads no byte outside it, does its sums in 64-bit arithmetic,
// and stops a record count far beyond what the file holds at the first record that is
// not there.
document parse_document(bytes_view file);

// A caption or text as it is handed to the libraries: copied into a 256-byte buffer
// filled with zeros first, so it is cut at 255 bytes and ends at its first zero byte.
using display_string = std::array<char, max_string_length + 1>;
display_string to_display_string(bytes_view stored);

}  // namespace zub
