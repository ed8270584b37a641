// zub_snapshot: saves an X11 window's pixels as a PNG, or closes the window the way a
// window manager does.
//
//   zub_snapshot WINDOW OUT.png
//   zub_snapshot --close WINDOW
//
// The display is taken from $DISPLAY.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "tools/output_file.hpp"
#include "tools/x11_window.hpp"

int main(int argc, char* argv[]) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--close") {
            zub::x11::send_delete_window("", std::stoul(argv[2], nullptr, 0));
            return 0;
        }
        if (argc == 3) {
            const auto target = zub::plan_output(argv[2], {});
            if (!target) {
                (void)std::fprintf(stderr, "zub_snapshot: %s\n", target.why().c_str());
                return 2;
            }
            const auto png = zub::png_bytes(zub::x11::capture_window("", std::stoul(argv[1], nullptr, 0)));
            if (!png) throw std::runtime_error(png.why());
            if (const auto written = zub::write_output(*target, *png); !written)
                throw std::runtime_error(written.why());
            return 0;
        }
        (void)std::fputs("usage: zub_snapshot WINDOW OUT.png | zub_snapshot --close WINDOW\n", stderr);
        return 2;
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "zub_snapshot: %s\n", e.what());
        return 1;
    }
}
