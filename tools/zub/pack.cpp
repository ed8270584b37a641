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

#include <unistd.h>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "document/strings.hpp"
#include "document/writer.hpp"
#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/output_file.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/parts.hpp"
#include "tools/zub/report.hpp"
#include "tools/zub/texts_file.hpp"
#include "wall/composition.hpp"

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

result<file_bytes> read_input(const std::string& path, const file_bound& bound) {
    if (path == "-") return read_descriptor(STDIN_FILENO, bound);
    return read_file(path, bound);
}

std::string input_path(const std::string& path) { return path == "-" ? "/dev/stdin" : path; }

std::string output_path(const std::string& path) { return path == "-" ? "/dev/stdout" : path; }

namespace {

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
// stored colour without its alpha, and paints no pixel of a transparent colour: an image
// with a pixel that is not opaque is packed with a warning that says what the window
// shows (an alpha channel or a colour key alone is none: every TIFF decodes with an alpha
// channel). The decoded size, or why it is not shown; `not_composed` is set when the
// decoder failed through no fault of the image (it could not start, say).
result<window_sides> check_image(const std::string& path, bytes_view image, std::string& not_composed) {
    const image_ask whole{0, 0, true};
    stage_job decoding = start_image_stage(image, whole);
    const finished_image decoded = finish_image_stage(decoding, whole);
    not_composed = decoded.error;
    if (!decoded.image) return failure{"the image cannot be shown by the viewer: " + decoded.image.why()};
    const checked_picture& picture = decoded.image->picture;
    const surface_layout& s = picture.layout;
    if (decoded.image->relaid) {
        say(path,
            "warning: the image is grey with a transparent grey; the viewer shows it as SDL 1.2 converts "
            "it, each pixel's grey in red and its opacity in green");
    } else if (has_transparent_pixel(picture)) {
        say(path,
            s.masks[3] != 0 && s.bits_per_pixel != 8
                ? "warning: the image has an alpha channel; its transparency will not be shown (the viewer "
                  "shows every pixel's stored colour)"
                : "warning: the image has a transparent colour; the viewer does not paint it (the window's "
                  "black shows through)");
    }
    return window_sides{decoded.image->image_width, decoded.image->image_height};
}

// The header fields the command line names, over what --from gives: refusals here are
// a wrong command line.
outcome apply_options(const pack_options& options, pack_start& start) {
    if (options.size) {
        // A side of 0 takes the desktop's.
        const auto sides = sides_of(*options.size);
        if (!sides) {
            return failure{"--size " + quoted(*options.size, '\'') +
                           " is not WIDTHxHEIGHT with each side from 0 to 16384"};
        }
        start.size = *sides;
    }
    if (options.depth) {
        const auto depth = whole_number(*options.depth);
        if (!depth || (*depth != 0 && !exact_depth(*depth)))
            return failure{"--depth " + quoted(*options.depth, '\'') + " is not 0, 8, 16, 24 or 32"};
        start.depth = static_cast<std::int32_t>(*depth);
    }
    if (options.font_size) {
        const auto font_size = whole_number(*options.font_size);
        if (!font_size || *font_size < 1 || *font_size > max_font_size) {
            return failure{"--font-size " + quoted(*options.font_size, '\'') +
                           " is not a whole number from 1 to 16384"};
        }
        start.font_size = static_cast<std::int32_t>(*font_size);
    }
    if (options.title) {
        // The window system reads the title's bytes as UTF-8: they are stored as given.
        if (const outcome length = check_string_length(*options.title, "--title"); !length)
            return failure{length.why()};
        if (!code_points(*options.title)) return failure{"--title is not valid UTF-8"};
        start.caption = *options.title;
    }
    return done{};
}

// The window's size is known once the image is: a size no option or document gives is
// the image's own.
outcome check_window(const pack_options& options, const pack_start& start) {
    const window_sides& size = *start.size;
    if (const auto row = window_size_problem(size.width, size.height, start.depth)) {
        return failure{"the window " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                       (options.size ? " (--size)" : "") + " at depth " + std::to_string(start.depth) + ": " +
                       describe(*row)};
    }
    return done{};
}

// The texts the command line gives, in its order, instead of --from's.
outcome read_texts(const pack_options& options, std::vector<text_to_write>& texts, bool& wrong_command) {
    if (options.texts.empty()) return done{};
    texts.clear();
    for (const text_source& source : options.texts) {
        if (source.from_file) {
            if (outcome read = read_texts_file(source.value, texts); !read) return read;
        } else {
            const result<text_to_write> text = parse_text(source.value, "--text");
            if (!text) {
                wrong_command = true;
                return failure{text.why()};
            }
            texts.push_back(*text);
        }
    }
    return done{};
}

// Notes texts nobody will see: they are measured behind the wall.
void note_texts_outside(const std::vector<std::uint8_t>& bytes, const found_font& font,
                        const std::string& path) {
    const document written = parse_document(bytes_view(bytes.data(), bytes.size()));
    if (!written.has_texts()) return;
    if (const std::string note = font_note(font, "measured"); !note.empty()) say(path, note);
    composition measuring =
        start_composition(written, composing_ask{written.header.width, written.header.height, false, false},
                          font_choice{font.path, font.hint});
    finished_texts measured;
    if (measuring.texts_wanted) measured = finish_texts(measuring);
    for (const problem& p : find_texts_outside(written, measuring.texts_wanted ? &measured : nullptr))
        say(path, "note: " + describe(p));
}

}  // namespace

int pack_command(const pack_options& options) {
    if (options.from_path.empty()) {
        if (options.image_path.empty()) return usage_error("pack", "--image is required (or --from)");
    }
    // The output is checked first: nothing is worked out for a file that cannot be written.
    // A document may be written over the one it starts from: it is read whole first.
    std::vector<std::string> inputs{options.image_path};
    for (const text_source& source : options.texts) {
        if (source.from_file) inputs.push_back(source.value);
    }
    const found_font font = find_font(options.font_path, options.out_path);
    inputs.push_back(font.path);
    if (options.out_path == "-" && isatty(STDOUT_FILENO) == 1)
        return usage_error("pack", "standard output is a terminal: the document goes to a file or a pipe");
    const result<output_target> target =
        plan_output(output_path(options.out_path), inputs, input_path(options.from_path));
    if (!target) return usage_error("pack", target.why());
    pack_start start;
    if (const outcome applied = apply_options(options, start); !applied)
        return usage_error("pack", applied.why());
    // A font the user names is an input like the image.
    if (!options.font_path.empty()) {
        if (const outcome named = check_font_file(options.font_path); !named)
            return file_problem(options.font_path, named.why());
    }
    if (!options.from_path.empty()) {
        result<pack_start> from = read_pack_start(options.from_path);
        if (!from) return file_problem("", from.why());
        // What is read from it is an input too.
        for (const std::string& read : from->inputs) {
            if (const result<output_target> again = plan_output(
                    output_path(options.out_path), {input_path(read)}, input_path(options.from_path));
                !again)
                return usage_error("pack", again.why());
        }
        start = std::move(*from);
        if (const outcome applied = apply_options(options, start); !applied)
            return usage_error("pack", applied.why());
    }
    bool wrong_command = false;
    if (const outcome read = read_texts(options, start.texts, wrong_command); !read)
        return wrong_command ? usage_error("pack", read.why()) : file_problem("", read.why());

    // The image's length is stored as a signed 32-bit value, and the viewer reads
    // documents of at most max_document_bytes: an image that would make a larger
    // document is refused unread.
    static_assert(max_document_bytes <= std::uint64_t{INT32_MAX});
    if (!options.image_path.empty()) {
        result<file_bytes> image = read_file(options.image_path, embedded_image_bound());
        if (!image) return file_problem(options.image_path, image.why());
        start.held = std::move(*image);
        start.image = start.held.view();
        start.image_path = options.image_path;
    }
    std::string not_composed;
    const result<window_sides> shown = check_image(start.image_path, start.image, not_composed);
    // A decoder that failed through no fault of the image: nothing is written.
    if (!not_composed.empty())
        return file_problem(start.image_path, "the image cannot be checked: " + not_composed);
    if (!shown && !options.image_path.empty()) return file_problem(options.image_path, shown.why());
    if (!shown) {
        // The document's own image, as it was: it is kept.
        say(start.image_path, "warning: " + shown.why() + "; it is kept as it was");
    }
    if (!start.size) {
        if (!shown) return usage_error("pack", "--size is required: the image's own size is not known");
        start.size = *shown;
    }
    if (const outcome window = check_window(options, start); !window)
        return usage_error("pack", window.why());

    document_to_write doc;
    doc.width = start.size->width;
    doc.height = start.size->height;
    doc.bits_per_pixel = start.depth;
    doc.font_size = start.font_size;
    doc.caption = start.caption;
    doc.image = start.image;
    doc.texts = std::move(start.texts);
    const std::vector<std::uint8_t> bytes = write_document(doc);
    if (bytes.size() > max_document_bytes) {
        return file_problem(options.out_path, "the document would be " + std::to_string(bytes.size()) +
                                                  " bytes, more than the " +
                                                  std::to_string(max_document_bytes) +
                                                  " a document may have");
    }
    if (const outcome written = write_output(*target, bytes); !written)
        return file_problem("", written.why());
    note_texts_outside(bytes, font, options.out_path);
    return status_ok;
}

}  // namespace zub
