// zub render: the picture the viewer shows, composed without a display and saved as PNG.
#include <SDL.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <optional>
#include <string_view>

#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/output_file.hpp"
#include "tools/picture_formats.hpp"
#include "tools/png_file.hpp"
#include "tools/scale.hpp"
#include "tools/zub/commands.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace zub {

namespace {

rgb_image read_screen(const SDL_Surface* screen) {
    rgb_image out{screen->w, screen->h, {}};
    out.rgb.reserve(static_cast<std::size_t>(screen->w) * static_cast<std::size_t>(screen->h) * 3);
    const int bpp = screen->format->BytesPerPixel;
    for (int y = 0; y < screen->h; ++y) {
        const auto* row =
            static_cast<const std::uint8_t*>(screen->pixels) + static_cast<std::ptrdiff_t>(y) * screen->pitch;
        for (int x = 0; x < screen->w; ++x) {
            const std::uint8_t* at = row + static_cast<std::ptrdiff_t>(x) * bpp;
            std::uint32_t pixel = 0;
            for (int i = 0; i < bpp; ++i)
                pixel |= static_cast<std::uint32_t>(at[i]) << (8U * static_cast<unsigned>(i));
            std::uint8_t r = 0;
            std::uint8_t g = 0;
            std::uint8_t b = 0;
            SDL_GetRGB(pixel, screen->format, &r, &g, &b);
            out.rgb.insert(out.rgb.end(), {r, g, b});
        }
    }
    return out;
}

// The largest window a thumbnail is made of: 8192 x 8192.
constexpr std::int64_t max_thumbnail_pixels = std::int64_t{64} * 1024 * 1024;

window_request rendered_request(const document& doc, picture_size desktop) {
    window_request request = request_for(doc);
    // Depth 0 is the display's own, and so is any depth a display does not offer: the
    // viewer's displays are true colour.
    if (!exact_depth(request.depth)) request.depth = 32;
    // A side of 0 is the desktop's.
    if (request.width == 0) request.width = desktop.width;
    if (request.height == 0) request.height = desktop.height;
    return request;
}

// Whether the file the output names, links followed, is a ZUB document: its first bytes
// are the magic. A picture written there would destroy it (`zub render *.zub`).
bool holds_document(const output_target& target) {
    if (!target.exists || !target.regular || target.descriptor >= 0 || target.link_error != 0) return false;
    const int fd = open(target.final_path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    std::array<std::uint8_t, 3> head{};
    const ssize_t n = pread(fd, head.data(), head.size(), 0);
    (void)close(fd);
    return n == static_cast<ssize_t>(head.size()) && parse_document(head).is_document;
}

// Why the picture cannot be written to `target`, named `path`, or nothing: it would go
// over a document, or into a file named for another format than the one written.
std::optional<std::string> refused_output(const std::string& path, const output_target& target) {
    if (holds_document(target)) {
        return path +
               " is a ZUB document: zub render writes one picture of one document; several "
               "documents are rendered with -d DIR";
    }
    if (const auto format = unwritten_format(path))
        return path + " is named as " + *format + ": zub render writes pictures as " + written_formats();
    return std::nullopt;
}

}  // namespace

int render_command(const render_options& options) {
    const std::string& path = options.path;
    // The output is checked first: nothing is composed for a file that cannot be written.
    const found_font font = find_font(options.font_path, path);
    const result<output_target> target = plan_output(options.out_path, {path, font.path});
    if (!target) return usage_error("render", target.why());
    if (const auto refused = refused_output(options.out_path, *target))
        return usage_error("render", *refused);

    const result<file_bytes> loaded = read_file(path, document_bound());
    if (!loaded) return file_problem(path, loaded.why());
    const document doc = parse_document(loaded->view());
    if (!doc.is_document) return file_problem(path, "not a ZUB document");
    if (const problem* error = doc.error()) return file_problem(path, describe(*error));

    const window_request request = rendered_request(doc, {options.desktop_width, options.desktop_height});
    // File managers make thumbnails unasked, of every file in a folder: a few bytes that
    // declare a huge window must not cost them seconds and gigabytes.
    if (options.size > 0 && std::int64_t{request.width} * request.height > max_thumbnail_pixels) {
        return file_problem(path, "the window " + std::to_string(request.width) + "x" +
                                      std::to_string(request.height) +
                                      " is too large for a thumbnail (at most " +
                                      std::to_string(max_thumbnail_pixels) + " pixels)");
    }
    // A font the user names is an input like the document: one that cannot be read or
    // opened ends the run, where another only leaves the texts out with a warning.
    if (!options.font_path.empty()) {
        if (const outcome named = check_font_file(options.font_path); !named)
            return file_problem(options.font_path, named.why());
    }
    // The stages compose behind the wall while SDL starts.
    composition composing =
        start_composition_for(doc, request, font_choice{font.path, font.hint}, !options.font_path.empty());
    const result<sdl_session> sdl = start_sdl(video_kind::in_memory);
    if (!sdl) return file_problem(path, "cannot start SDL: " + sdl.why());
    const result<SDL_Surface*> screen = open_window(request);
    if (!screen) return file_problem(path, screen.why());
    const std::vector<problem> warnings = compose_document(doc, *screen, composing);
    if (!options.font_path.empty() && !composing.font_error.empty())
        return file_problem(options.font_path, "cannot open the font: " + composing.font_error);
    if (const std::string note = font_note(font, "drawn"); !note.empty() && !doc.records.empty())
        say(path, note);
    for (const problem& warning : warnings) say(path, describe(warning));

    rgb_image picture = read_screen(*screen);
    if (options.size > 0)
        picture = scale_down(picture, fit_within(picture.width, picture.height, options.size));
    const result<std::vector<std::uint8_t>> png = png_bytes(picture);
    if (!png) return file_problem(options.out_path, png.why());
    if (const outcome written = write_output(*target, *png); !written) return file_problem("", written.why());
    return status_ok;
}

}  // namespace zub
