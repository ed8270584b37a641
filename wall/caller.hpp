// What the viewer and zub ask of the two stages, and what they get:
// the stages started with their input and bounds, and their hand-backs read and checked.
// No SDL here: the caller makes its own surfaces of what comes back.
#pragma once

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "document/document.hpp"
#include "wall/handback.hpp"
#include "wall/job.hpp"

namespace zub {

// The image stage for `image`, started; an image whose header declares an absurd size is
// refused here, without a stage. The input is copied: `image` may go at once.
[[nodiscard]] stage_job start_image_stage(bytes_view image, const image_ask& ask);

// Its end: the image's format as the image library recognises it ("PNG", ... or empty)
// and the checked picture, whose pixels lie in `mapping`, or why there is none.
struct finished_image {
    std::string format;
    result<checked_image> image = failure{"the decoder was not started"};
    std::string error;       // why, when the stage's end was not the document's doing
    mapping_handle mapping;  // released once what the caller made of the picture is gone
};
[[nodiscard]] finished_image finish_image_stage(stage_job& job, const image_ask& ask);

// The texts of the document the texts stage renders: every record, with its number.
std::vector<text_to_render> texts_of(const document& doc);

// Stages asked one after another and started together, max_stages to a run of
// zub-compose, so that its libraries are loaded once for all of them (a tool composing
// many documents starts one run for several). Each stage keeps its own process, input,
// hand-back and limits.
struct stage_plan {
    std::vector<stage_request> requests;
    std::vector<std::string> refused;              // by the stage's number: why it is not started, or empty
    std::deque<std::vector<std::uint8_t>> inputs;  // the texts stages' laid-out inputs
};
// Each gives the stage's number in the plan. An image whose header declares an absurd
// size is refused in the plan, without a stage.
std::size_t plan_image_stage(stage_plan& plan, bytes_view image, const image_ask& ask);
std::size_t plan_texts_stage(stage_plan& plan, std::span<const text_to_render> texts, bytes_view font,
                             const texts_ask& ask);
// The plan's stages, started: their jobs by their numbers.
[[nodiscard]] std::vector<stage_job> start_plan(const stage_plan& plan);

// The texts a texts stage lays, of all those handed over: its slice.
std::span<const text_to_render> slice_of(std::span<const text_to_render> texts, const texts_ask& ask);

// Its end: the texts of its slice it finished, checked (their layer in `mapping`), and
// how the stage ended: an empty fate when it finished them all. `asked`: all the texts.
struct finished_texts {
    std::string fate;
    std::string error;  // the fate, when the stage's end was not the document's doing
    result<checked_texts> texts = failure{"the text renderer was not started"};
    std::vector<mapping_handle> mappings;  // the layers' hand-backs
};
[[nodiscard]] finished_texts finish_texts_stage(stage_job& job, std::span<const text_to_render> asked,
                                                const texts_ask& ask);

// The image stage's work and the texts stage's in this process, without a wall, for
// fuzzing the caller's side and counting instructions. Available where the stages are
// linked in (zub_compose_stages).
finished_image decode_in_process(bytes_view image, const image_ask& ask);
finished_texts render_in_process(std::span<const text_to_render> texts, bytes_view font,
                                 const texts_ask& ask);

}  // namespace zub
