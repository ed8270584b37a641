#include "tools/zub/report.hpp"

#include <SDL_image.h>
#include <SDL_ttf.h>

#include <cstdio>

#include "document/limits.hpp"
#include "view/decoder.hpp"
#include "view/sdl_handles.hpp"

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

void note(document_report& report, std::uint64_t offset, std::string message) {
    report.problems.push_back(problem{offset, std::move(message)});
}

// A string's length above the limit, and a zero byte inside it.
void check_string(document_report& report, bytes_view text, std::uint64_t text_offset,
                  std::uint64_t length_offset, const std::string& what) {
    if (text.size() > max_string_length) {
        note(report, length_offset,
             what + " is " + std::to_string(text.size()) + " bytes long; only the first 255 are shown");
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == 0) {
            note(report, text_offset + i, what + " has a zero byte; what follows it is not shown");
            break;
        }
    }
}

void check_image(document_report& report, const document_sections& doc, std::uint64_t offset) {
    // Decoded as the viewer decodes it: in the confined decoder, whole.
    const decoded_image decoded = decode_image(doc.image);
    report.image = image_report{offset, doc.image.size(), decoded.format, decoded.width, decoded.height};
    if (!decoded.surface) note(report, offset, "the image is not shown: " + decoded.problem);
}

void check_record(document_report& report, bytes_view bytes, const text_record& r, std::uint32_t number,
                  const document_header& h, TTF_Font* font) {
    char colour[8];
    (void)std::snprintf(colour, sizeof colour, "#%02x%02x%02x", r.red, r.green, r.blue);
    report.records.push_back(
        record_report{number, r.offset, colour, r.x, r.y, r.text_length, escape_bytes(r.text)});

    const std::string name = "text record " + std::to_string(number);
    check_string(report, r.text, r.offset + record_offset::text, r.offset + record_offset::text_length,
                 "the text of " + name);
    // Bytes of the slots that are never read.
    for (const std::uint64_t slot : {record_offset::red, record_offset::green, record_offset::blue}) {
        const auto unused = read_bytes(bytes, r.offset + slot + 1, 3);
        if ((*unused)[0] != 0 || (*unused)[1] != 0 || (*unused)[2] != 0) {
            note(report, r.offset + slot + 1,
                 name + " has non-zero bytes in the unused part of a colour slot");
        }
    }
    for (const std::uint64_t slot : {record_offset::x, record_offset::y}) {
        const auto unused = read_bytes(bytes, r.offset + slot + 2, 2);
        if ((*unused)[0] != 0 || (*unused)[1] != 0) {
            note(report, r.offset + slot + 2,
                 name + " has non-zero bytes in the unused part of a position slot");
        }
    }
    const display_string text = to_display_string(r.text);
    if (text[0] == '\0') return;
    int width = 0;
    int height = 0;
    const bool sized = font != nullptr && TTF_SizeText(font, text.data(), &width, &height) == 0;
    const bool right_or_below = (h.width > 0 && r.x >= h.width) || (h.height > 0 && r.y >= h.height);
    const bool left_or_above = sized && (r.x + width <= 0 || r.y + height <= 0);
    if (right_or_below || left_or_above) note(report, r.offset, name + " is drawn wholly outside the window");
}

}  // namespace

document_report inspect_document(bytes_view bytes, const char* font_path) {
    document_report report;
    report.file_size = bytes.size();
    if (!starts_like_document(bytes) || !has_document_magic(bytes)) {
        note(report, 0, "not a ZUB document: it does not start with \"ZUB\"");
        return report;
    }
    report.is_document = true;
    const auto read = read_document(bytes);
    if (const auto* d = std::get_if<damage>(&read)) {
        note(report, d->offset, d->message);
        return report;
    }
    const auto& doc = std::get<document_sections>(read);
    const document_header& h = doc.header;
    report.header = h;
    report.caption = escape_bytes(doc.caption);
    check_string(report, doc.caption, header_size, header_offset::caption_length, "the caption");
    check_image(report, doc, header_size + h.caption_length);

    const bool font_usable = TTF_WasInit() != 0 && h.font_size >= 1 && h.font_size <= max_font_size;
    const font_handle font{font_usable ? TTF_OpenFont(font_path, h.font_size) : nullptr};
    record_walk walk = walk_records(doc);
    while (true) {
        const record_step step = next_record(bytes, walk);
        if (std::holds_alternative<records_end>(step)) break;
        if (const auto* d = std::get_if<damage>(&step)) {
            note(report, d->offset, d->message);
            return report;
        }
        check_record(report, bytes, std::get<text_record>(step), walk.done, h, font.get());
    }
    if (walk.offset < bytes.size()) {
        note(report, walk.offset,
             std::to_string(bytes.size() - walk.offset) + " bytes after the last record are never read");
    }
    return report;
}

}  // namespace zub
