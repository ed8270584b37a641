// zub pack: writes a document from an image, a title and texts, refusing anything the
// viewer could not show as given.
#include <SDL_image.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "app/load_file.hpp"
#include "document/document.hpp"
#include "document/image_probe.hpp"
#include "document/limits.hpp"
#include "document/writer.hpp"
#include "tools/zub/commands.hpp"
#include "view/sdl_handles.hpp"

namespace zub {

namespace {

// A refusal: what is wrong with the input, said to the user as it stands.
struct refused : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::optional<long> whole_number(std::string_view text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || text.empty()) return std::nullopt;
    return value;
}

// UTF-8 to Latin-1, the bytes the text renderer reads.
std::string to_latin1(std::string_view utf8, const std::string& what) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::uint32_t code = 0;
        std::size_t extra = 0;
        if (lead < 0x80) {
            code = lead;
        } else if ((lead & 0xE0U) == 0xC0) {
            code = lead & 0x1FU, extra = 1;
        } else if ((lead & 0xF0U) == 0xE0) {
            code = lead & 0x0FU, extra = 2;
        } else if ((lead & 0xF8U) == 0xF0) {
            code = lead & 0x07U, extra = 3;
        } else {
            throw refused(what + " is not valid UTF-8");
        }
        if (i + extra >= utf8.size() && extra > 0) throw refused(what + " is not valid UTF-8");
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0U) != 0x80) throw refused(what + " is not valid UTF-8");
            code = code << 6U | (next & 0x3FU);
        }
        if (extra == 1 && code < 0x80) throw refused(what + " is not valid UTF-8");  // overlong
        if (code > 0xFF) {
            char name[16];
            (void)std::snprintf(name, sizeof name, "U+%04X", code);
            throw refused(what + " has the character " + name + ", which is outside Latin-1");
        }
        out += static_cast<char>(code);
        i += extra + 1;
    }
    return out;
}

void check_length(const std::string& bytes, const std::string& what) {
    if (bytes.size() > max_string_length) {
        throw refused(what + " is " + std::to_string(bytes.size()) + " bytes long (at most 255)");
    }
}

// "X,Y,#RRGGBB,TEXT"; the text is the rest of the line and may hold commas.
text_to_write parse_text(const std::string& entry, const std::string& where) {
    const std::string what = where + " \"" + entry + "\"";
    const auto first = entry.find(',');
    const auto second = first == std::string::npos ? first : entry.find(',', first + 1);
    const auto third = second == std::string::npos ? second : entry.find(',', second + 1);
    if (third == std::string::npos) throw refused(what + " is not in the form X,Y,#RRGGBB,TEXT");
    const auto x = whole_number(std::string_view(entry).substr(0, first));
    const auto y = whole_number(std::string_view(entry).substr(first + 1, second - first - 1));
    if (!x || !y) throw refused(what + ": the position is not two whole numbers");
    if (*x < -32768 || *x > 32767 || *y < -32768 || *y > 32767) {
        throw refused(what + ": the position is outside -32768..32767");
    }
    const std::string colour = entry.substr(second + 1, third - second - 1);
    unsigned rgb = 0;
    const auto [ptr, ec] = std::from_chars(colour.data() + std::min<std::size_t>(1, colour.size()),
                                           colour.data() + colour.size(), rgb, 16);
    if (colour.size() != 7 || colour[0] != '#' || ec != std::errc{} || ptr != colour.data() + colour.size()) {
        throw refused(what + ": the colour is not #RRGGBB");
    }
    text_to_write text;
    text.red = static_cast<std::uint8_t>(rgb >> 16U);
    text.green = static_cast<std::uint8_t>(rgb >> 8U);
    text.blue = static_cast<std::uint8_t>(rgb);
    text.x = static_cast<std::int16_t>(*x);
    text.y = static_cast<std::int16_t>(*y);
    text.text = to_latin1(entry.substr(third + 1), what);
    check_length(text.text, what + " in Latin-1");
    return text;
}

// The image must be one the viewer shows: decoded from its bytes alone, with no hint
// of its type, as the viewer decodes it.
void check_image(const std::string& path, bytes_view image) {
    if (const auto problem = image_problem(image))
        throw refused("the image " + path + " is refused: " + *problem);
    const surface_handle decoded{
        IMG_Load_RW(SDL_RWFromConstMem(image.data(), static_cast<int>(image.size())), 1)};
    if (!decoded) {
        throw refused("the image " + path + " cannot be shown by the viewer: " + std::string(IMG_GetError()));
    }
}

// Writes to a temporary file beside the output and renames it into place, so that a
// failure never leaves a half-written document.
void write_atomically(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) throw refused("cannot write " + path + ": " + std::strerror(errno));
    // mkstemp makes the file private; a document gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == bytes.size() && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !written || std::rename(temp.c_str(), path.c_str()) != 0) {
        const std::string reason = std::strerror(written ? errno : saved);
        (void)unlink(temp.c_str());
        throw refused("cannot write " + path + ": " + reason);
    }
}

}  // namespace

int pack_command(const pack_options& options) {
    try {
        document_to_write doc;
        const auto cross = options.size.find('x');
        const auto width = whole_number(std::string_view(options.size).substr(0, cross));
        const auto height = cross == std::string::npos
                                ? std::nullopt
                                : whole_number(std::string_view(options.size).substr(cross + 1));
        if (!width || !height || *width < 1 || *height < 1 || *width > max_window_side ||
            *height > max_window_side) {
            throw refused("--size " + options.size + " is not WIDTHxHEIGHT with each side from 1 to 16384");
        }
        doc.width = static_cast<std::int32_t>(*width);
        doc.height = static_cast<std::int32_t>(*height);
        if (options.depth != 0 && options.depth != 8 && options.depth != 16 && options.depth != 24 &&
            options.depth != 32) {
            throw refused("--depth " + std::to_string(options.depth) + " is not 0, 8, 16, 24 or 32");
        }
        doc.bits_per_pixel = options.depth;
        if (options.font_size < 1 || options.font_size > max_font_size) {
            throw refused("--font-size " + std::to_string(options.font_size) + " is not from 1 to 16384");
        }
        doc.font_size = options.font_size;
        // The window system reads the title's bytes as UTF-8: they are stored as given.
        check_length(options.title, "the title");
        doc.caption = options.title;

        for (const std::string& entry : options.texts) doc.texts.push_back(parse_text(entry, "--text"));
        if (!options.texts_path.empty()) {
            std::ifstream lines(options.texts_path);
            if (!lines) throw refused("cannot read " + options.texts_path + ": " + std::strerror(errno));
            int number = 0;
            for (std::string line; std::getline(lines, line);) {
                ++number;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty()) continue;
                doc.texts.push_back(parse_text(line, options.texts_path + ":" + std::to_string(number)));
            }
        }

        const auto image = load_file(options.image_path.c_str());
        if (const auto* error = std::get_if<std::string>(&image))
            throw refused(options.image_path + ": " + *error);
        doc.image = std::get<document_buffer>(image).view();
        check_image(options.image_path, doc.image);

        write_atomically(options.out_path, write_document(doc));
        return status_ok;
    } catch (const refused& e) {
        std::cerr << "zub pack: " << e.what() << '\n';
        return status_problem;
    }
}

}  // namespace zub
