// zub info: the header, caption, image and records of a document, and its problems.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "document/strings.hpp"
#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/report.hpp"

namespace zub {

namespace {

std::string colour_of(const text_record& r) {
    char colour[8];
    (void)std::snprintf(colour, sizeof colour, "#%02x%02x%02x", r.red, r.green, r.blue);
    return colour;
}

// Bytes as hexadecimal digits, two a byte: what is stored, whatever it means.
std::string hex_of(bytes_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4U];
        out += digits[b & 0x0FU];
    }
    return out;
}

nlohmann::json problem_json(const problem& p) {
    return {{"code", problem_name(p.code)},
            {"severity", severity_name(severity_of(p.code))},
            {"offset", p.offset},
            {"message", describe(p)}};
}

nlohmann::json to_json(const std::string& path, const document_report& r) {
    const document& doc = r.doc;
    nlohmann::json out;
    out["file"] = path;
    out["file_size"] = doc.file_size;
    out["is_document"] = doc.is_document;
    if (doc.header_read) {
        const document_header& h = doc.header;
        out["header"] = {{"width", h.width},
                         {"height", h.height},
                         {"bits_per_pixel", h.bits_per_pixel},
                         {"font_size", h.font_size},
                         {"caption_length", h.caption_length},
                         {"record_count", h.record_count},
                         {"image_length", h.image_length}};
        out["caption"] = caption_text(doc.caption);
        out["caption_hex"] = hex_of(doc.caption);
    }
    if (doc.image_read) {
        out["image"] = {{"offset", doc.image_offset},
                        {"length", doc.image.size()},
                        {"format", r.image_format},
                        {"width", r.image_width},
                        {"height", r.image_height}};
    }
    out["records"] = nlohmann::json::array();
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& rec = doc.records[i];
        out["records"].push_back({{"number", i + 1},
                                  {"offset", rec.offset},
                                  {"colour", colour_of(rec)},
                                  {"x", rec.x},
                                  {"y", rec.y},
                                  {"length", rec.text_length},
                                  {"text", latin1_to_utf8(rec.text)},
                                  {"text_hex", hex_of(rec.text)}});
    }
    out["problems"] = nlohmann::json::array();
    for (const problem& p : r.problems) out["problems"].push_back(problem_json(p));
    return out;
}

void print_text(const std::string& path, const document_report& r) {
    const document& doc = r.doc;
    std::cout << "file: " << terminal_safe(path) << " ("
              << bytes_count(static_cast<std::int64_t>(doc.file_size)) << ")\n";
    if (doc.header_read) {
        const document_header& h = doc.header;
        std::cout << "window: " << h.width << "x" << h.height << ", depth " << h.bits_per_pixel << "\n"
                  << "point size: " << h.font_size << "\n"
                  << "caption: " << bytes_count(h.caption_length) << ": \"" << quoted_text(doc.caption)
                  << "\"\n";
    }
    if (doc.image_read) {
        std::cout << "image: " << bytes_count(static_cast<std::int64_t>(doc.image.size())) << " at offset "
                  << doc.image_offset;
        if (!r.image_format.empty()) std::cout << ", " << r.image_format;
        if (r.image_width > 0) std::cout << ", " << r.image_width << "x" << r.image_height << " pixels";
        std::cout << "\n";
    }
    if (doc.header_read) std::cout << "records: " << doc.header.record_count << "\n";
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& rec = doc.records[i];
        std::cout << "  " << i + 1 << " at offset " << rec.offset << ": " << colour_of(rec) << " at ("
                  << rec.x << ", " << rec.y << "), " << bytes_count(rec.text_length) << ": \""
                  << escape_bytes(rec.text) << "\"\n";
    }
    if (r.problems.empty()) {
        std::cout << "problems: none\n";
        return;
    }
    std::cout << "problems:\n";
    for (const problem& p : r.problems)
        std::cout << "  at offset " << p.offset << ": " << severity_name(severity_of(p.code)) << ": "
                  << terminal_safe(describe(p)) << "\n";
}

}  // namespace

int info_command(const std::string& path, bool json, const std::string& font) {
    const result<file_bytes> loaded = read_file(path, document_bound());
    if (!loaded) return file_problem(path, loaded.why());
    const found_font measured_in = find_font(font, path);
    const document_report report =
        inspect_document(loaded->view(), font_choice{measured_in.path, measured_in.hint});
    if (const std::string note = font_note(measured_in, "measured");
        !note.empty() && !report.doc.records.empty())
        say(path, note);
    if (json) {
        // Paths and the libraries' words may hold bytes that are not UTF-8 (a folder's
        // name, say): those become U+FFFD; the document's own strings come with their bytes.
        std::cout << to_json(path, report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                  << '\n';
    } else {
        print_text(path, report);
    }
    return report.problems.empty() ? status_ok : status_problem;
}

}  // namespace zub
