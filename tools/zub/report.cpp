#include "tools/zub/report.hpp"

#include <SDL_ttf.h>

#include <cstdio>

#include "document/limits.hpp"
#include "view/decoder.hpp"
#include "view/sdl_start.hpp"

namespace zub {

std::string escape_bytes(bytes_view bytes) {
    std::string out;
    for (const std::uint8_t c : bytes) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            (void)std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

namespace {

// Texts that start right of or below the window, or end left of or above it.
void find_texts_outside(document_report& report, TTF_Font* font) {
    const document_header& h = report.doc.header;
    for (std::size_t i = 0; i < report.doc.records.size(); ++i) {
        const text_record& r = report.doc.records[i];
        const display_string text = to_display_string(r.text);
        if (text[0] == '\0') continue;
        int width = 0;
        int height = 0;
        const bool sized = font != nullptr && TTF_SizeText(font, text.data(), &width, &height) == 0;
        const bool right_or_below = (h.width > 0 && r.x >= h.width) || (h.height > 0 && r.y >= h.height);
        const bool left_or_above = sized && (r.x + width <= 0 || r.y + height <= 0);
        if (right_or_below || left_or_above) {
            report.problems.push_back(problem{
                problem_code::text_outside_window, r.offset, 0, static_cast<std::int64_t>(i) + 1, {}});
        }
    }
}

}  // namespace

document_report inspect_document(bytes_view bytes, const font_choice& font) {
    document_report report{parse_document(bytes), "", 0, 0, {}};
    const document& doc = report.doc;
    if (!doc.is_document) {
        report.problems.push_back(problem{problem_code::not_a_document, 0, 0, 0, {}});
        return report;
    }
    report.problems = doc.problems;
    if (!doc.image_read) return report;  // damaged before the image's end: nothing more to look at

    // Decoded whole, as the viewer would decode it, before SDL starts any thread.
    decoded_image decoded = decode_image(doc.image);
    report.image_format = decoded.format;
    if (decoded.picture) {
        report.image_width = decoded.picture->width;
        report.image_height = decoded.picture->height;
    } else {
        report.problems.push_back(
            problem{problem_code::image_not_shown, doc.image_offset, 0, 0, decoded.picture.why()});
    }
    // The texts are measured as the viewer would draw them; no window opens.
    const result<sdl_session> sdl = start_sdl(video_kind::in_memory);
    const int points = doc.header.font_size;
    const font_file file = read_font_file(font.path);
    const font_handle measure{sdl && points >= 1 && points <= max_font_size && file.error.empty()
                                  ? open_font(file, points)
                                  : font_handle{}};
    find_texts_outside(report, measure.get());
    return report;
}

}  // namespace zub
