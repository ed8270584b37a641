// zub-compose: decodes a document's image and renders its texts behind the wall, for
// zub_reader, zub and the image loaders of other programs (see wall/composer.hpp).
#include <unistd.h>

#include "wall/composer.hpp"

// In a sanitizer build, an allocation the memory limit refuses returns null, as in a
// release build, instead of ending the process with a report the wall would not let out.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's own name
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char* argv[]) {
    // Returned from, the stage's status ends the process with _exit's speed: nothing of
    // the process needs tearing down, and a sanitizer's leak check could not run here.
    _exit(zub::run_composer(argc, argv));
}
