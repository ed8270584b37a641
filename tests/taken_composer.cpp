// A stand-in for zub-compose taken over by a hostile image or font: it runs as the real
// one does up to the wall, then, in the stage /tmp/zub-taken-CALLER names, does what the
// attack there says instead of the stage's work. Everything else is the real stage.
//
//   /tmp/zub-taken-CALLER, or zub-taken-order in its working directory: "STAGE ATTACK",
//   e.g. "image shrinks-its-handback"
#include <fcntl.h>
#include <seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "wall/composer.hpp"
#include "wall/handback.hpp"
#include "wall/stages.hpp"

namespace {

std::string attack;

void spin() {
    volatile unsigned forever = 0;
    while (forever == 0) {
    }
}

void on_xcpu(int /*signal*/) {}

// A picture of what the process holds: its environment, its command line, its stack and
// heap near at hand, and its input, as 8-bit grey pixels.
int hand_back_what_it_holds(zub::bytes_view input, std::span<std::uint8_t> handback) {
    std::string held(reinterpret_cast<const char*>(input.data()), input.size());
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable)
        held += *variable;
    volatile char on_stack[4096];
    for (const volatile char& c : on_stack) held += c;
    const auto* heap = static_cast<const char*>(std::malloc(1 << 16));
    if (heap != nullptr) held.append(heap, 1 << 16);
    const int width = 256;
    const auto height = static_cast<int>(std::min<std::size_t>(held.size() / width + 1, 4096));
    const std::size_t room = handback.size() - zub::handback_header_bytes;
    const std::size_t bytes =
        std::min(room, static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    std::memcpy(handback.data() + zub::handback_header_bytes, held.data(), std::min(bytes, held.size()));
    zub::image_handback header{};
    header.report.progress = zub::progress_done;
    header.image_width = width;
    header.image_height = static_cast<int>(bytes / width);
    header.picture.width = width;
    header.picture.height = header.image_height;
    header.picture.pitch = width;
    header.picture.bits_per_pixel = 8;
    header.picture.colour_count = 256;
    for (int i = 0; i < 256; ++i) {
        const auto grey = static_cast<std::uint8_t>(i);
        header.picture.colours[i] = zub::handback_colour{grey, grey, grey, 0};
    }
    header.pixel_bytes = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(header.image_height);
    std::memcpy(handback.data(), &header, sizeof header);
    return zub::exit_done;
}

// The window the texts stage was asked to lay its texts for, from its command line.
std::int32_t texts_window[2] = {0, 0};

// Every text drawn, and the whole layer filled with a value past the texts it was given.
int fills_the_layer_past_its_texts(zub::bytes_view input, std::span<std::uint8_t> handback) {
    const std::optional<zub::texts_input> request = zub::read_texts_request(input);
    if (!request) return zub::exit_failed;
    const std::size_t count = request->texts.size();
    zub::texts_handback header{};
    header.report.progress = zub::progress_done;
    header.font_opened = 1;
    header.entry_capacity = static_cast<std::uint32_t>(count);
    header.entries_done = header.entry_capacity;
    const std::uint64_t layer_at = zub::texts_layer_offset(count);
    const std::uint64_t values = std::uint64_t{static_cast<std::uint32_t>(texts_window[0])} *
                                 static_cast<std::uint32_t>(texts_window[1]);
    if (layer_at + 2 * values > handback.size()) return zub::exit_failed;
    for (std::size_t i = 0; i < count; ++i) {
        zub::text_entry e{};
        e.number = request->texts[i].number;
        e.outcome = zub::text_outcome::drawn;
        std::memcpy(handback.data() + zub::handback_header_bytes + i * sizeof e, &e, sizeof e);
    }
    const auto past = static_cast<std::uint16_t>(count + 1);
    for (std::uint64_t v = 0; v < values; ++v) std::memcpy(handback.data() + layer_at + 2 * v, &past, 2);
    header.layer_value_bytes = 2;
    header.layer_width = texts_window[0];
    header.layer_height = texts_window[1];
    header.drawn_right = header.layer_width;
    header.drawn_bottom = header.layer_height;
    std::memcpy(handback.data(), &header, sizeof header);
    return zub::exit_done;
}

int taken(zub::bytes_view input, std::span<std::uint8_t> handback) {
    if (attack == "opens-a-file") (void)open("/tmp/zub-taken-was-here", O_WRONLY | O_CREAT, 0600);
    if (attack == "opens-a-socket") (void)socket(AF_INET, SOCK_STREAM, 0);
    if (attack == "runs-a-program")
        (void)execl("/bin/sh", "sh", "-c", "touch /tmp/zub-taken-was-here", nullptr);
    if (attack == "writes-to-stdout") (void)!write(STDOUT_FILENO, "decoded\n", 8);
    if (attack == "forks" && fork() == 0) _exit(0);
    if (attack == "shrinks-its-handback") (void)!ftruncate(zub::stage_handback_fd, 0);
    if (attack == "grows-its-handback") (void)!ftruncate(zub::stage_handback_fd, off_t{6} << 30);
    if (attack == "stops-itself") (void)raise(SIGSTOP);
    if (attack == "catches-sigxcpu") {
        (void)signal(SIGXCPU, on_xcpu);
        spin();
    }
    if (attack == "loops-for-ever") spin();
    if (attack == "allocates-without-end") {
        while (std::malloc(std::size_t{64} << 20U) != nullptr) {
        }
        return zub::exit_out_of_memory;
    }
    if (attack == "writes-to-an-invalid-address") {
        // Through a volatile address, which an optimiser cannot see is out of bounds.
        volatile std::uintptr_t address = 8;
        *reinterpret_cast<volatile int*>(address) = 1;  // NOLINT(performance-no-int-to-ptr)
    }
    if (attack == "aborts") std::abort();
    if (attack == "fails-without-a-word") return zub::exit_failed;
    if (attack == "says-its-room") {
        const std::string room = "room for " + std::to_string(handback.size()) + " bytes";
        std::strncpy(reinterpret_cast<zub::stage_report*>(handback.data())->error, room.c_str(), 255);
        return zub::exit_failed;
    }
    if (attack == "hands-back-what-it-holds") return hand_back_what_it_holds(input, handback);
    if (attack == "fills-the-layer-past-its-texts") return fills_the_layer_past_its_texts(input, handback);
    return zub::exit_failed;
}

}  // namespace

// In a sanitizer build, an allocation the memory limit refuses returns null, as in a
// release build, instead of ending the process with a report the wall would not let out.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's own name
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

std::string taken_stage_name;

zub::taken_stage taker(std::string_view stage) { return stage == taken_stage_name ? taken : nullptr; }

// A kernel without seccomp, as far as the composer can tell: seccomp() is not there.
void without_seccomp() {
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (filter == nullptr) return;
    (void)seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(seccomp), 0);
    (void)seccomp_rule_add(filter, SCMP_ACT_ERRNO(EINVAL), SCMP_SYS(prctl), 1,
                           SCMP_A0(SCMP_CMP_EQ, PR_SET_SECCOMP));
    (void)seccomp_load(filter);
    seccomp_release(filter);
}

int main(int argc, char* argv[]) {
    // Its caller's order, else one in the working directory it was started in (a
    // program the test starts, whose pid the test learns too late).
    if (argc > 1) {
        std::ifstream order(std::string("/tmp/zub-taken-") + argv[1]);
        order >> taken_stage_name >> attack;
    }
    if (attack.empty()) std::ifstream("zub-taken-order") >> taken_stage_name >> attack;
    if (attack == "has-no-seccomp") without_seccomp();
    for (int i = 1; i + 2 < argc; ++i) {
        if (std::string_view(argv[i]) == "texts") {
            texts_window[0] = static_cast<std::int32_t>(std::strtol(argv[i + 1], nullptr, 10));
            texts_window[1] = static_cast<std::int32_t>(std::strtol(argv[i + 2], nullptr, 10));
        }
    }
    _exit(zub::run_composer(argc, argv, taker));
}
