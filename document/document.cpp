#include "document/document.hpp"

#include <algorithm>
#include <iterator>

#include "document/image_probe.hpp"
#include "document/limits.hpp"
#include "document/strings.hpp"

namespace zub {

namespace {

std::string number(std::int64_t value) { return std::to_string(value); }

void add(document& doc, problem_code code, std::uint64_t offset, problem_payload payload = about::nothing{}) {
    doc.problems.push_back(problem{code, offset, payload, {}});
}

// A string longer than the display buffer holds, and a zero byte inside it: the
// displayed string is not what is stored.
void check_string(document& doc, bytes_view text, std::uint64_t text_offset, std::uint64_t length_offset,
                  problem_code too_long, problem_code zero, std::int64_t record_number) {
    if (text.size() > max_string_length) {
        const auto length = static_cast<std::int64_t>(text.size());
        add(doc, too_long, length_offset,
            record_number == 0 ? problem_payload{about::length{length}}
                               : problem_payload{about::long_text{record_number, length}});
    }
    const auto at = std::find(text.begin(), text.end(), std::uint8_t{0});
    if (at != text.end())
        add(doc, zero, text_offset + static_cast<std::uint64_t>(at - text.begin()),
            record_number == 0 ? problem_payload{} : problem_payload{about::record{record_number}});
}

// The record at `offset`, or nothing when its head or its text runs past the end.
std::optional<text_record> read_text_record(bytes_view bytes, std::uint64_t offset) {
    const auto head = read_bytes(bytes, offset, record_head_size);
    if (!head) return std::nullopt;
    text_record r = read_record_head(*head);
    const auto text = read_bytes(bytes, offset + record_offset::text, r.text_length);
    if (!text) return std::nullopt;
    r.text = *text;
    r.offset = offset;
    return r;
}

// Bytes of a record's slots that are never read: the upper three of a colour, the upper
// two of a position.
void check_unused_slot_bytes(document& doc, bytes_view bytes, const text_record& r, std::int64_t number) {
    for (const std::uint64_t slot : {record_offset::red, record_offset::green, record_offset::blue}) {
        const bytes_view unused = *read_bytes(bytes, r.offset + slot + 1, 3);
        if (std::any_of(unused.begin(), unused.end(), [](std::uint8_t b) { return b != 0; })) {
            add(doc, problem_code::unused_colour_bytes, r.offset + slot + 1, about::record{number});
        }
    }
    for (const std::uint64_t slot : {record_offset::x, record_offset::y}) {
        const bytes_view unused = *read_bytes(bytes, r.offset + slot + 2, 2);
        if (unused[0] != 0 || unused[1] != 0)
            add(doc, problem_code::unused_position_bytes, r.offset + slot + 2, about::record{number});
    }
}

}  // namespace

document_header read_document_header(bytes_view bytes) {
    // The caller holds the whole header, so none of these reads can fail.
    document_header h;
    h.width = read_i32le(bytes, header_offset::width).value_or(0);
    h.height = read_i32le(bytes, header_offset::height).value_or(0);
    h.bits_per_pixel = read_i32le(bytes, header_offset::bits_per_pixel).value_or(0);
    h.font_size = read_i32le(bytes, header_offset::font_size).value_or(0);
    h.caption_length = read_u32le(bytes, header_offset::caption_length).value_or(0);
    h.record_count = read_u32le(bytes, header_offset::record_count).value_or(0);
    h.image_length = read_i32le(bytes, header_offset::image_length).value_or(0);
    return h;
}

text_record read_record_head(bytes_view head) {
    text_record r;
    r.red = read_u8(head, record_offset::red).value_or(0);
    r.green = read_u8(head, record_offset::green).value_or(0);
    r.blue = read_u8(head, record_offset::blue).value_or(0);
    r.x = read_i16le(head, record_offset::x).value_or(0);
    r.y = read_i16le(head, record_offset::y).value_or(0);
    r.text_length = read_u32le(head, record_offset::text_length).value_or(0);
    return r;
}

std::optional<problem> window_size_problem(std::int64_t width, std::int64_t height, std::int64_t depth) {
    if (width < 0 || height < 0) {
        return problem{problem_code::window_side_negative,
                       width < 0 ? header_offset::width : header_offset::height,
                       about::window{width, height},
                       {}};
    }
    if (width > max_window_side || height > max_window_side) {
        return problem{
            problem_code::window_too_large, header_offset::width, about::window{width, height}, {}};
    }
    if (!depth_accepted(depth))
        return problem{problem_code::depth_refused, header_offset::bits_per_pixel, about::depth{depth}, {}};
    const std::int64_t row = window_row_bytes(width);
    if (row > max_row_bytes)
        return problem{problem_code::row_too_wide, header_offset::width, about::row{row}, {}};
    return std::nullopt;
}

severity severity_of(problem_code code) {
    switch (code) {
        case problem_code::not_a_document:
        case problem_code::short_header:
        case problem_code::caption_past_end:
        case problem_code::negative_image_length:
        case problem_code::image_past_end:
        case problem_code::window_too_large:
        case problem_code::window_side_negative:
        case problem_code::depth_refused:
        case problem_code::row_too_wide:
        case problem_code::not_composed:
            return severity::error;
        case problem_code::record_past_end:
        case problem_code::image_not_shown:
        case problem_code::image_ends_early:
        case problem_code::font_size_out_of_range:
        case problem_code::font_not_opened:
        case problem_code::text_not_rendered:
        case problem_code::rendered_text_too_large:
        case problem_code::texts_past_budget:
        case problem_code::texts_stopped:
            return severity::warning;
        case problem_code::window_side_zero:
        case problem_code::depth_chosen_by_display:
        case problem_code::caption_too_long:
        case problem_code::text_too_long:
        case problem_code::zero_in_caption:
        case problem_code::zero_in_text:
        case problem_code::unused_colour_bytes:
        case problem_code::unused_position_bytes:
        case problem_code::bytes_after_last_record:
        case problem_code::text_outside_window:
            return severity::note;
    }
    return severity::error;
}

const char* severity_name(severity level) {
    switch (level) {
        case severity::error:
            return "error";
        case severity::warning:
            return "warning";
        case severity::note:
            return "note";
    }
    return "error";
}

const char* problem_name(problem_code code) {
    switch (code) {
        case problem_code::not_a_document:
            return "not_a_document";
        case problem_code::short_header:
            return "short_header";
        case problem_code::caption_past_end:
            return "caption_past_end";
        case problem_code::negative_image_length:
            return "negative_image_length";
        case problem_code::image_past_end:
            return "image_past_end";
        case problem_code::window_too_large:
            return "window_too_large";
        case problem_code::window_side_negative:
            return "window_side_negative";
        case problem_code::depth_refused:
            return "depth_refused";
        case problem_code::row_too_wide:
            return "row_too_wide";
        case problem_code::not_composed:
            return "not_composed";
        case problem_code::record_past_end:
            return "record_past_end";
        case problem_code::image_not_shown:
            return "image_not_shown";
        case problem_code::image_ends_early:
            return "image_ends_early";
        case problem_code::font_size_out_of_range:
            return "font_size_out_of_range";
        case problem_code::font_not_opened:
            return "font_not_opened";
        case problem_code::text_not_rendered:
            return "text_not_rendered";
        case problem_code::rendered_text_too_large:
            return "rendered_text_too_large";
        case problem_code::texts_past_budget:
            return "texts_past_budget";
        case problem_code::texts_stopped:
            return "texts_stopped";
        case problem_code::window_side_zero:
            return "window_side_zero";
        case problem_code::depth_chosen_by_display:
            return "depth_chosen_by_display";
        case problem_code::caption_too_long:
            return "caption_too_long";
        case problem_code::text_too_long:
            return "text_too_long";
        case problem_code::zero_in_caption:
            return "zero_in_caption";
        case problem_code::zero_in_text:
            return "zero_in_text";
        case problem_code::unused_colour_bytes:
            return "unused_colour_bytes";
        case problem_code::unused_position_bytes:
            return "unused_position_bytes";
        case problem_code::bytes_after_last_record:
            return "bytes_after_last_record";
        case problem_code::text_outside_window:
            return "text_outside_window";
    }
    return "unknown";
}

std::string describe(const problem& p) {
    // Each code's sentence reads the payload its kind carries (see the codes).
    const auto& a = p.about;
    const auto window = [&] {
        const auto& w = std::get<about::window>(a);
        return "the window size " + number(w.width) + "x" + number(w.height);
    };
    const auto length = [&] { return number(std::get<about::length>(a).bytes); };
    const auto depth = [&] { return number(std::get<about::depth>(a).bits); };
    const auto record = [&] {
        const auto* text = std::get_if<about::long_text>(&a);
        return "text record " + number(text != nullptr ? text->record : std::get<about::record>(a).number);
    };
    switch (p.code) {
        case problem_code::not_a_document:
            return "not a ZUB document: it does not start with \"ZUB\"";
        case problem_code::short_header:
            return "damaged document: the file is shorter than the 31-byte header (it has " +
                   bytes_count(std::get<about::length>(a).bytes) + ")";
        case problem_code::caption_past_end:
        case problem_code::image_past_end: {
            const auto& past = std::get<about::past_end>(a);
            return std::string("damaged document: ") +
                   (p.code == problem_code::caption_past_end ? "the caption" : "the image") +
                   " runs past the end of the file (needs " + bytes_count(past.needed) + " at offset " +
                   std::to_string(p.offset) + "; the file has " + number(past.file_size) + ")";
        }
        case problem_code::negative_image_length:
            return "damaged document: the image length is negative (" + length() + ")";
        case problem_code::window_too_large:
            return window() + " is too large (at most " + number(max_window_side) + " pixels a side)";
        case problem_code::window_side_negative:
            return window() + " has a negative side";
        case problem_code::window_side_zero:
            return window() + " has a side of 0: the desktop's size is used there";
        case problem_code::depth_refused:
            return "depth " + depth() + " is refused (SDL 1.2 takes 0, the display's, or 8 to 32)";
        case problem_code::depth_chosen_by_display:
            return "depth " + depth() +
                   " is not 0, 8, 16, 24 or 32: the display picks one (SDL 1.2 over SDL2 refuses it)";
        case problem_code::image_ends_early:
            return "the image's data ends early: the decoder fills in the rest";
        case problem_code::font_size_out_of_range: {
            const std::int64_t points = std::get<about::points>(a).size;
            return "the texts are not drawn: the point size " + number(points) +
                   (points < 1 ? " is below 1" : " is above " + number(max_font_size));
        }
        case problem_code::font_not_opened:
            return "the texts are not drawn: " + p.detail;
        case problem_code::text_not_rendered:
            return record() + " is not drawn: " + p.detail;
        case problem_code::rendered_text_too_large:
            return record() + " is not drawn: its text would cover more than " + number(max_text_pixels) +
                   " pixels";
        case problem_code::texts_past_budget:
            return "from " + record() + " on, texts that pass the document's budget of " +
                   number(static_cast<std::int64_t>(text_budget_pixels)) + " rendered pixels are not drawn";
        case problem_code::texts_stopped:
            return "the texts from record " + number(std::get<about::record>(a).number) +
                   " on are not drawn: " + p.detail;
        case problem_code::row_too_wide: {
            const auto& row = std::get<about::row>(a);
            return "the window's rows would be " + number(row.bytes) +
                   " bytes on the display, which keeps 4 a pixel at any depth (SDL keeps at most " +
                   number(max_row_bytes) + ")";
        }
        case problem_code::record_past_end: {
            const auto& cut = std::get<about::records_cut>(a);
            return "damaged document: text record " + number(cut.number) + " of " + number(cut.count) +
                   " runs past the end of the file; it and the rest are not drawn";
        }
        case problem_code::caption_too_long:
            return "the caption is " + length() + " bytes long; only the first 255 are shown";
        case problem_code::text_too_long:
            return "the text of " + record() + " is " + number(std::get<about::long_text>(a).length) +
                   " bytes long; only the first 255 are shown";
        case problem_code::zero_in_caption:
            return "the caption has a zero byte; what follows it is not shown";
        case problem_code::zero_in_text:
            return "the text of " + record() + " has a zero byte; what follows it is not shown";
        case problem_code::unused_colour_bytes:
            return record() + " has non-zero bytes in the unused part of a colour slot";
        case problem_code::unused_position_bytes:
            return record() + " has non-zero bytes in the unused part of a position slot";
        case problem_code::bytes_after_last_record: {
            const std::int64_t after = std::get<about::length>(a).bytes;
            return bytes_count(after) + " after the last record " + (after == 1 ? "is" : "are") +
                   " never read";
        }
        case problem_code::image_not_shown:
            return "the image is not shown: " + p.detail;
        case problem_code::not_composed:
            return "the picture cannot be composed: " + p.detail;
        case problem_code::text_outside_window:
            return record() + " is drawn wholly outside the window";
    }
    return "unknown problem";
}

void drop_moot(std::vector<problem>& problems) {
    const auto has = [&](problem_code code) {
        return std::any_of(problems.begin(), problems.end(),
                           [&](const problem& p) { return p.code == code; });
    };
    if (has(problem_code::image_not_shown)) {
        std::erase_if(problems, [](const problem& p) { return p.code == problem_code::image_ends_early; });
    }
}

const problem* not_composed(const std::vector<problem>& problems) {
    const auto found = std::find_if(problems.begin(), problems.end(),
                                    [](const problem& p) { return p.code == problem_code::not_composed; });
    return found == problems.end() ? nullptr : &*found;
}

std::vector<std::string> describe_all(const std::vector<problem>& problems) {
    std::vector<std::string> out;
    out.reserve(problems.size());
    for (const problem& p : problems) out.push_back(describe(p));
    return out;
}

std::vector<problem> document::warnings() const {
    std::vector<problem> out;
    std::copy_if(problems.begin(), problems.end(), std::back_inserter(out),
                 [](const problem& p) { return severity_of(p.code) == severity::warning; });
    return out;
}

const problem* document::error() const {
    const auto found = std::find_if(problems.begin(), problems.end(),
                                    [](const problem& p) { return severity_of(p.code) == severity::error; });
    return found == problems.end() ? nullptr : &*found;
}

document parse_document(bytes_view file) {
    document doc;
    doc.file_size = file.size();
    doc.is_document = read_u8(file, 0) == 'Z' && read_u8(file, 1) == 'U' && read_u8(file, 2) == 'B';
    if (!doc.is_document) return doc;
    const auto size = static_cast<std::int64_t>(file.size());
    if (!fits(file, 0, header_size)) {
        add(doc, problem_code::short_header, file.size(), about::length{size});
        return doc;
    }
    doc.header_read = true;
    doc.header = read_document_header(file);
    const document_header& h = doc.header;

    const auto caption = read_bytes(file, header_size, h.caption_length);
    if (!caption) {
        add(doc, problem_code::caption_past_end, header_size, about::past_end{h.caption_length, size});
        return doc;
    }
    doc.caption = *caption;
    doc.image_offset = header_size + h.caption_length;
    if (h.image_length < 0) {
        add(doc, problem_code::negative_image_length, header_offset::image_length,
            about::length{h.image_length});
        return doc;
    }
    const auto image = read_bytes(file, doc.image_offset, static_cast<std::uint64_t>(h.image_length));
    if (!image) {
        add(doc, problem_code::image_past_end, doc.image_offset, about::past_end{h.image_length, size});
        return doc;
    }
    doc.image = *image;
    doc.image_read = true;
    if (const auto window = window_size_problem(h.width, h.height, h.bits_per_pixel)) {
        doc.problems.push_back(*window);
    } else if (h.width == 0 || h.height == 0) {
        add(doc, problem_code::window_side_zero, h.width == 0 ? header_offset::width : header_offset::height,
            about::window{h.width, h.height});
    }
    if (depth_accepted(h.bits_per_pixel) && h.bits_per_pixel != 0 && !exact_depth(h.bits_per_pixel)) {
        add(doc, problem_code::depth_chosen_by_display, header_offset::bits_per_pixel,
            about::depth{h.bits_per_pixel});
    }
    if (image_ends_early(doc.image))
        add(doc, problem_code::image_ends_early, doc.image_offset + doc.image.size());
    check_string(doc, doc.caption, header_size, header_offset::caption_length, problem_code::caption_too_long,
                 problem_code::zero_in_caption, 0);

    // The record walk: each record 24 + text_length bytes after the one before.
    std::uint64_t offset = doc.image_offset + doc.image.size();
    bool all_read = true;
    for (std::uint32_t index = 0; index < h.record_count; ++index) {
        const auto record = read_text_record(file, offset);
        if (!record) {
            add(doc, problem_code::record_past_end, offset,
                about::records_cut{std::int64_t{index} + 1, h.record_count});
            all_read = false;
            break;
        }
        const auto number = static_cast<std::int64_t>(doc.records.size()) + 1;
        check_string(doc, record->text, offset + record_offset::text, offset + record_offset::text_length,
                     problem_code::text_too_long, problem_code::zero_in_text, number);
        check_unused_slot_bytes(doc, file, *record, number);
        doc.records.push_back(*record);
        offset += record_head_size + record->text_length;
    }
    // Records need the font at the document's point size.
    if (!doc.records.empty() && (h.font_size < 1 || h.font_size > max_font_size))
        add(doc, problem_code::font_size_out_of_range, header_offset::font_size, about::points{h.font_size});
    if (all_read && offset < file.size()) {
        add(doc, problem_code::bytes_after_last_record, offset,
            about::length{static_cast<std::int64_t>(file.size() - offset)});
    }
    return doc;
}

bool document::has_texts() const {
    return std::any_of(records.begin(), records.end(),
                       [](const text_record& r) { return !r.text.empty() && r.text.front() != 0; });
}

display_string to_display_string(bytes_view stored) {
    display_string out{};
    const std::size_t kept = std::min(stored.size(), max_string_length);
    std::copy_n(stored.begin(), kept, out.begin());
    return out;
}

}  // namespace zub
