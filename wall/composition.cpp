#include "wall/composition.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

namespace zub {

std::string font_file_path(const std::string& path) {
    std::error_code ignored;
    const std::string full = std::filesystem::absolute(path, ignored).string();
    return full.empty() ? path : full;
}

result<file_bytes> read_font_file(const std::string& path) {
    return read_file(path, font_bound("the font " + font_file_path(path)));
}

std::vector<composition> start_compositions(std::span<const composition_order> orders) {
    std::vector<composition> started(orders.size());
    stage_plan plan;
    // Each composition's stages by their numbers in the plan, or none.
    constexpr std::size_t none = SIZE_MAX;
    std::vector<std::pair<std::size_t, std::size_t>> numbers(orders.size(), {none, none});
    for (std::size_t i = 0; i < orders.size(); ++i) {
        const document& doc = *orders[i].doc;
        const composing_ask& ask = orders[i].ask;
        composition& c = started[i];
        c.image_asked = image_ask{ask.width, ask.height, ask.pixels};
        c.font = orders[i].font;
        // No texts need no font, and a point size out of range is the document's own
        // problem; a font the user names is opened all the same, to tell whether it is one.
        const bool points_usable = doc.header.font_size >= 1 && doc.header.font_size <= max_font_size;
        c.texts_wanted = (!doc.records.empty() && points_usable) || ask.font_named;
        if (c.texts_wanted) c.font_read = read_font_file(c.font.path);
        // The image and the texts in one run of the composer: its libraries are loaded once.
        if (ask.image) numbers[i].first = plan_image_stage(plan, doc.image, c.image_asked);
        if (!c.texts_wanted || !c.font_read) continue;
        if (points_usable) c.texts = texts_of(doc);
        c.texts_asked =
            texts_ask{ask.width, ask.height, points_usable ? doc.header.font_size : 12, ask.pixels};
        numbers[i].second = plan_texts_stage(plan, c.texts, c.font_read->view(), c.texts_asked);
    }
    std::vector<stage_job> jobs = start_plan(plan);
    for (std::size_t i = 0; i < orders.size(); ++i) {
        if (numbers[i].first != none) started[i].image = std::move(jobs[numbers[i].first]);
        if (numbers[i].second != none) started[i].text_stage = std::move(jobs[numbers[i].second]);
    }
    return started;
}

composition start_composition(const document& doc, const composing_ask& ask, const font_choice& font) {
    const composition_order order{&doc, ask, font};
    return std::move(start_compositions(std::span(&order, 1)).front());
}

composing_ask composing_ask_for_window(std::int32_t width, std::int32_t height, bool font_named) {
    // A side of 0 asks for the desktop's: how much of the picture shows is not known yet.
    return composing_ask{std::max(width, 0), std::max(height, 0), true, true, font_named};
}

}  // namespace zub
