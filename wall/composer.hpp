// zub-compose: the program behind the wall. The caller executes it once a composition:
//
//   zub-compose CALLER STAGE... where each STAGE is one of
//     image VISIBLE_WIDTH VISIBLE_HEIGHT PIXELS MEMORY_BYTES
//     texts WINDOW_WIDTH WINDOW_HEIGHT POINTS PIXELS MEMORY_BYTES
//
// Stage k has its input on descriptor 3 + 2k and its hand-back on 4 + 2k
// (wall/handback.hpp); the descriptor after the last stage's is the status it reports
// to the caller. It dies with CALLER, sets up what the stages need (the libraries are
// loaded once), and forks one child a stage. Each child keeps only its own input and
// hand-back, confines itself (wall/sandbox.hpp), and only then maps its input and does
// the stage's work, within its own limits; the program waits for each and writes how it
// ended into the status, which no stage holds.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "document/byte_reader.hpp"

namespace zub {

// A test's stand-in for a stage that a hostile input has taken over: run once the stage
// is confined and its input mapped, in place of the stage's work.
using taken_stage = int (*)(bytes_view input, std::span<std::uint8_t> handback);

// Which stage a test has taken over: the stand-in for `stage` ("image", "texts"), or null.
using stage_taker = taken_stage (*)(std::string_view stage);

int run_composer(int argc, char* argv[], stage_taker taker = nullptr);

}  // namespace zub
