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
#include <string>

#include "tools/x11_window.hpp"

int main(int argc, char* argv[]) {
    try {
        if (argc == 3 && std::string(argv[1]) == "--close") {
            zub::x11::send_delete_window("", std::stoul(argv[2], nullptr, 0));
            return 0;
        }
        if (argc == 3) {
            zub::write_png(argv[2], zub::x11::capture_window("", std::stoul(argv[1], nullptr, 0)));
            return 0;
        }
        (void)std::fputs("usage: zub_snapshot WINDOW OUT.png | zub_snapshot --close WINDOW\n", stderr);
        return 2;
    } catch (const std::exception& e) {
        (void)std::fprintf(stderr, "zub_snapshot: %s\n", e.what());
        return 1;
    }
}
