// Which font the tools draw and measure the texts in.
//
// One rule for every command: the font --font names, else Consola.ttf in the working
// directory (where the viewer looks), else Consola.ttf beside the document, else the
// system's fixed-width face: DejaVu Sans Mono (fonts-dejavu-core), else the first
// fixed-width regular face under /usr/share/fonts, a TrueType one first, by path. A
// thumbnailer or a file manager runs the tools anywhere, and a document's texts should
// show in the same face wherever its picture is made: neither fontconfig's configuration
// nor the caller's environment (a thumbnailer's sandbox has neither) has a say in it.
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

// The system's fixed-width face, where fonts-dejavu-core puts it.
inline constexpr const char* system_face_path = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf";

// The file of the system's fixed-width face, or empty when there is none.
std::string system_fixed_width_face();

}  // namespace zub
