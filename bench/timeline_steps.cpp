// The window's steps of the viewer, one mark after each (see bench/timeline.cpp).
#include "bench/timeline_steps.hpp"

#include <iostream>

#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

namespace {

int fail(const std::string& why) {
    std::cerr << why << '\n';
    return 1;
}

}  // namespace

// NOLINTNEXTLINE(readability-identifier-naming): looked up by this name
extern "C" __attribute__((visibility("default"))) int zub_timeline_steps(const zub::window_call& call,
                                                                         const timeline_marks& t) {
    zub::composition& composing = *call.composing;
    const auto sdl = zub::start_sdl(zub::video_kind::window);
    if (!sdl) return fail(sdl.why());
    t.mark("start SDL");
    const auto screen = zub::open_window(zub::request_for(*call.doc));
    if (!screen) return fail(screen.why());
    t.mark("open the window");
    {
        const zub::finished_image image = zub::finish_image_stage(composing.image, composing.image_asked);
        if (!image.error.empty()) return fail(image.error);  // a run that failed is no timeline
        t.mark("wait for the image stage");
        t.stage("image", image.mapping.get());
        (void)zub::paint_background(image, *screen);
        t.mark("convert and paint");
    }
    if (composing.texts_wanted) {
        const zub::finished_texts texts = zub::finish_texts(composing);
        if (!texts.error.empty()) return fail(texts.error);
        t.mark("wait for the texts stage");
        if (!texts.mappings.empty()) t.stage("texts", texts.mappings.front().get());
        zub::draw_texts(texts, *screen);
        t.mark("blit the texts");
    }
    SDL_Flip(*screen);
    t.mark("flip");
    return 0;
}
