#include "wall/composition.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <utility>

#include <unistd.h>

namespace zub {

std::string font_file_path(const std::string& path) {
    std::error_code ignored;
    const std::string full = std::filesystem::absolute(path, ignored).string();
    return full.empty() ? path : full;
}

result<file_bytes> read_font_file(const std::string& path) {
    return read_file(path, font_bound("the font " + font_file_path(path)));
}

namespace {

// The fewest texts worth a stage of their own: fewer are laid sooner than another stage
// starts.
constexpr std::size_t texts_a_stage = 1000;

// The slices `count` texts are laid in: `stages` of them, or (0) one a core for every
// texts_a_stage texts, at most 4. A measuring composition takes one.
std::vector<texts_ask> slices_for(std::size_t count, const texts_ask& ask, int stages) {
    std::size_t n = 1;
    if (stages > 0) {
        n = static_cast<std::size_t>(stages);
    } else if (ask.pixels) {
        const long cores = sysconf(_SC_NPROCESSORS_ONLN);
        n = std::clamp<std::size_t>(
            std::min<std::size_t>(cores > 0 ? static_cast<std::size_t>(cores) : 1, count / texts_a_stage), 1,
            4);
    }
    n = std::clamp<std::size_t>(n, 1, std::max<std::size_t>(count, 1));
    std::vector<texts_ask> slices;
    for (std::size_t k = 0; k < n; ++k) {
        texts_ask slice = ask;
        slice.first = static_cast<std::uint32_t>(count * k / n);
        slice.end = k + 1 == n ? UINT32_MAX : static_cast<std::uint32_t>(count * (k + 1) / n);
        slices.push_back(slice);
    }
    return slices;
}

}  // namespace

finished_texts finish_texts(composition& c) {
    finished_texts all;
    for (std::size_t k = 0; k < c.text_stages.size(); ++k) {
        finished_texts part = finish_texts_stage(c.text_stages[k], c.texts, c.text_slices[k]);
        if (k == 0) {
            all = std::move(part);
            continue;
        }
        // A slice counts only when every slice before it was finished and read.
        if (!all.fate.empty() || !all.texts) continue;
        all.fate = part.fate;
        all.error = part.error;
        if (!part.texts) {
            if (all.fate.empty()) all.fate = part.texts.why();
            continue;
        }
        checked_texts& to = *all.texts;
        for (checked_text& t : part.texts->texts) to.texts.push_back(std::move(t));
        for (checked_layer& l : part.texts->layers) to.layers.push_back(std::move(l));
        for (mapping_handle& m : part.mappings) all.mappings.push_back(std::move(m));
    }
    c.text_stages.clear();
    return all;
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
        c.text_slices = slices_for(c.texts.size(), c.texts_asked, ask.text_stages);
        numbers[i].second = plan.requests.size();
        for (const texts_ask& slice : c.text_slices)
            (void)plan_texts_stage(plan, c.texts, c.font_read->view(), slice);
    }
    std::vector<stage_job> jobs = start_plan(plan);
    for (std::size_t i = 0; i < orders.size(); ++i) {
        if (numbers[i].first != none) started[i].image = std::move(jobs[numbers[i].first]);
        if (numbers[i].second == none) continue;
        for (std::size_t k = 0; k < started[i].text_slices.size(); ++k)
            started[i].text_stages.push_back(std::move(jobs[numbers[i].second + k]));
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

std::vector<problem> text_problems(const document& doc, const composition& c, const finished_texts& done) {
    std::vector<problem> found;
    // Where record `number` starts in the file.
    const auto offset_of = [&](std::uint32_t number) {
        return number >= 1 && number <= doc.records.size() ? doc.records[number - 1].offset : 0;
    };
    const auto add = [&](problem_code code, std::uint32_t number, std::string detail = {}) {
        found.push_back(problem{code, offset_of(number), about::record{number}, std::move(detail)});
    };
    const auto font_problem = [&](const std::string& why) {
        found.push_back(problem{
            problem_code::font_not_opened, header_offset::font_size, {}, why + " (" + c.font.hint + ")"});
    };
    if (!c.font_read) {
        font_problem(c.font_read.why());
        return found;
    }
    const std::uint32_t first = c.texts.empty() ? 1 : c.texts.front().number;
    if (!done.error.empty()) {
        add(problem_code::not_composed, first, done.error);
        return found;
    }
    if (!done.texts) {
        add(problem_code::texts_stopped, first, done.fate.empty() ? done.texts.why() : done.fate);
        return found;
    }
    const checked_texts& texts = *done.texts;
    if (!texts.font_opened && done.fate.empty()) {
        font_problem("cannot open the font " + font_file_path(c.font.path) + ": " + texts.font_error);
        return found;
    }
    // Each kind of problem once, at the first text it is found at.
    bool not_rendered = false;
    bool too_large = false;
    bool past_budget = false;
    for (const checked_text& t : texts.texts) {
        if (t.entry.outcome == text_outcome::not_rendered && !std::exchange(not_rendered, true))
            add(problem_code::text_not_rendered, t.entry.number, t.error);
        if (t.entry.outcome == text_outcome::too_large && !std::exchange(too_large, true))
            add(problem_code::rendered_text_too_large, t.entry.number);
        if (t.entry.outcome == text_outcome::past_budget && !std::exchange(past_budget, true))
            add(problem_code::texts_past_budget, t.entry.number);
    }
    // Texts beyond the most a stage takes are past the budget; what a stage that was
    // stopped did not reach is said with its fate.
    const std::size_t reached = texts.texts.size();
    if (reached == max_texts && c.texts.size() > max_texts) {
        if (!past_budget) add(problem_code::texts_past_budget, c.texts[max_texts].number);
    } else if (reached < c.texts.size()) {
        add(problem_code::texts_stopped, c.texts[reached].number,
            done.fate.empty() ? "the text renderer handed back too few texts" : done.fate);
    }
    return found;
}

}  // namespace zub
