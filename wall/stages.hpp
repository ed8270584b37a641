// The two stages zub-compose runs behind the wall: the image, decoded and its visible part
// handed back; and the texts, rendered as SDL_ttf's solid mode renders them and each
// visible part handed back. Each writes its report and what it made into `handback`,
// laid out as wall/handback.hpp says, and gives its exit status (stage_exit).
#pragma once

#include <cstdint>
#include <span>

#include "document/byte_reader.hpp"
#include "wall/handback.hpp"

namespace zub {

// Loads and sets up what each stage needs before the wall goes up, when the process may
// still open files (the image library's codecs, the font library).
void prepare_image_stage();
void prepare_texts_stage();

// From here on a crash, or the memory running out, is written to `report` before the
// process ends with exit_crashed or exit_out_of_memory.
void report_crashes(stage_report* report);

// Makes the pages of hand-back (shared memory) about to be written, in one call: taking
// a fault for each page as it is first written costs several times as much. Where the
// system cannot, the pages come one fault at a time, as before.
void make_pages(std::span<std::uint8_t> pages);

[[nodiscard]] int run_image_stage(bytes_view image, const image_ask& ask, std::span<std::uint8_t> handback);
[[nodiscard]] int run_texts_stage(bytes_view input, const texts_ask& ask, std::span<std::uint8_t> handback);

}  // namespace zub
