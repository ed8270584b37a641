// Arbitrary bytes as an embedded image, decoded in process by the image library and
// handed back as the image stage behind the wall hands it back, then painted. Without the wall, a
// fault in the library's readers ends the run: this target is for finding them (with
// an image library built with coverage, the fuzzer is guided inside its readers), not
// for the ordinary runs of scripts/fuzz.
#include <SDL.h>

#include <cstddef>
#include <cstdint>

#include "tests/fuzz/fuzz_screen.hpp"
#include "view/compose.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SDL_Surface* const screen = zub::fuzz::screen();
    if (screen != nullptr) {
        (void)zub::paint_background(
            zub::decode_in_process(zub::bytes_view(data, size), zub::image_ask{64, 48}), screen);
    }
    return 0;
}
