// The window module's entry point: SDL started, the window opened and the picture shown
// once, then the wait until the window is closed.
#include "view/window_module.hpp"

#include <exception>
#include <string>
#include <vector>

#include "view/sdl_start.hpp"
#include "view/window.hpp"

// NOLINTNEXTLINE(readability-identifier-naming): looked up by this name
extern "C" __attribute__((visibility("default"))) int zub_show_in_window(const zub::window_call& call) {
    using namespace zub;
    try {
        const result<sdl_session> sdl = start_sdl(video_kind::window);
        if (!sdl) {
            call.say(call.path, "cannot start the video: " + sdl.why());
            return status_failed;
        }
        const result<std::vector<problem>> shown = show_document(*call.doc, *call.composing);
        if (!shown) {
            call.say(call.path, shown.why());
            return status_failed;
        }
        for (const problem& warning : *shown) call.say(call.path, describe(warning));
        wait_until_closed();
        // What was shown lacks a part through no fault of the document.
        return not_composed(*shown) == nullptr ? status_shown : status_failed;
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        call.say(call.path, e.what());
        return status_failed;
    }
}
