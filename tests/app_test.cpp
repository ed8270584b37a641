// Loading the document file, and the wait for the window to be closed.
#include <unistd.h>

#include "app/load_file.hpp"
#include "tests/sdl_fixture.hpp"
#include "view/window.hpp"

namespace zub::test {
namespace {

TEST(LoadFile, HoldsExactlyTheFilesBytes) {
    const std::string path = "/tmp/zub-load-" + std::to_string(getpid());
    bytes content(70000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 31 + i / 256);
    write_file(path, content);
    const result<document_buffer> loaded = load_file(path.c_str());
    ASSERT_TRUE(loaded) << loaded.why();
    const auto view = loaded->view();
    EXPECT_EQ(bytes(view.begin(), view.end()), content);

    write_file(path, {});
    const result<document_buffer> empty = load_file(path.c_str());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->size, 0U);
    unlink(path.c_str());
}

TEST(LoadFile, GivesTheSystemsReason) {
    const result<document_buffer> missing = load_file("/no/such/file.zub");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.why(), "cannot open the file: No such file or directory");
    const result<document_buffer> folder = load_file("/tmp");
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.why(), "cannot read the file: Is a directory");
}

using WaitLoop = DummyScreen;

SDL_Event event_of(Uint8 type) {
    SDL_Event e{};
    e.type = type;
    return e;
}

TEST_F(WaitLoop, EndsOnlyOnQuitAndDrainsTheQueueFirst) {
    ASSERT_NE(screen(8, 8, 32), nullptr);
    for (Uint8 type : {Uint8{SDL_KEYDOWN}, Uint8{SDL_MOUSEBUTTONDOWN}, Uint8{SDL_QUIT}, Uint8{SDL_KEYUP},
                       Uint8{SDL_ACTIVEEVENT}}) {
        SDL_Event e = event_of(type);
        ASSERT_EQ(SDL_PushEvent(&e), 0);
    }
    wait_until_closed();
    SDL_Event left{};
    EXPECT_EQ(SDL_PollEvent(&left), 0) << "event " << int(left.type) << " was left in the queue";
}

TEST_F(WaitLoop, KeysAndClicksAloneDoNotEndIt) {
    ASSERT_NE(screen(8, 8, 32), nullptr);
    SDL_Event key = event_of(SDL_KEYDOWN);
    key.key.keysym.sym = SDLK_ESCAPE;
    ASSERT_EQ(SDL_PushEvent(&key), 0);
    // The loop is still waiting after the key; a quit pushed from another thread ends it.
    SDL_Thread* quitter = SDL_CreateThread(
        [](void*) -> int {
            SDL_Delay(200);
            SDL_Event quit = event_of(SDL_QUIT);
            return SDL_PushEvent(&quit);
        },
        nullptr);
    const Uint32 start = SDL_GetTicks();
    wait_until_closed();
    EXPECT_GE(SDL_GetTicks() - start, 150U);
    SDL_WaitThread(quitter, nullptr);
}

}  // namespace
}  // namespace zub::test
