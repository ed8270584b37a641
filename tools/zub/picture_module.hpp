// zub's painter as a module of its own: SDL, and the forty libraries it brings, are loaded
// only by zub render, once its documents' stages are started, so that zub info, pack and
// unpack never load them. The module composes a document the way the viewer's window
// does, on a surface in the format of the window at the document's depth, and gives the
// picture back as the colours a true-colour display shows. No SDL in this header.
#pragma once

#include <string>
#include <vector>

#include "document/document.hpp"
#include "tools/png_file.hpp"
#include "wall/composition.hpp"

namespace zub {

// One document's picture: `width` x `height` at `depth` (8, 16, 24 or 32), painted from
// its stages, which the caller has waited for: the module waits for no composer, so that
// the program's own record of the composers it runs (which its signal handler kills) is
// the one kept.
struct picture_call {
    const document* doc = nullptr;
    composition* composing = nullptr;
    const finished_image* image = nullptr;
    const finished_texts* texts = nullptr;  // null without a texts stage
    int width = 0;
    int height = 0;
    int depth = 32;
    bool alone = true;  // the run's one document: it may be composed on SDL's own window
};

struct composed_picture {
    std::string error;              // no picture could be made: why
    std::vector<problem> warnings;  // what composing found, then the document's own
    rgb_image picture;
};

// The module's two steps: SDL started and the formats of its windows learned, at `depth`
// alone or at every depth (0), else false with why; then any number of pictures, from any
// thread.
struct picture_painter {
    bool (*start)(int depth, std::string& why);
    void (*compose)(const picture_call& call, composed_picture& out);
};

// The module's one entry point, by this name: its painter.
using picture_painter_entry = const picture_painter* (*)();
inline constexpr const char* picture_module_name = "zub-picture.so";
inline constexpr const char* picture_module_entry = "zub_picture_painter";

}  // namespace zub
