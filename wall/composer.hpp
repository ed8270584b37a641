// zub-compose: the program behind the wall. The caller executes it once a stage:
//
//   zub-compose image PARENT VISIBLE_WIDTH VISIBLE_HEIGHT PIXELS MEMORY_BYTES
//   zub-compose texts PARENT WINDOW_WIDTH WINDOW_HEIGHT POINTS PIXELS MEMORY_BYTES
//
// with its input on descriptor 3 and its hand-back on 4 (wall/handback.hpp). It dies
// with PARENT, sets up what the stage needs, confines itself (wall/sandbox.hpp), and only
// then maps its input and does the stage's work.
#pragma once

#include <cstdint>
#include <span>

#include "document/byte_reader.hpp"

namespace zub {

// A test's stand-in for a stage that a hostile input has taken over: run once the stage
// is confined and its input mapped, in place of the stage's work.
using taken_stage = int (*)(bytes_view input, std::span<std::uint8_t> handback);

// zub-compose's main; `taken` is null but in tests.
int run_composer(int argc, char* argv[], taken_stage taken = nullptr);

}  // namespace zub
