// zub info: the header, caption, image and records of a document, and its problems.
#include <cstdio>
#include <exception>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "document/strings.hpp"
#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/zub/batch.hpp"
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

void print_text(std::ostream& out, const std::string& path, const document_report& r) {
    const document& doc = r.doc;
    out << "file: " << terminal_safe(path) << " (" << bytes_count(static_cast<std::int64_t>(doc.file_size))
        << ")\n";
    if (doc.header_read) {
        const document_header& h = doc.header;
        out << "window: " << h.width << "x" << h.height << ", depth " << h.bits_per_pixel << "\n"
            << "point size: " << h.font_size << "\n"
            << "caption: " << bytes_count(h.caption_length) << ": \"" << quoted_caption(doc.caption)
            << "\"\n";
    }
    if (doc.image_read) {
        out << "image: " << bytes_count(static_cast<std::int64_t>(doc.image.size())) << " at offset "
            << doc.image_offset;
        if (!r.image_format.empty()) out << ", " << r.image_format;
        if (r.image_width > 0) out << ", " << r.image_width << "x" << r.image_height << " pixels";
        out << "\n";
    }
    if (doc.header_read) out << "records: " << doc.header.record_count << "\n";
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& rec = doc.records[i];
        out << "  " << i + 1 << " at offset " << rec.offset << ": " << colour_of(rec) << " at (" << rec.x
            << ", " << rec.y << "), " << bytes_count(rec.text_length) << ": \"" << quoted_latin1(rec.text)
            << "\"\n";
    }
    if (r.problems.empty()) {
        out << "problems: none\n";
        return;
    }
    out << "problems:\n";
    for (const problem& p : r.problems)
        out << "  at offset " << p.offset << ": " << severity_name(severity_of(p.code)) << ": "
            << terminal_safe(describe(p)) << "\n";
}

// One document's report, as text or as JSON (indented, or on one line for JSON Lines).
batch_outcome inspect_one(const info_options& options, const std::string& path, bool one_line) {
    batch_outcome inspected{status_problem, {}, false};
    const result<file_bytes> loaded = read_input(path, document_bound());
    if (!loaded) {
        (void)file_problem(path, loaded.why());
        return inspected;
    }
    const found_font measured_in = find_font(options.font, path);
    const document_report report =
        inspect_document(loaded->view(), font_choice{measured_in.path, measured_in.hint});
    // A stage that failed through no fault of the document leaves nothing to report on.
    if (const problem* failed = not_composed(report.problems)) {
        (void)file_problem(path, describe(*failed));
        return inspected;
    }
    if (const std::string note = font_note(measured_in, "measured");
        !note.empty() && report.doc.has_texts()) {
        if (one_line) {
            say_once(note);
        } else {
            say(path, note);
        }
    }
    std::ostringstream out;
    if (options.json) {
        // Paths and the libraries' words may hold bytes that are not UTF-8 (a folder's
        // name, say): those become U+FFFD; the document's own strings come with their bytes.
        out << to_json(path, report)
                   .dump(one_line ? -1 : 2, ' ', false, nlohmann::json::error_handler_t::replace)
            << '\n';
    } else {
        print_text(out, path, report);
    }
    inspected.status = report.problems.empty() ? status_ok : status_problem;
    inspected.out = out.str();
    return inspected;
}

// What keeps a document's records from being read whole: it is not one, or it ends
// before them or inside one.
std::optional<problem> records_cut(const document& doc) {
    if (!doc.is_document) return problem{problem_code::not_a_document, 0, {}, {}};
    for (const problem& p : doc.problems) {
        switch (p.code) {
            case problem_code::short_header:
            case problem_code::caption_past_end:
            case problem_code::negative_image_length:
            case problem_code::image_past_end:
            case problem_code::record_past_end:
                return p;
            default:
                break;
        }
    }
    return std::nullopt;
}

// One document's texts as grep prints its lines: "RECORD:TEXT", after "FILE:" when the
// lines of several documents come together. Only the file is read: no stage is started.
batch_outcome texts_of_one(const std::string& path, bool with_name) {
    batch_outcome listed{status_problem, {}, false};
    const result<file_bytes> loaded = read_input(path, document_bound());
    if (!loaded) {
        (void)file_problem(path, loaded.why());
        return listed;
    }
    const document doc = parse_document(loaded->view());
    const std::string prefix = with_name ? terminal_safe(path) + ":" : "";
    for (std::size_t i = 0; i < doc.records.size(); ++i)
        listed.out += prefix + std::to_string(i + 1) + ":" + latin1_line(doc.records[i].text) + "\n";
    if (const std::optional<problem> cut = records_cut(doc)) {
        (void)file_problem(path, describe(*cut));
        return listed;
    }
    listed.status = status_ok;
    return listed;
}

// Each document of the list through `one`, on every core; a document whose work runs out
// of memory gets its one error line.
template <typename one_document>
batch_counts each_document(const document_list& list, const one_document& one, std::string_view separator) {
    return run_batch(
        list.documents.size(), 1,
        [&](std::size_t i, std::size_t) {
            const std::string& path = list.documents[i].path;
            try {
                return std::vector<batch_outcome>{one(path)};
            } catch (const std::exception& e) {  // out of memory, in all likelihood
                return std::vector<batch_outcome>{{file_problem(path, e.what()), {}, false}};
            }
        },
        separator);
}

}  // namespace

int info_command(const info_options& options) {
    const document_list list = collect_documents(options.paths, options.recursive);
    if (!list.refusal.empty()) return usage_error("info", list.refusal);
    const std::size_t all = list.documents.size();
    // A folder gives JSON Lines whatever it holds, so that a script reads one shape.
    const bool several = all > 1 || options.recursive;
    if (options.texts) {
        const batch_counts counts = each_document(
            list, [&](const std::string& path) { return texts_of_one(path, several); }, "");
        return counts.failed == 0 ? status_ok : status_problem;
    }
    // Reports as text stand apart by an empty line.
    const batch_counts counts = each_document(
        list, [&](const std::string& path) { return inspect_one(options, path, several); },
        options.json ? "" : "\n");
    if (several) {
        say("", std::to_string(all) + " documents inspected" +
                    (counts.failed == 0 ? ", all whole"
                                        : ", " + std::to_string(counts.failed) + " with problems or unread"));
    }
    return counts.failed == 0 ? status_ok : status_problem;
}

}  // namespace zub
