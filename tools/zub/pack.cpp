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

// UTF-8 to Latin-1, the bytes the text renderer reads. A zero byte would end the text
// where it stands, so it is refused too.
result<std::string> to_latin1(std::string_view utf8, const std::string& what) {
    const auto codes = code_points(utf8);
    if (!codes) return failure{what + " is not valid UTF-8"};
    std::string out;
    for (const std::uint32_t code : *codes) {
        if (code == 0) return failure{what + " has a zero byte, which would end the text there"};
        if (code > 0xFF) {
            char name[16];
            (void)std::snprintf(name, sizeof name, "U+%04X", code);
            return failure{what + " has the character " + name + ", which is outside Latin-1"};
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

// "X,Y,#RRGGBB,TEXT"; the text is the rest of the line and may hold commas.
result<text_to_write> parse_text(const std::string& entry, const std::string& where) {
    const std::string what = where + " " + quoted(entry);
    const auto first = entry.find(',');
    const auto second = first == std::string::npos ? first : entry.find(',', first + 1);
    const auto third = second == std::string::npos ? second : entry.find(',', second + 1);
    if (third == std::string::npos) return failure{what + " is not in the form X,Y,#RRGGBB,TEXT"};
    const auto x = whole_number(std::string_view(entry).substr(0, first));
    const auto y = whole_number(std::string_view(entry).substr(first + 1, second - first - 1));
    if (!x || !y) return failure{what + ": the position is not two whole numbers"};
    if (*x < -32768 || *x > 32767 || *y < -32768 || *y > 32767) {
        return failure{what + ": the position is outside -32768..32767"};
    }
    const std::string colour = entry.substr(second + 1, third - second - 1);
    unsigned rgb = 0;
    const auto [ptr, ec] = std::from_chars(colour.data() + std::min<std::size_t>(1, colour.size()),
                                           colour.data() + colour.size(), rgb, 16);
    if (colour.size() != 7 || colour[0] != '#' || ec != std::errc{} || ptr != colour.data() + colour.size()) {
        return failure{what + ": the colour is not #RRGGBB"};
    }
    text_to_write text;
    text.red = static_cast<std::uint8_t>(rgb >> 16U);
    text.green = static_cast<std::uint8_t>(rgb >> 8U);
    text.blue = static_cast<std::uint8_t>(rgb);
    text.x = static_cast<std::int16_t>(*x);
    text.y = static_cast<std::int16_t>(*y);
    const result<std::string> latin1 = to_latin1(entry.substr(third + 1), what);
    if (!latin1) return failure{latin1.why()};
    text.text = *latin1;
    if (const outcome length = check_length(text.text, what + " in Latin-1"); !length)
        return failure{length.why()};
    return text;
}

// The image must be one the viewer shows: decoded from its bytes alone, with no hint
// of its type, as the viewer decodes it (behind the wall). The viewer shows every pixel's
// stored colour, without its transparency: an image that has some is packed with a
// warning.
outcome check_image(const std::string& path, bytes_view image) {
    const image_ask description{0, 0, false};
    stage_job decoding = start_image_stage(image, description);
    const finished_image decoded = finish_image_stage(decoding, description);
    if (!decoded.image) return failure{"the image cannot be shown by the viewer: " + decoded.image.why()};
    const surface_layout& s = decoded.image->picture.layout;
    const char* kind = s.masks[3] != 0                      ? "an alpha channel"
                       : (s.flags & surface_colorkey) != 0U ? "a transparent colour"
                                                            : nullptr;
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
    for (int number = 1; !rest.empty(); ++number) {
        const auto end = rest.find('\n');
        std::string line(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line.starts_with('#')) continue;
        const result<text_to_write> text = parse_text(line, path + ":" + std::to_string(number));
        if (!text) return failure{text.why()};
        texts.push_back(*text);
    }
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
