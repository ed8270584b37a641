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
            if (const auto* refused = std::get_if<zub::output_refused>(&target)) {
                (void)std::fprintf(stderr, "zub_snapshot: %s\n", refused->message.c_str());
                return 2;
            }
            const auto png = zub::png_bytes(zub::x11::capture_window("", std::stoul(argv[1], nullptr, 0)));
            if (const auto* error = std::get_if<std::string>(&png)) throw std::runtime_error(*error);
            const auto failed = zub::write_output(std::get<zub::output_target>(target),
                                                  std::get<std::vector<std::uint8_t>>(png));
            if (failed) throw std::runtime_error(*failed);
            return 0;
        }
        (void)std::fputs("usage: zub_snapshot WINDOW OUT.png | zub_snapshot --close WINDOW\n", stderr);
        return 2;
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "zub_snapshot: %s\n", e.what());
        return 1;
    }
}
