// Arbitrary bytes as what the image stage hands back: the viewer reads a stage's
// hand-back as it would any untrusted bytes, since a hostile image may have taken the
// stage over. Whatever it accepts is converted and painted as the viewer paints it.
#include <SDL.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tests/fuzz/fuzz_screen.hpp"
#include "view/compose.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    SDL_Surface* const screen = zub::fuzz::screen();
    // The hand-back's header is the start of a page (its first part is all it uses); the
    // pixels follow the page.
    constexpr std::size_t header = sizeof(zub::image_handback);
    const std::size_t region_size = zub::handback_header_bytes + (size > header ? size - header : 0);
    void* region = mmap(nullptr, region_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return 0;
    auto* bytes = static_cast<std::uint8_t*>(region);
    std::memcpy(bytes, data, std::min(size, header));
    if (size > header) std::memcpy(bytes + zub::handback_header_bytes, data + header, size - header);
    zub::finished_image image;
    image.mapping = zub::mapping_handle(region, zub::mapping_release{region_size});
    image.image = zub::read_image_handback(std::span<const std::uint8_t>(bytes, region_size), true);
    if (screen != nullptr) (void)zub::paint_background(image, screen);
    return 0;
}
