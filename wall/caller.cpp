#include "wall/caller.hpp"

#include <algorithm>
#include <cstring>
#include <deque>

#include "document/image_probe.hpp"
#include "document/limits.hpp"

namespace zub {

namespace {

std::string number(std::int64_t value) { return std::to_string(value); }

// The pixels the image's header declares, at the most bytes a pixel: the decoded picture
// takes that much in the stage.
std::uint64_t decoded_image_bytes(bytes_view image) {
    const auto declared = probe_image_size(image);
    const std::int64_t width =
        declared ? std::clamp<std::int64_t>(declared->width, 1, max_image_width) : max_image_width;
    const std::int64_t height =
        declared ? std::clamp<std::int64_t>(declared->height, 1, max_image_height) : max_image_height;
    return static_cast<std::uint64_t>(width * height * 4);
}

// Why the image is not given to a stage at all: an absurd declared size costs the time
// and memory of decoding it. Empty when it is given.
std::string image_refused(bytes_view image) {
    if (const auto declared = probe_image_size(image)) {
        if (const auto problem = image_size_problem(*declared)) return *problem;
    }
    return {};
}

stage_request image_request(bytes_view image, const image_ask& ask) {
    const std::uint64_t handback = image_handback_bytes(image, ask);
    const std::uint64_t memory = handback + decoded_image_bytes(image) + stage_memory_bytes;
    return {"the decoder",
            {"image", number(ask.visible_width), number(ask.visible_height), ask.pixels ? "1" : "0",
             std::to_string(memory)},
            image,
            handback};
}

// The texts stage's request; its input (the font and the texts, laid out) is `input`.
stage_request texts_request_for(std::span<const text_to_render> texts, bytes_view font, const texts_ask& ask,
                                std::vector<std::uint8_t>& input) {
    const std::span<const text_to_render> taken = texts.first(std::min<std::size_t>(texts.size(), max_texts));
    const std::uint64_t handback = texts_handback_bytes(slice_of(taken, ask).size(), ask);
    input = texts_request(font, taken.first(std::min<std::size_t>(taken.size(), ask.end)));
    const std::uint64_t memory = handback + input.size() + stage_memory_bytes;
    return {"the text renderer",
            {"texts", number(ask.window_width), number(ask.window_height), number(ask.points),
             ask.pixels ? "1" : "0", number(ask.first), number(ask.end), std::to_string(memory)},
            bytes_view(input.data(), input.size()),
            handback};
}

// The first `bytes` of the hand-back, mapped into `mapping` and read by `read`.
template <class Read>
auto map_whole(const stage_job& job, std::uint64_t bytes, mapping_handle& mapping, Read read)
    -> decltype(read(std::span<const std::uint8_t>{})) {
    result<mapping_handle> whole = map_handback(job, bytes);
    if (!whole) return failure{whole.why()};
    mapping = std::move(*whole);
    return read(std::span(static_cast<const std::uint8_t*>(mapping.get()), mapping.get_deleter().size));
}

}  // namespace

std::size_t plan_image_stage(stage_plan& plan, bytes_view image, const image_ask& ask) {
    std::string refused = image_refused(image);
    plan.requests.push_back(refused.empty() ? image_request(image, ask) : stage_request{});
    plan.refused.push_back(std::move(refused));
    return plan.requests.size() - 1;
}

std::size_t plan_texts_stage(stage_plan& plan, std::span<const text_to_render> texts, bytes_view font,
                             const texts_ask& ask) {
    plan.requests.push_back(texts_request_for(texts, font, ask, plan.inputs.emplace_back()));
    plan.refused.emplace_back();
    return plan.requests.size() - 1;
}

std::vector<stage_job> start_plan(const stage_plan& plan) {
    std::vector<stage_job> jobs(plan.requests.size());
    std::vector<std::size_t> numbers;  // of the stages in the run being gathered
    std::vector<stage_request> run;
    const auto start_run = [&] {
        std::vector<stage_job> started = start_stages(run);
        for (std::size_t k = 0; k < numbers.size(); ++k) jobs[numbers[k]] = std::move(started[k]);
        numbers.clear();
        run.clear();
    };
    for (std::size_t n = 0; n < plan.requests.size(); ++n) {
        if (!plan.refused[n].empty()) {
            jobs[n].problem = stage_end{plan.refused[n]};
            continue;
        }
        numbers.push_back(n);
        run.push_back(plan.requests[n]);
        if (run.size() == max_stages) start_run();
    }
    if (!run.empty()) start_run();
    return jobs;
}

stage_job start_image_stage(bytes_view image, const image_ask& ask) {
    stage_plan plan;
    (void)plan_image_stage(plan, image, ask);
    return std::move(start_plan(plan).front());
}

finished_image finish_image_stage(stage_job& job, const image_ask& ask) {
    finished_image out;
    if (const stage_end fate = finish_stage(job); !fate.said.empty()) {
        out.image = failure{fate.said};
        if (!fate.document_caused) out.error = fate.said;
        // What the image library recognised the format as, when it got that far.
        if (result<mapping_handle> page = map_handback(job, handback_header_bytes)) {
            image_handback header{};
            std::memcpy(&header, page->get(), sizeof header);
            if (header.report.progress >= progress_working)
                out.format = stage_text(header.format, sizeof header.format);
        }
        return out;
    }
    // The header first; then exactly the pixels it says it handed back.
    result<mapping_handle> page = map_handback(job, handback_header_bytes);
    if (!page) {
        out.image = failure{page.why()};
        return out;
    }
    image_handback header{};
    std::memcpy(&header, page->get(), sizeof header);
    out.format = stage_text(header.format, sizeof header.format);
    const std::uint64_t pixels =
        ask.pixels ? std::min(header.pixel_bytes, job.handback_bytes - handback_header_bytes) : 0;
    page->reset();
    out.image = map_whole(
        job, handback_header_bytes + pixels, out.mapping,
        [&](std::span<const std::uint8_t> bytes) { return read_image_handback(bytes, ask.pixels); });
    return out;
}

std::vector<text_to_render> texts_of(const document& doc) {
    std::vector<text_to_render> texts;
    texts.reserve(doc.records.size());
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& r = doc.records[i];
        texts.push_back({static_cast<std::uint32_t>(i + 1), r.red, r.green, r.blue, r.x, r.y,
                         r.text.first(std::min<std::size_t>(r.text.size(), max_string_length))});
    }
    return texts;
}

std::span<const text_to_render> slice_of(std::span<const text_to_render> texts, const texts_ask& ask) {
    const std::size_t end = std::min<std::size_t>({texts.size(), max_texts, ask.end});
    return texts.subspan(std::min<std::size_t>(ask.first, end))
        .first(end - std::min<std::size_t>(ask.first, end));
}

finished_texts finish_texts_stage(stage_job& job, std::span<const text_to_render> asked,
                                  const texts_ask& ask) {
    finished_texts out;
    const std::span<const text_to_render> taken = slice_of(asked, ask);
    const stage_end end = finish_stage(job);
    out.fate = end.said;
    if (!end.document_caused) out.error = end.said;
    // What it finished is read whatever its end: the texts before a crash are shown.
    out.texts = map_whole(
        job, texts_handback_bytes(taken.size(), ask), out.mappings.emplace_back(),
        [&](std::span<const std::uint8_t> bytes) { return read_texts_handback(bytes, taken, ask); });
    return out;
}

}  // namespace zub
