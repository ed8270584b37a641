#include "tools/zub/report.hpp"

#include <iterator>

#include <algorithm>

#include "wall/composition.hpp"

namespace zub {

std::vector<problem> find_texts_outside(const document& doc, const finished_texts* measured) {
    const std::int64_t width = doc.header.width;
    const std::int64_t height = doc.header.height;
    // The texts' sizes, where the font measured them.
    std::vector<const text_entry*> entries(doc.records.size() + 1, nullptr);
    if (measured != nullptr && measured->texts) {
        for (const checked_text& t : measured->texts->texts) {
            if (t.entry.number < entries.size()) entries[t.entry.number] = &t.entry;
        }
    }
    std::vector<problem> found;
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& r = doc.records[i];
        if (to_display_string(r.text)[0] == '\0') continue;
        const text_entry* e = entries[i + 1];
        const bool sized = e != nullptr && (e->text_width > 0 || e->text_height > 0);
        const bool right_or_below = (width > 0 && r.x >= width) || (height > 0 && r.y >= height);
        const bool left_or_above = sized && (r.x + e->text_width <= 0 || r.y + e->text_height <= 0);
        if (right_or_below || left_or_above) {
            found.push_back(problem{problem_code::text_outside_window,
                                    r.offset,
                                    about::record{static_cast<std::int64_t>(i) + 1},
                                    {}});
        }
    }
    return found;
}

document_report inspect_document(bytes_view bytes, const font_choice& font) {
    document_report report{parse_document(bytes), "", 0, 0, {}};
    const document& doc = report.doc;
    if (!doc.is_document) {
        report.problems.push_back(problem{problem_code::not_a_document, 0, {}, {}});
        return report;
    }
    report.problems = doc.problems;
    if (!doc.image_read) return report;  // damaged before the image's end: nothing more to look at

    // The image decoded whole and the texts rendered and measured, as the viewer would,
    // behind the wall; no pixels come back.
    composition c = start_composition(
        doc, composing_ask{std::max(doc.header.width, 0), std::max(doc.header.height, 0), false}, font);
    std::vector<problem> found;
    {
        const finished_image image = finish_image_stage(c.image, c.image_asked);
        report.image_format = image.format;
        if (image.image) {
            report.image_width = image.image->image_width;
            report.image_height = image.image->image_height;
        } else {
            found.push_back(
                problem{image.error.empty() ? problem_code::image_not_shown : problem_code::not_composed,
                        doc.image_offset,
                        {},
                        image.image.why()});
        }
    }
    finished_texts texts;
    if (c.texts_wanted) {
        texts = finish_texts(c);
        for (problem& p : text_problems(doc, c, texts)) found.push_back(std::move(p));
    }
    for (problem& p : find_texts_outside(doc, c.texts_wanted ? &texts : nullptr))
        found.push_back(std::move(p));
    report.problems.insert(report.problems.end(), std::make_move_iterator(found.begin()),
                           std::make_move_iterator(found.end()));
    drop_moot(report.problems);
    return report;
}

}  // namespace zub
