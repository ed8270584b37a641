#include "tools/zub/report.hpp"

#include <cstdio>
#include <iterator>

#include "view/decoder.hpp"
#include "view/sdl_start.hpp"

namespace zub {

std::string escape_bytes(bytes_view bytes) {
    std::string out;
    for (const std::uint8_t c : bytes) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
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
    const decoded_image decoded = decode_image(doc.image);
    report.image_format = decoded.format;
    if (decoded.picture) {
        report.image_width = decoded.picture->width;
        report.image_height = decoded.picture->height;
    }
    // The texts are rendered and measured as the viewer would draw them; no window opens.
    const result<sdl_session> session = start_sdl(video_kind::in_memory);
    std::vector<problem> found = find_composing_problems(doc, decoded, font);
    for (problem& p : find_texts_outside(doc, font)) found.push_back(std::move(p));
    report.problems.insert(report.problems.end(), std::make_move_iterator(found.begin()),
                           std::make_move_iterator(found.end()));
    drop_moot(report.problems);
    return report;
}

}  // namespace zub
