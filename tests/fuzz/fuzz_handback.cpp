// Arbitrary bytes as what the image decoder hands back: the viewer reads a decoder's
// result as it would any untrusted bytes, since a hostile image may have taken the
// decoder over. Whatever it accepts is converted and painted as the viewer paints it.
#include <SDL.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/fuzz/fuzz_screen.hpp"
#include "view/compose.hpp"
#include "view/decoder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SDL_Surface* const screen = zub::fuzz::screen();
    // The result's header is the start of a page (its first half is all it uses); the
    // pixels follow the page.
    constexpr std::size_t header = zub::result_header_bytes / 2;
    const std::size_t region_size = zub::result_header_bytes + (size > header ? size - header : 0);
    void* region = mmap(nullptr, region_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return 0;
    auto* bytes = static_cast<std::uint8_t*>(region);
    std::memcpy(bytes, data, std::min(size, header));
    if (size > header) std::memcpy(bytes + zub::result_header_bytes, data + header, size - header);
    zub::decoded_image decoded =
        zub::read_result(zub::mapping_handle(region, zub::mapping_release{region_size}));
    if (screen != nullptr) (void)zub::paint_background(std::move(decoded), screen);
    return 0;
}
