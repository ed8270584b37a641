// compose_time: how long composing a document takes on SDL's dummy video driver, and
// how much of it goes to the text pass.
//
//   compose_time [RECORDS] [RUNS]     (defaults: 1000 records, 7 runs)
//
// Run in a folder holding Consola.ttf. Prints the median time to compose an 800x600
// document (PNG background decoded and RECORDS texts of 27 characters at 18 points
// rendered behind the wall) and the median time of its texts alone.
#include <SDL.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"
#include "view/window.hpp"

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
    const auto sdl = zub::start_sdl(zub::video_kind::in_memory);
    if (!sdl) return 1;

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
    const zub::document doc = zub::parse_document(file);
    const auto screen = zub::open_window(zub::request_for(doc));
    if (!screen) return 1;

    std::vector<double> compose, texts;
    for (int run = 0; run < runs; ++run) {
        auto start = clock_type::now();
        const auto warnings = zub::compose_document(doc, *screen);
        compose.push_back(ms_since(start));
        if (const zub::problem* failed = zub::not_composed(warnings)) {
            (void)std::fprintf(stderr, "%s\n", zub::describe(*failed).c_str());
            return 1;  // a run that failed is no timing
        }
        if (!warnings.empty())
            (void)std::fprintf(stderr, "warning: %s\n", zub::describe(warnings.front()).c_str());

        // The texts alone: their stage started, waited for and its surfaces blitted.
        start = clock_type::now();
        zub::composition texts_only = zub::start_composition(doc, zub::composing_ask{800, 600, true, false});
        const auto texts_said = zub::compose_document(doc, *screen, texts_only);
        texts.push_back(ms_since(start));
        if (const zub::problem* failed = zub::not_composed(texts_said)) {
            (void)std::fprintf(stderr, "%s\n", zub::describe(*failed).c_str());
            return 1;
        }
    }
    const double c = median(compose), t = median(texts);
    std::printf("%d records, median of %d runs: compose %.1f ms; the texts %.1f ms (%.0f%%)\n", records, runs,
                c, t, 100.0 * t / c);
    return 0;
}
