// The viewer's window steps for zub_timeline, in a module loaded as the viewer loads its
// window (view/window_module.hpp), each step marked.
#pragma once

#include "view/window_module.hpp"

struct timeline_marks {
    void (*mark)(const char* phase);                        // the end of a step
    void (*stage)(const char* name, const void* handback);  // a stage's report, once it is done
};

// Opens the window, waits for and paints the stages' work, flips once; 0, or 1 (said).
using timeline_steps_entry = int (*)(const zub::window_call& call, const timeline_marks& marks);
