// Which font the tools draw and measure the texts in.
//
// One rule for every command: the font --font names, else Consola.ttf in the working
// directory (where the viewer looks), else Consola.ttf beside the document, else the
// fixed-width face fontconfig gives for "monospace" (Debian: DejaVu Sans Mono, from
// fonts-dejavu-core). A thumbnailer or a file manager runs the tools anywhere, and a
// document's texts should show wherever its picture is made.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "document/result.hpp"

namespace zub {

// Where the rule found the font, in its order.
enum class font_source : std::uint8_t { named, working_directory, beside_document, system_face };

struct found_font {
    std::string path;
    std::string hint;  // what is expected, for a warning when it cannot be opened
    font_source source = font_source::named;
};

// The font for the document at `document_path`; `named` is --font's value, or empty.
found_font find_font(const std::string& named, const std::string& document_path);

// "the texts are drawn in PATH, ...: there is no Consola.ttf in the working directory",
// for a font that is not the first the rule names; empty for one that is.
std::string font_note(const found_font& font, const char* done_to_texts);

// A font --font names is an input like the document: that it can be read, or why not.
outcome check_font_file(const std::string& path);

// Consola.ttf beside the document, when it is a regular file that can be read.
std::optional<std::string> font_beside(const std::string& document_path);

// The file of the fixed-width face fontconfig gives, or empty when it knows none.
std::string system_fixed_width_face();

}  // namespace zub
