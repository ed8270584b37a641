// Loading the window module (view/window_module.hpp) once the composer is on its way.
#pragma once

#include "document/result.hpp"

namespace zub {

// The entry point `entry` of the module `name`: beside the program in the build tree,
// else in the project's library folder (installed), or why it cannot be loaded. The
// module stays loaded for the rest of the program's life: the libraries it brings in
// may keep state until the process ends.
result<void*> load_window_module(const char* name, const char* entry);

}  // namespace zub
