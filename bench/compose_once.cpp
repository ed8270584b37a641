// zub_compose_once: the viewer's start-up up to its one flip, then exit, so that the
// instructions it takes can be counted (valgrind --tool=callgrind). The image is decoded
// and the texts rendered in process: valgrind cannot run the seccomp filter that
// confines the stages (the viewer then shows no image), and callgrind counts one process.
//
//   zub_compose_once FILE
//   zub_compose_once --timeline EXEC_NS FILE
//
// With --timeline it takes the viewer's very steps on the real display, the stages
// behind the wall, and prints how long each took, in ms, one "phase ms" line each; EXEC_NS is
// CLOCK_REALTIME in nanoseconds just before the program was executed, so that the first
// phase is the dynamic linking and start of the process.
#include <SDL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "app/load_file.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace {

int compose_once(const char* path) {
    const auto sdl = zub::start_sdl(zub::video_kind::window);  // the bench names the dummy driver
    if (!sdl) return 1;
    const auto loaded = zub::load_file(path);
    if (!loaded) return 1;
    const zub::document doc = zub::parse_document(loaded->view());
    if (!doc.is_document || doc.error() != nullptr) return 1;
    const auto screen = zub::open_window(zub::request_for(doc));
    if (!screen) return 1;
    std::vector<zub::problem> warnings = zub::paint_background(
        zub::decode_in_process(doc.image, zub::image_ask{(*screen)->w, (*screen)->h}), *screen);
    const zub::result<zub::file_bytes> font = zub::read_font_file(zub::default_font_name);
    if (!font) return 1;
    const std::vector<zub::text_to_render> texts = zub::texts_of(doc);
    zub::draw_texts(zub::render_in_process(texts, font->view(),
                                           zub::texts_ask{(*screen)->w, (*screen)->h, doc.header.font_size}),
                    *screen);
    for (const zub::problem& warning : warnings) std::cerr << zub::describe(warning) << '\n';
    SDL_Flip(*screen);
    return 0;
}

// Marks the end of each phase.
class timeline {
public:
    explicit timeline(long long exec_ns) {
        const long long now_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count();
        phases_.emplace_back("exec to main", static_cast<double>(now_ns - exec_ns) / 1e6);
        last_ = std::chrono::steady_clock::now();
    }
    void mark(const char* phase) {
        const auto now = std::chrono::steady_clock::now();
        phases_.emplace_back(phase, std::chrono::duration<double, std::milli>(now - last_).count());
        last_ = now;
    }
    void print() const {
        for (const auto& [phase, ms] : phases_) std::printf("%s %.2f\n", phase.c_str(), ms);
    }

private:
    std::vector<std::pair<std::string, double>> phases_;
    std::chrono::steady_clock::time_point last_;
};

int fail(const std::string& why) {
    std::cerr << why << '\n';
    return 1;
}

// The viewer's start, as its main takes it, with a mark after each step.
int show_with_timeline(long long exec_ns, const char* path) {
    timeline t(exec_ns);
    const auto loaded = zub::load_file(path);
    if (!loaded) return fail(loaded.why());
    const zub::document doc = zub::parse_document(loaded->view());
    if (!doc.is_document || doc.error() != nullptr) return fail("not a document that shows");
    t.mark("read and parse");
    zub::composition composing = zub::start_composition_for(doc, zub::request_for(doc));
    t.mark("start the stages");
    const auto sdl = zub::start_sdl(zub::video_kind::window);
    if (!sdl) return fail(sdl.why());
    t.mark("start SDL");
    const auto screen = zub::open_window(zub::request_for(doc));
    if (!screen) return fail(screen.why());
    t.mark("open the window");
    {
        const zub::finished_image image = zub::finish_image_stage(composing.image, composing.image_asked);
        t.mark("wait for the image stage");
        (void)zub::paint_background(image, *screen);
        t.mark("convert and paint");
    }
    if (composing.texts_wanted) {
        const zub::finished_texts texts = zub::finish_texts_stage(composing.text_stage, composing.texts);
        t.mark("wait for the texts stage");
        zub::draw_texts(texts, *screen);
        t.mark("blit the texts");
    }
    SDL_Flip(*screen);
    t.mark("flip");
    t.print();
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 4 && std::string(argv[1]) == "--timeline") {
        try {
            return show_with_timeline(std::strtoll(argv[2], nullptr, 10), argv[3]);
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return 1;
        }
    }
    if (argc != 2) return 255;
    try {
        return compose_once(argv[1]);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
}
