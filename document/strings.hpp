// The document's strings as text, and text made safe to print.
//
// A caption is read as UTF-8 where it is valid, else as Latin-1, as the window system is
// asked to show it; a record's text is Latin-1, the encoding the text renderer reads. Any
// name or text a program prints goes through `terminal_safe`, so that a file name cannot
// colour the terminal or forge a line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/byte_reader.hpp"

namespace zub {

// The code points of strict UTF-8 (no overlong forms, surrogates or values past
// U+10FFFF), or nothing when the bytes are not that.
std::optional<std::vector<std::uint32_t>> code_points(std::string_view utf8);

// Latin-1 bytes as UTF-8: each byte is the character of that number.
std::string latin1_to_utf8(bytes_view latin1);

// The stored caption as text: UTF-8 where it is valid, else Latin-1.
std::string caption_text(bytes_view caption);

// The window's title: the caption as it is shown (its first 255 bytes, up to its first
// zero byte) as UTF-8 text. Bytes that are valid UTF-8 are kept exactly, but for a
// character the 255-byte cut splits, which is dropped; any other bytes are read as
// Latin-1.
std::string title_text(bytes_view caption);

// C0 controls, DEL and C1 controls (U+0080 to U+009F).
bool is_control_character(std::uint32_t code);

// A count of bytes as a sentence says it: "1 byte", "2 bytes".
std::string bytes_count(std::int64_t count);

// The bytes of a string as a report quotes them: valid UTF-8 as text, and each byte of
// a control character (C1 among them), of what is not UTF-8, of a quote and of a
// backslash escaped (\xHH, \", \\).
std::string quoted_text(bytes_view text);

// Latin-1 bytes as a report quotes them: each byte as its character, but a control
// character's byte (C0, DEL, C1) as \xHH, and a quote and a backslash escaped.
std::string quoted_latin1(bytes_view text);

// Latin-1 bytes as a line of text: as `quoted_latin1`, but a quote stays as it is.
std::string latin1_line(bytes_view text);

// The stored caption as a report quotes it: as `quoted_text` where it is UTF-8, else as
// `quoted_latin1`, the way the caption is read as text.
std::string quoted_caption(bytes_view caption);

// Appends the UTF-8 of a code point.
void append_utf8(std::string& out, std::uint32_t code);

// `text` with every control character (C0, DEL and C1, U+0080 to U+009F, whether
// encoded in UTF-8 or as a lone byte) and every byte that is not part of valid UTF-8
// written as \xHH, one escape a byte. The rest, printable UTF-8, is kept as it is.
std::string terminal_safe(std::string_view text);

}  // namespace zub
