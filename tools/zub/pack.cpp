// zub pack: writes a document from an image, a title and texts, refusing anything the
// viewer could not show as given.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "document/strings.hpp"
#include "document/writer.hpp"
#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/output_file.hpp"
#include "tools/zub/colours.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/report.hpp"
#include "view/compose.hpp"

namespace zub {

std::string quoted(std::string_view entry, char quote) { return quote + terminal_safe(entry) + quote; }

std::optional<long> whole_number(std::string_view text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || text.empty()) return std::nullopt;
    return value;
}

std::optional<window_sides> sides_of(std::string_view text) {
    const auto cross = text.find('x');
    if (cross == std::string_view::npos) return std::nullopt;
    const auto width = whole_number(text.substr(0, cross));
    const auto height = whole_number(text.substr(cross + 1));
    if (!width || !height || *width < 0 || *height < 0 || *width > max_window_side ||
        *height > max_window_side)
        return std::nullopt;
    return window_sides{static_cast<int>(*width), static_cast<int>(*height)};
}

namespace {

// UTF-8 to Latin-1, the bytes the text renderer reads. A control character (a zero
// byte would end the text where it stands; a tab is drawn as a box) is refused with its
// place in the text, and so is a character outside Latin-1, named.
result<std::string> to_latin1(std::string_view utf8, const std::string& what) {
    const auto codes = code_points(utf8);
    if (!codes) return failure{what + " is not valid UTF-8"};
    std::string out;
    for (std::size_t i = 0; i < codes->size(); ++i) {
        const std::uint32_t code = (*codes)[i];
        char name[16];
        (void)std::snprintf(name, sizeof name, "U+%04X", code);
        const std::string place = " at character " + std::to_string(i + 1) + " of the text";
        if (code == 0) return failure{what + " has a zero byte" + place + ", which would end the text there"};
        if (is_control_character(code))
            return failure{what + " has the control character " + name + (code == '\t' ? " (a tab)" : "") +
                           place};
        if (code > 0xFF) {
            std::string character;
            append_utf8(character, code);
            return failure{what + " has the character " + name + " (" + character + ")" + place +
                           ", which is outside Latin-1"};
        }
        out += static_cast<char>(code);
    }
    return out;
}

outcome check_length(const std::string& bytes, const std::string& what) {
    if (bytes.size() > max_string_length) {
        return failure{what + " is " + std::to_string(bytes.size()) + " bytes long (at most 255)"};
    }
    return done{};
}

// A field with the spaces and tabs around it taken off.
std::string_view trimmed(std::string_view field) {
    const auto first = field.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return field.substr(first, field.find_last_not_of(" \t") - first + 1);
}

// A position as written: a whole number, with a sign ("+5", "-3") or none.
std::optional<long> position_of(std::string_view field) {
    field = trimmed(field);
    if (field.starts_with('+') && field.size() > 1 && field[1] != '-') field.remove_prefix(1);
    return whole_number(field);
}

// "X,Y,COLOUR,TEXT": spaces may stand around X, Y and COLOUR; the text is the rest of
// the line as it stands, commas and spaces too. COLOUR is #rrggbb, #rgb or a CSS name.
result<text_to_write> parse_text(const std::string& entry, const std::string& where) {
    const std::string what = where + " " + quoted(entry);
    const auto first = entry.find(',');
    const auto second = first == std::string::npos ? first : entry.find(',', first + 1);
    const auto third = second == std::string::npos ? second : entry.find(',', second + 1);
    if (third == std::string::npos) return failure{what + " is not in the form X,Y,#RRGGBB,TEXT"};
    const auto x = position_of(std::string_view(entry).substr(0, first));
    const auto y = position_of(std::string_view(entry).substr(first + 1, second - first - 1));
    if (!x || !y) return failure{what + ": the position is not two whole numbers"};
    if (*x < -32768 || *x > 32767 || *y < -32768 || *y > 32767) {
        return failure{what + ": the position is outside -32768..32767"};
    }
    const std::string_view written = trimmed(std::string_view(entry).substr(second + 1, third - second - 1));
    const std::optional<colour> rgb = colour_of(written);
    if (!rgb) {
        return failure{what + ": the colour " + quoted(written, '\'') +
                       " is not #rrggbb, #rgb or a CSS colour name"};
    }
    text_to_write text;
    text.red = rgb->red;
    text.green = rgb->green;
    text.blue = rgb->blue;
    text.x = static_cast<std::int16_t>(*x);
    text.y = static_cast<std::int16_t>(*y);
    const result<std::string> latin1 = to_latin1(entry.substr(third + 1), what);
    if (!latin1) return failure{latin1.why()};
    text.text = *latin1;
    if (const outcome length = check_length(text.text, what + " in Latin-1"); !length)
        return failure{length.why()};
    return text;
}

// The first pixel of `picture` that is not opaque: one whose alpha is below its full
// value, or whose value is the colour key. Nothing when every pixel is opaque.
bool has_transparent_pixel(const checked_picture& picture) {
    const surface_layout& s = picture.layout;
    const std::uint32_t alpha = s.bits_per_pixel == 8 ? 0 : s.masks[3];
    const bool keyed = (s.flags & surface_colorkey) != 0U;
    if (alpha == 0 && !keyed) return false;
    const auto bytes_per_pixel = static_cast<std::size_t>((s.bits_per_pixel + 7) / 8);
    for (std::int32_t y = 0; y < s.height; ++y) {
        const std::uint8_t* row =
            picture.pixels + static_cast<std::size_t>(s.pitch) * static_cast<std::size_t>(y);
        for (std::int32_t x = 0; x < s.width; ++x) {
            std::uint32_t value = 0;
            for (std::size_t b = 0; b < bytes_per_pixel; ++b)
                value |= std::uint32_t{row[static_cast<std::size_t>(x) * bytes_per_pixel + b]} << (8U * b);
            if (alpha != 0 && (value & alpha) != alpha) return true;
            if (keyed && value == s.colorkey) return true;
        }
    }
    return false;
}

// The image must be one the viewer shows: decoded from its bytes alone, with no hint
// of its type, as the viewer decodes it (behind the wall). The viewer shows every pixel's
// stored colour, without its transparency: an image with a pixel that is not opaque is
// packed with a warning (an alpha channel or a colour key alone is none: every TIFF
// decodes with an alpha channel).
outcome check_image(const std::string& path, bytes_view image) {
    const image_ask whole{0, 0, true};
    stage_job decoding = start_image_stage(image, whole);
    const finished_image decoded = finish_image_stage(decoding, whole);
    if (!decoded.image) return failure{"the image cannot be shown by the viewer: " + decoded.image.why()};
    const checked_picture& picture = decoded.image->picture;
    const surface_layout& s = picture.layout;
    const bool transparent = has_transparent_pixel(picture);
    const char* kind = !transparent                               ? nullptr
                       : s.masks[3] != 0 && s.bits_per_pixel != 8 ? "an alpha channel"
                                                                  : "a transparent colour";
    if (kind != nullptr) {
        say(path, std::string("warning: the image has ") + kind +
                      "; its transparency will not be shown (the viewer shows every pixel's stored colour)");
    }
    return done{};
}

// The texts of a --texts file: one a line; a byte-order mark at the start, empty lines
// and lines starting with '#' are skipped.
outcome read_texts_file(const std::string& path, std::vector<text_to_write>& texts) {
    const result<file_bytes> loaded = read_file(path, file_bound{max_texts_file_bytes, "a texts file"});
    if (!loaded) return failure{path + ": " + loaded.why()};
    const bytes_view bytes = loaded->view();
    std::string_view rest(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    std::string bad;  // the last bad line's words
    bool not_utf8 = false;
    for (int number = 1; !rest.empty(); ++number) {
        const auto end = rest.find('\n');
        std::string line(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line.starts_with('#')) continue;
        const result<text_to_write> text = parse_text(line, path + ":" + std::to_string(number));
        if (text) {
            texts.push_back(*text);
            continue;
        }
        // Every bad line is said, the last as the failure.
        if (!bad.empty()) say("", bad);
        bad = text.why();
        not_utf8 = not_utf8 || !code_points(line);
    }
    if (not_utf8) {
        say("", bad);
        bad = path + ": is not UTF-8; a Latin-1 file converts with iconv -f latin1 -t utf-8";
    }
    if (!bad.empty()) return failure{bad};
    return done{};
}

// The document the command line describes, before its image: refusals here are a wrong
// command line.
result<document_to_write> document_from_options(const pack_options& options) {
    document_to_write doc;
    // A side of 0 takes the desktop's.
    const auto sides = sides_of(options.size);
    if (!sides) {
        return failure{"--size " + quoted(options.size, '\'') +
                       " is not WIDTHxHEIGHT with each side from 0 to 16384"};
    }
    doc.width = sides->width;
    doc.height = sides->height;
    const auto depth = whole_number(options.depth);
    if (!depth || (*depth != 0 && !exact_depth(*depth))) {
        return failure{"--depth '" + options.depth + "' is not 0, 8, 16, 24 or 32"};
    }
    doc.bits_per_pixel = static_cast<std::int32_t>(*depth);
    if (const auto row = window_size_problem(doc.width, doc.height, doc.bits_per_pixel)) {
        return failure{"--size '" + options.size + "' at --depth " + options.depth + ": " + describe(*row)};
    }
    const auto font_size = whole_number(options.font_size);
    if (!font_size || *font_size < 1 || *font_size > max_font_size) {
        return failure{"--font-size '" + options.font_size + "' is not a whole number from 1 to 16384"};
    }
    doc.font_size = static_cast<std::int32_t>(*font_size);
    // The window system reads the title's bytes as UTF-8: they are stored as given.
    if (const outcome length = check_length(options.title, "--title"); !length) return failure{length.why()};
    if (!code_points(options.title)) return failure{"--title is not valid UTF-8"};
    doc.caption = options.title;
    return doc;
}

}  // namespace

int pack_command(const pack_options& options) {
    // The output is checked first: nothing is worked out for a file that cannot be written.
    std::vector<std::string> inputs{options.image_path};
    for (const text_source& source : options.texts) {
        if (source.from_file) inputs.push_back(source.value);
    }
    const found_font font = find_font(options.font_path, options.out_path);
    inputs.push_back(font.path);
    const result<output_target> target = plan_output(options.out_path, inputs);
    if (!target) return usage_error("pack", target.why());
    result<document_to_write> doc = document_from_options(options);
    if (!doc) return usage_error("pack", doc.why());
    // A font the user names is an input like the image.
    if (!options.font_path.empty()) {
        if (const outcome named = check_font_file(options.font_path); !named)
            return file_problem(options.font_path, named.why());
    }

    for (const text_source& source : options.texts) {
        if (source.from_file) {
            if (const outcome read = read_texts_file(source.value, doc->texts); !read)
                return file_problem("", read.why());
        } else {
            const result<text_to_write> text = parse_text(source.value, "--text");
            if (!text) return usage_error("pack", text.why());
            doc->texts.push_back(*text);
        }
    }

    // The image's length is stored as a signed 32-bit value, and the viewer reads
    // documents of at most max_document_bytes: an image that would make a larger
    // document is refused unread.
    static_assert(max_document_bytes <= std::uint64_t{INT32_MAX});
    const result<file_bytes> image =
        read_file(options.image_path, file_bound{max_document_bytes - header_size, "an image in a document"});
    if (!image) return file_problem(options.image_path, image.why());
    doc->image = image->view();
    if (const outcome shown = check_image(options.image_path, doc->image); !shown) {
        return file_problem(options.image_path, shown.why());
    }
    const std::vector<std::uint8_t> bytes = write_document(*doc);
    if (bytes.size() > max_document_bytes) {
        return file_problem(options.out_path, "the document would be " + std::to_string(bytes.size()) +
                                                  " bytes, more than the " +
                                                  std::to_string(max_document_bytes) +
                                                  " a document may have");
    }
    if (const outcome written = write_output(*target, bytes); !written)
        return file_problem("", written.why());
    // Stored as asked, but nobody will see it: the texts are measured behind the wall.
    const document written = parse_document(bytes_view(bytes.data(), bytes.size()));
    if (!written.records.empty()) {
        if (const std::string note = font_note(font, "measured"); !note.empty()) say(options.out_path, note);
        composition measuring = start_composition(
            written, composing_ask{written.header.width, written.header.height, false, false},
            font_choice{font.path, font.hint});
        finished_texts measured;
        if (measuring.texts_wanted) measured = finish_texts_stage(measuring.text_stage, measuring.texts);
        for (const problem& p : find_texts_outside(written, measuring.texts_wanted ? &measured : nullptr))
            say(options.out_path, "note: " + describe(p));
    }
    return status_ok;
}

}  // namespace zub
