// The confined decoder: a decoder that misbehaves is stopped, its fate becomes one
// warning, the rest of the document is shown, and nothing it tried happens.
#include <SDL_image.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/sdl_fixture.hpp"
#include "view/compose.hpp"
#include "view/decoder.hpp"

// In a sanitizer build, an allocation that the decoder's memory limit refuses returns
// null, as it does in a release build, instead of ending the process with a report.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's own name
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace zub::test {
namespace {

// What the misbehaving decoders try to leave behind.
std::string trace_path() { return "/tmp/zub-decoder-was-here-" + std::to_string(getpid()); }

SDL_Surface* opens_a_file(SDL_RWops* stream) {
    SDL_RWclose(stream);
    close(open(trace_path().c_str(), O_WRONLY | O_CREAT, 0600));
    return nullptr;
}
SDL_Surface* opens_a_socket(SDL_RWops* stream) {
    SDL_RWclose(stream);
    close(socket(AF_INET, SOCK_STREAM, 0));
    return nullptr;
}
SDL_Surface* runs_a_program(SDL_RWops* stream) {
    SDL_RWclose(stream);
    const std::string command = "touch " + trace_path();
    execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
    return nullptr;
}
SDL_Surface* writes_to_stdout(SDL_RWops* stream) {
    SDL_RWclose(stream);
    (void)!write(STDOUT_FILENO, "decoded\n", 8);
    return nullptr;
}
SDL_Surface* forks(SDL_RWops* stream) {
    SDL_RWclose(stream);
    if (fork() == 0) {
        close(open(trace_path().c_str(), O_WRONLY | O_CREAT, 0600));
        _exit(0);
    }
    return nullptr;
}
SDL_Surface* loops_for_ever(SDL_RWops* stream) {
    SDL_RWclose(stream);
    volatile unsigned spin = 0;
    while (spin == 0) {
    }
    return nullptr;
}
SDL_Surface* allocates_without_end(SDL_RWops* stream) {
    SDL_RWclose(stream);
    while (std::malloc(std::size_t{64} << 20U) != nullptr) {
    }
    return nullptr;
}
SDL_Surface* writes_to_an_invalid_address(SDL_RWops* stream) {
    SDL_RWclose(stream);
    *reinterpret_cast<volatile int*>(std::uintptr_t{8}) = 1;  // NOLINT(performance-no-int-to-ptr)
    return nullptr;
}

std::string cannot_confine(int /*result_fd*/) { return "this kernel has no seccomp"; }

class ConfinedDecoder : public DummyScreen {
protected:
    void TearDown() override {
        set_decode_function(nullptr);
        set_confine_function(nullptr);
        std::filesystem::remove(trace_path());
    }

    // A document whose image the decoder is given, and one text over it.
    static bytes document() {
        document_parts parts;
        parts.width = 40;
        parts.height = 20;
        parts.image = encode_png(pattern(40, 20, true), png_kind::rgb);
        parts.records = {text_at(2, 2, 255, 255, 255, "Text")};
        return write_document(parts);
    }

    // The screen the document gives when its image is not shown.
    static std::vector<std::uint32_t> without_image() {
        document_parts parts;
        parts.width = 40;
        parts.height = 20;
        parts.image = to_bytes("not an image");
        parts.records = {text_at(2, 2, 255, 255, 255, "Text")};
        const bytes file = write_document(parts);
        SDL_Surface* s = screen(40, 20, 32);
        fill(s, rgba{0, 0, 0, 255});
        (void)compose_document(parsed(file), s);
        return raw_pixels(s);
    }
};

TEST_F(ConfinedDecoder, MisbehavingDecoderIsStoppedAndTheRestIsShown) {
    const std::vector<std::uint32_t> expected = without_image();
    const bytes file = document();
    for (const auto& [decode, why] : std::vector<std::pair<decode_function, std::string>>{
             {opens_a_file, "the decoder tried a forbidden system call"},
             {opens_a_socket, "the decoder tried a forbidden system call"},
             {runs_a_program, "the decoder tried a forbidden system call"},
             {writes_to_stdout, "the decoder tried a forbidden system call"},
             {forks, "the decoder tried a forbidden system call"},
             {loops_for_ever, "the decoder was stopped after 2 s"},
             {allocates_without_end, "the decoder went over its memory limit"},
             {writes_to_an_invalid_address, "the decoder crashed (signal 11)"}}) {
        set_decode_function(decode);
        SDL_Surface* s = screen(40, 20, 32);
        fill(s, rgba{0, 0, 0, 255});
        // What the decoder might write to standard output is caught here.
        (void)std::fflush(stdout);
        const int saved_stdout = dup(STDOUT_FILENO);
        int caught[2];
        ASSERT_EQ(pipe2(caught, O_NONBLOCK), 0);
        dup2(caught[1], STDOUT_FILENO);
        const auto warnings = describe_all(compose_document(parsed(file), s));
        dup2(saved_stdout, STDOUT_FILENO);
        close(saved_stdout);
        close(caught[1]);
        char output[64];
        EXPECT_LE(read(caught[0], output, sizeof output), 0) << why;
        close(caught[0]);

        EXPECT_EQ(warnings, std::vector<std::string>{"the image is not shown: " + why});
        EXPECT_EQ(raw_pixels(s), expected) << why;
        EXPECT_FALSE(std::filesystem::exists(trace_path())) << why;
    }
}

TEST_F(ConfinedDecoder, NoImageIsDecodedWhenTheDecoderCannotBeConfined) {
    set_confine_function(cannot_confine);
    SDL_Surface* s = screen(40, 20, 32);
    fill(s, rgba{0, 0, 0, 255});
    const bytes file = document();
    EXPECT_EQ(describe_all(compose_document(parsed(file), s)),
              std::vector<std::string>{
                  "the image is not shown: the decoder cannot be confined: this kernel has no seccomp"});
    EXPECT_EQ(raw_pixels(s), without_image());
}

TEST_F(ConfinedDecoder, UnfinishedDecoderIsKilledAndReaped) {
    set_decode_function(loops_for_ever);
    pid_t child = -1;
    {
        const decoder_job job = start_decoding(to_bytes("anything"));
        child = job.pid;
        ASSERT_GT(child, 0);
    }
    EXPECT_EQ(kill(child, 0), -1);  // neither running nor a zombie
    EXPECT_EQ(errno, ESRCH);
}

// An ILBM image, whose reader the viewer used to keep away from every file, is shown as
// the image library decodes it.
TEST_F(ConfinedDecoder, IlbmImageIsShownAsTheLibraryDecodesIt) {
    const picture pic = pattern(32, 13, true);
    const bytes ilbm = encode_ilbm(pic);
    SDL_Surface* direct = IMG_Load_RW(SDL_RWFromConstMem(ilbm.data(), static_cast<int>(ilbm.size())), 1);
    ASSERT_NE(direct, nullptr) << IMG_GetError();
    const picture decoded = read_back(direct);
    SDL_FreeSurface(direct);
    EXPECT_EQ(decoded.pixels, pic.pixels);

    SDL_Surface* s = screen(32, 13, 32);
    EXPECT_TRUE(paint_background(ilbm, s).empty());
    EXPECT_TRUE(same_pixels(s, decoded));
}

}  // namespace
}  // namespace zub::test
