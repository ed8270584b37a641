// zub_reader: shows one ZUB document in a window until the window is closed.
//
// Exit status: 255 (-1) for a wrong command line, 0 when the document was shown and
// closed or the file is not a document (and for --help), 1 when a document could not be
// shown.

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <string_view>

#include "app/load_file.hpp"
#include "document/document.hpp"
#include "document/strings.hpp"
#include "view/window_module.hpp"
#include "wall/composition.hpp"
#include "wall/job.hpp"

namespace {

using zub::status_failed;
using zub::status_shown;

// The program's one voice on stderr: "zub_reader: FILE: what went wrong". Control
// characters in the name or the words are escaped: they never reach the terminal.
void say(const char* path, std::string_view what) {
    std::cerr << "zub_reader: " << zub::terminal_safe(path) << ": " << zub::terminal_safe(what) << '\n';
}

int fail(const char* path, std::string_view what) {
    say(path, what);
    return status_failed;
}

// Read, parse, start composing behind the wall, then load the window (SDL and its
// libraries, while the composer starts on the other core), show, wait.
int show(const char* path) {
    const zub::result<zub::document_buffer> loaded = zub::load_file(path);
    if (!loaded) return fail(path, loaded.why());
    const zub::document doc = zub::parse_document(loaded->view());
    if (!doc.is_document) return status_shown;  // not a document: nothing to show, nothing to say
    if (const zub::problem* error = doc.error()) return fail(path, zub::describe(*error));

    // A side of 0 is the desktop's, known once SDL has started: that document's composer
    // is started then, for the window opened (see show_document), never for the size
    // the image declares.
    zub::composition composing;
    if (!zub::takes_desktop_side(doc.header))
        composing =
            zub::start_composition(doc, zub::composing_ask_for_window(doc.header.width, doc.header.height));
    const zub::result<void*> entry =
        zub::load_module(zub::window_module_name, zub::window_module_entry, "the window's module");
    if (!entry) return fail(path, entry.why());
    const auto show_in_window = reinterpret_cast<zub::show_in_window_entry>(*entry);
    return show_in_window(zub::window_call{path, &doc, &composing, say});
}

}  // namespace

int main(int argc, char* argv[]) {
    // There are no options: an argument that starts with '-' and names no file asks for
    // the usage line, and --help and -h are answered with it.
    struct stat named {};
    const bool option = argc == 2 && argv[1][0] == '-' && lstat(argv[1], &named) != 0;
    if (argc != 2 || option) {
        (void)std::fputs("usage: zub_reader filename\n", stdout);
        const bool help = option && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
        return help ? 0 : -1;
    }
    try {
        return show(argv[1]);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        return fail(argv[1], e.what());
    }
}
