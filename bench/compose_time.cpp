// compose_time: how long composing a document takes on SDL's dummy video driver, and
// how much of it goes to opening the font.
//
//   compose_time [RECORDS] [RUNS]     (defaults: 1000 records, 7 runs)
//
// Run in a folder holding Consola.ttf. Prints the median time to compose an 800x600
// document (PNG background, RECORDS texts of 27 characters at 18 points) and the
// median time of RECORDS font opens and closes on their own.
#include <SDL.h>
#include <SDL_ttf.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "view/compose.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double ms_since(clock_type::time_point start) {
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

}  // namespace

int main(int argc, char* argv[]) {
    const int records = argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 10)) : 1000;
    const int runs = argc > 2 ? std::max(1, static_cast<int>(std::strtol(argv[2], nullptr, 10))) : 7;
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    SDL_Init(SDL_INIT_VIDEO);
    TTF_Init();

    zub::test::document_parts parts;
    parts.width = 800;
    parts.height = 600;
    parts.font_size = 18;
    parts.image = zub::test::encode_png(zub::test::pattern(800, 600, false), zub::test::png_kind::rgb);
    for (int i = 0; i < records; ++i) {
        parts.records.push_back(
            zub::test::text_at((i * 37) % 700, (i * 23) % 580, 255, 255, 255, "The quick brown fox jumps."));
    }
    const zub::test::bytes file = zub::test::write_document(parts);
    const auto sections = std::get<zub::document_sections>(zub::read_document(file));
    SDL_ShowCursor(SDL_DISABLE);
    SDL_Surface* screen = SDL_SetVideoMode(800, 600, 32, 0);

    std::vector<double> compose, opens;
    for (int run = 0; run < runs; ++run) {
        auto start = clock_type::now();
        const auto warnings = zub::compose_document(file, sections, screen);
        compose.push_back(ms_since(start));
        if (!warnings.empty()) (void)std::fprintf(stderr, "warning: %s\n", warnings.front().c_str());

        start = clock_type::now();
        for (int i = 0; i < records; ++i) TTF_CloseFont(TTF_OpenFont(zub::default_font_path, 18));
        opens.push_back(ms_since(start));
    }
    const double c = median(compose), o = median(opens);
    std::printf("%d records, median of %d runs: compose %.1f ms; %d font opens and closes %.1f ms (%.0f%%)\n",
                records, runs, c, records, o, 100.0 * o / c);
    TTF_Quit();
    SDL_Quit();
    return 0;
}
