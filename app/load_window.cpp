#include "app/load_window.hpp"

#include <dlfcn.h>

#include <string>

#include "wall/job.hpp"

#ifndef ZUB_WINDOW_FROM_PROGRAM
#define ZUB_WINDOW_FROM_PROGRAM "../lib/x86_64-linux-gnu/zub-reader"
#endif

namespace zub {

result<void*> load_window_module(const char* name, const char* entry) {
    const std::string path = program_beside(name, ZUB_WINDOW_FROM_PROGRAM);
    // Lazy binding: of SDL's libraries only the functions the window calls are bound.
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) return failure{"cannot load the window's module: " + std::string(dlerror())};
    void* found = dlsym(module, entry);
    if (found == nullptr) return failure{"cannot load the window's module: " + std::string(dlerror())};
    return found;
}

}  // namespace zub
