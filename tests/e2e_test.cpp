// The real zub_reader in a real X server: command line, exit statuses, messages, and
// the window's size, title and pixels.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <csignal>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/sdl_fixture.hpp"
#include "tests/x_session.hpp"
#include "tools/x11_window.hpp"
#include "view/compose.hpp"

#include <SDL_image.h>
#include <algorithm>

namespace zub::test {
namespace {

constexpr const char* usage = "usage: zub_reader filename\n";

// The viewer's own lines on stderr. The sound library may add lines of its own on a
// machine without a sound card; they are not the viewer's.
long line_count(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

std::string ours(const std::string& err) {
    std::string kept;
    std::size_t at = 0;
    while (at < err.size()) {
        std::size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        if (err.compare(at, 12, "zub_reader: ") == 0) kept += err.substr(at, end - at);
        at = end;
    }
    return kept;
}

// Checks `check` every 20 ms until it holds, for up to `seconds`; whether it came to hold.
template <class Check>
bool eventually(int seconds, Check check) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Where `part` appears, pixel for pixel, in `whole`: its top-left corner, if anywhere.
std::optional<std::pair<int, int>> find_part(const picture& whole, const picture& part) {
    for (int y = 0; y + part.height <= whole.height; ++y) {
        for (int x = 0; x + part.width <= whole.width; ++x) {
            bool same = true;
            for (int row = 0; row < part.height && same; ++row) {
                const auto from = part.pixels.begin() + static_cast<std::ptrdiff_t>(part.index(0, row));
                same =
                    std::equal(from, from + part.width,
                               whole.pixels.begin() + static_cast<std::ptrdiff_t>(whole.index(x, y + row)));
            }
            if (same) return std::pair{x, y};
        }
    }
    return std::nullopt;
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { server_ = std::make_unique<xvfb>(); }
    static void TearDownTestSuite() { server_.reset(); }

    void SetUp() override { dir_ = make_work_folder("zub-e2e"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Starts the viewer in the test's folder, on the test's X server.
    std::unique_ptr<child_process> start(const std::vector<std::string>& args,
                                         const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv{ZUB_READER};
        argv.insert(argv.end(), args.begin(), args.end());
        // The test's own settings come last and win. The viewer picks its video driver
        // itself, as it does for a user who has not named one.
        std::vector<std::string> all{"DISPLAY=" + server_->display(), "SDL_VIDEODRIVER"};
        all.insert(all.end(), env.begin(), env.end());
        if (!args.empty()) shown_document_ = args.back();
        return std::make_unique<child_process>(argv, all, dir_.string());
    }

    // Waits for `image` to show in the compositor's output, which weston draws into an X
    // window: where it is there, or nothing after 20 s.
    std::optional<std::pair<int, int>> shown_on(const wayland_compositor& compositor, const picture& image) {
        std::optional<std::pair<int, int>> at;
        (void)eventually(20, [&] {
            at = find_part(capture_window(server_->display(), compositor.output_window(), 640, 480), image);
            return at.has_value();
        });
        return at;
    }

    // Moves the pointer to (x, y) in `window`.
    void move_pointer(unsigned long window, int x, int y) {
        command_output("DISPLAY=" + server_->display() + " xdotool mousemove --window " +
                       std::to_string(window) + " " + std::to_string(x) + " " + std::to_string(y));
    }

    std::string save(const std::string& name, const bytes& data) {
        write_file((dir_ / name).string(), data);
        return name;
    }

    // Runs a command that must end without opening a window.
    struct ended {
        int status;
        std::string out, err;
    };
    ended run_to_end(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        auto viewer = start(args, env);
        const auto status = viewer->wait_exit(20);
        EXPECT_TRUE(status) << "still running";
        return {status.value_or(-1), viewer->out(), ours(viewer->err())};
    }

    // Waits for the viewer's window, checks what it shows, then closes it.
    void expect_window_then_close(child_process& viewer, int width, int height, const std::string& title,
                                  const picture& expected) {
        const auto window = find_window(server_->display(), viewer.pid(), 20);
        ASSERT_TRUE(window) << "no window; stderr: " << ours(viewer.err());
        EXPECT_EQ(window->width, width);
        EXPECT_EQ(window->height, height);
        EXPECT_EQ(window->title, title);
        // The window may be mapped a moment before its one picture lands.
        picture shown;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            shown = capture_window(server_->display(), window->id, width, height);
            if (shown.pixels == expected.pixels) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < deadline);
        EXPECT_TRUE(shown.pixels == expected.pixels) << differences(shown, expected);
        expect_render_equal(shown);

        send_delete_window(server_->display(), window->id);
        const auto status = viewer.wait_exit(10);
        ASSERT_TRUE(status) << "the window did not close";
        EXPECT_EQ(*status, 0) << ours(viewer.err());
        EXPECT_EQ(viewer.out(), "");
    }

    // zub render of the document on show gives the very pixels of its window, at the
    // depths where the dummy driver and the display are both true colour.
    void expect_render_equal(const picture& shown) {
        std::ifstream in(dir_ / shown_document_, std::ios::binary);
        const bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        const auto depth = read_i32le(file, header_offset::bits_per_pixel);
        if (!depth || (*depth != 32 && *depth != 24 && *depth != 0)) return;
        // Without a font beside it the tool draws the texts in another face, by its rule.
        if (!std::filesystem::is_regular_file(dir_ / "Consola.ttf")) return;
        child_process render({ZUB_TOOL, "render", shown_document_, "shown.png"}, {}, dir_.string());
        ASSERT_EQ(render.wait_exit(30), 0) << render.err();
        const dummy_sdl sdl;
        SDL_Surface* png = IMG_Load((dir_ / "shown.png").c_str());
        ASSERT_NE(png, nullptr) << IMG_GetError();
        const picture rendered = read_back(png);
        SDL_FreeSurface(png);
        EXPECT_TRUE(rendered.pixels == shown.pixels) << "zub render: " << differences(rendered, shown);
    }

    static std::string differences(const picture& got, const picture& want) {
        int wrong = 0;
        std::string first;
        for (int y = 0; y < want.height; ++y) {
            for (int x = 0; x < want.width; ++x) {
                const rgba a = got.at(x, y), b = want.at(x, y);
                if (a == b) continue;
                if (wrong++ == 0) {
                    first = " first at (" + std::to_string(x) + "," + std::to_string(y) +
                            "): " + std::to_string(a.r) + "," + std::to_string(a.g) + "," +
                            std::to_string(a.b) + " not " + std::to_string(b.r) + "," + std::to_string(b.g) +
                            "," + std::to_string(b.b);
                }
            }
        }
        return std::to_string(wrong) + " pixels differ;" + first;
    }

    static inline std::unique_ptr<xvfb> server_;
    std::filesystem::path dir_;
    std::string shown_document_;
};

// A wrong command line, or an option (there are none), gives the usage line; --help and
// -h ask for it. A file whose name starts with '-' is still a file.
TEST_F(EndToEnd, WrongCommandLinePrintsTheUsageLineOnly) {
    save("-named.zub", to_bytes("not a document"));
    for (const auto& [args, status, out] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string>>{{{}, 255, usage},
                                                                             {{"a.zub", "b.zub"}, 255, usage},
                                                                             {{"--help"}, 0, usage},
                                                                             {{"-h"}, 0, usage},
                                                                             {{"--version"}, 255, usage},
                                                                             {{"-"}, 255, usage},
                                                                             {{"-named.zub"}, 0, ""}}) {
        const ended run = run_to_end(args);
        EXPECT_EQ(run.status, status) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(run.out, out) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(run.err, "") << (args.empty() ? "" : args[0]);
    }
}

TEST_F(EndToEnd, FilesThatAreNotDocumentsEndQuietly) {
    for (const auto& [name, content] :
         std::vector<std::pair<std::string, std::string>>{{"notes.txt", "A plain text file\n"},
                                                          {"zab.zub", "ZAB and then some more bytes here"},
                                                          {"empty.zub", ""},
                                                          {"z.zub", "Z"},
                                                          {"zu.zub", "ZU"}}) {
        const ended run = run_to_end({save(name, to_bytes(content))});
        EXPECT_EQ(run.status, 0) << name;
        EXPECT_EQ(run.out, "") << name;
        EXPECT_EQ(ours(run.err), "") << name;
    }
}

TEST_F(EndToEnd, DamagedDocumentsAreRefusedWithOneLine) {
    document_parts past_end;
    past_end.image = bytes(100, 7);
    past_end.image_length = 1234;
    bytes file = write_document(past_end);
    ended run = run_to_end({save("doc.zub", file)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ours(run.err),
              "zub_reader: doc.zub: damaged document: the image runs past the end of the file (needs 1234 "
              "bytes at offset 31; the file has 131)\n");

    run = run_to_end({save("short.zub", to_bytes("ZUB\x01\x02"))});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(
        ours(run.err),
        "zub_reader: short.zub: damaged document: the file is shorter than the 31-byte header (it has 5 "
        "bytes)\n");

    document_parts negative;
    negative.image_length = 0x80000000U;
    run = run_to_end({save("negative.zub", write_document(negative))});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ours(run.err),
              "zub_reader: negative.zub: damaged document: the image length is negative (-2147483648)\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(EndToEnd, FilesThatCannotBeReadAreReportedWithTheSystemsReason) {
    ended run = run_to_end({"no-such.zub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ours(run.err), "zub_reader: no-such.zub: cannot open the file: No such file or directory\n");

    std::filesystem::create_directory(dir_ / "folder.zub");
    run = run_to_end({"folder.zub"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ours(run.err), "zub_reader: folder.zub: cannot read the file: Is a directory\n");

    // A name with control characters in it reaches the terminal escaped.
    run = run_to_end({"\x1b[31mevil\nzub_reader: fake\xc2\x9b.zub"});
    EXPECT_EQ(
        run.err,
        "zub_reader: \\x1b[31mevil\\x0azub_reader: fake\\xc2\\x9b.zub: cannot open the file: No such file "
        "or directory\n");
}

TEST_F(EndToEnd, WindowThatCannotBeOpenedIsReported) {
    document_parts parts;
    parts.width = -20;
    parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
    const ended run = run_to_end({save("neg.zub", write_document(parts))});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ours(run.err), "zub_reader: neg.zub: the window size -20x16 has a negative side\n");
}

// Without a display the viewer says so in one line of its own: it never falls back to
// drawing in the terminal, and no library speaks on stderr or stdout before it.
TEST_F(EndToEnd, NoDisplayEndsWithOneLineAndNothingOnStandardOutput) {
    document_parts parts;
    parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
    const std::string name = save("doc.zub", write_document(parts));
    for (const auto& [env, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"DISPLAY", "TERM=xterm"}, "no display (DISPLAY is not set)"},
             {{"DISPLAY", "TERM"}, "no display (DISPLAY is not set)"},
             {{"DISPLAY=:65000", "TERM=xterm"}, "cannot connect to the display :65000"}}) {
        auto viewer = start({name}, env);
        const auto status = viewer->wait_exit(20);
        ASSERT_TRUE(status) << env[0] << ": still running";
        EXPECT_EQ(*status, 1) << env[0];
        EXPECT_EQ(viewer->out(), "") << env[0];
        EXPECT_EQ(viewer->err(), "zub_reader: doc.zub: cannot start the video: " + line + "\n") << env[0];
    }
}

// A driver the user names is used as named: the dummy driver shows the document nowhere,
// and a quit request (SIGTERM) ends the run as a closed window does.
TEST_F(EndToEnd, VideoDriverTheUserNamesIsRespected) {
    document_parts parts;
    parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
    auto viewer = start({save("doc.zub", write_document(parts))}, {"DISPLAY", "SDL_VIDEODRIVER=dummy"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_TRUE(viewer->running()) << viewer->err();
    kill(viewer->pid(), SIGTERM);
    EXPECT_EQ(viewer->wait_exit(10), 0);
    EXPECT_EQ(viewer->out(), "");
    EXPECT_EQ(ours(viewer->err()), "");
}

TEST_F(EndToEnd, ShowsTheImageWithItsTitleUntilTheWindowIsClosed) {
    const picture image = pattern(64, 48, false);
    document_parts parts;
    parts.width = 64;
    parts.height = 48;
    parts.bits_per_pixel = 24;
    parts.caption = to_bytes("Hello ZUB");
    parts.image = encode_png(image, png_kind::rgb);
    auto viewer = start({save("hello.zub", write_document(parts))});

    const auto window = find_window(server_->display(), viewer->pid(), 20);
    ASSERT_TRUE(window) << ours(viewer->err());
    // The viewer runs on the SDL 1.2 runtime this run is about, and on no other.
    EXPECT_EQ(has_library(viewer->pid(), "libSDL2-2.0.so"), on_sdl12_compat());
    EXPECT_TRUE(has_library(viewer->pid(), "libSDL-1.2.so"));
    // On X11 the picture goes to the window from memory: no GL stack is loaded for it.
    for (const char* gl : {"libGLX", "libGL.", "libEGL"}) EXPECT_FALSE(has_library(viewer->pid(), gl)) << gl;
    // Keys, Escape included, and clicks leave the window open.
    command_output("DISPLAY=" + server_->display() + " xdotool mousemove --window " +
                   std::to_string(window->id) + " 10 10 click 1 key Escape key q");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(viewer->running());
    expect_window_then_close(*viewer, 64, 48, "Hello ZUB", image);
}

// A document of the image's size that shows it as a BMP, with no title and no texts.
document_parts untitled_bmp_document(const picture& image) {
    document_parts parts;
    parts.width = image.width;
    parts.height = image.height;
    parts.image = encode_bmp(image);
    return parts;
}

// Window managers show _NET_WM_NAME: it holds the caption's UTF-8 exactly, whatever the
// locale; WM_NAME holds the same text, as STRING where it is all Latin-1. A caption that
// is not UTF-8 is read as Latin-1.
TEST_F(EndToEnd, TitleIsTheCaptionsTextInEveryLocale) {
    struct title_case {
        std::string caption, utf8;
        std::string latin1;  // WM_NAME as a STRING, or empty for COMPOUND_TEXT
    };
    const std::string rose = "Ros\xc3\xa9 \xe2\x80\x93 na\xc3\xafve \xe2\x98\x95";
    const std::vector<title_case> titles{
        {"Ros\xc3\xa9", "Ros\xc3\xa9", "Ros\xe9"},
        {rose, rose, ""},
        {"\xe2\x98\x95", "\xe2\x98\x95", ""},
        {"caf\xe9 cr\xe8me", "caf\xc3\xa9 cr\xc3\xa8me", "caf\xe9 cr\xe8me"}};
    const picture image = pattern(20, 10, false);
    for (const std::vector<std::string>& locale :
         std::vector<std::vector<std::string>>{{"LANG", "LC_ALL", "LC_CTYPE"},
                                               {"LANG=C", "LC_ALL", "LC_CTYPE"},
                                               {"LANG=C.UTF-8", "LC_ALL", "LC_CTYPE"}}) {
        for (const title_case& t : titles) {
            document_parts parts = untitled_bmp_document(image);
            parts.caption = to_bytes(t.caption);
            auto viewer = start({save("title.zub", write_document(parts))}, locale);
            const auto window = find_window(server_->display(), viewer->pid(), 20);
            ASSERT_TRUE(window) << ours(viewer->err());
            const std::string where = locale[0] + ": " + t.utf8;
            const auto net_name = x11::read_text_property(server_->display(), window->id, "_NET_WM_NAME");
            EXPECT_EQ(net_name.type, "UTF8_STRING") << where;
            EXPECT_EQ(net_name.bytes, t.utf8) << where;
            const auto name = x11::read_text_property(server_->display(), window->id, "WM_NAME");
            EXPECT_EQ(name.type, t.latin1.empty() ? "COMPOUND_TEXT" : "STRING") << where;
            EXPECT_EQ(name.text, t.utf8) << where;
            if (!t.latin1.empty()) {
                EXPECT_EQ(name.bytes, t.latin1) << where;
            }
            send_delete_window(server_->display(), window->id);
            EXPECT_EQ(viewer->wait_exit(10), 0) << where;
        }
    }
}

// zub-open runs the viewer in a working directory of its own, passes a quit request on
// to it and removes the directory, also when it was started with SIGCHLD ignored.
TEST_F(EndToEnd, OpenerPassesTheQuitOnAndLeavesNothingBehind) {
    const picture image = pattern(20, 10, false);
    const std::string name = save("opened.zub", write_document(untitled_bmp_document(image)));
    const std::filesystem::path runtime = dir_ / "runtime";
    std::filesystem::create_directory(runtime);
    const std::string ignoring_sigchld =
        "import signal, os, sys; signal.signal(signal.SIGCHLD, signal.SIG_IGN); os.execv(sys.argv[1], "
        "sys.argv[1:])";
    child_process opener(
        {"/usr/bin/python3", "-c", ignoring_sigchld, ZUB_OPEN, name},
        {"DISPLAY=" + server_->display(), "SDL_VIDEODRIVER", "XDG_RUNTIME_DIR=" + runtime.string()},
        dir_.string());
    // The viewer is zub-open's child.
    pid_t viewer = 0;
    ASSERT_TRUE(eventually(20, [&] {
        std::ifstream children("/proc/" + std::to_string(opener.pid()) + "/task/" +
                               std::to_string(opener.pid()) + "/children");
        return static_cast<bool>(children >> viewer);
    }));
    ASSERT_TRUE(find_window(server_->display(), viewer, 20)) << opener.err();
    EXPECT_EQ(opener_folders_in(runtime), 1U);
    kill(opener.pid(), SIGTERM);
    EXPECT_EQ(opener.wait_exit(10), 0) << opener.err();
    EXPECT_EQ(opener_folders_in(runtime), 0U);
}

TEST_F(EndToEnd, ImageLargerThanTheWindowIsClipped) {
    const picture image = pattern(90, 70, false);
    document_parts parts;
    parts.width = 50;
    parts.height = 40;
    parts.image = encode_jpeg(image, 100);
    // What the decoder makes of the JPEG is what must show, cut to the window.
    picture decoded;
    {
        const dummy_sdl sdl;
        SDL_Surface* d =
            IMG_Load_RW(SDL_RWFromConstMem(parts.image.data(), static_cast<int>(parts.image.size())), 1);
        ASSERT_NE(d, nullptr);
        decoded = read_back(d);
        SDL_FreeSurface(d);
    }
    picture expected = solid(50, 40, rgba{});
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 50; ++x) expected.at(x, y) = decoded.at(x, y);
    }
    auto viewer = start({save("big.zub", write_document(parts))});
    expect_window_then_close(*viewer, 50, 40, "", expected);
}

// With sound started (and then shut down, as it is never used), the window still closes.
TEST_F(EndToEnd, WindowClosesWhenSoundHasStarted) {
    const picture image = pattern(20, 10, false);
    auto viewer =
        start({save("sound.zub", write_document(untitled_bmp_document(image)))}, {"SDL_AUDIODRIVER=dummy"});
    // Closed as a user would: a while after the picture is up, once start-up is over.
    ASSERT_TRUE(find_window(server_->display(), viewer->pid(), 20)) << ours(viewer->err());
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    expect_window_then_close(*viewer, 20, 10, "", image);
}

// Nothing but the viewer's own lines (none, for a clean document) reaches stderr, on X11
// and on Wayland: the sound system is not started unless the user names an audio driver,
// even on a machine without a sound card, and no library speaks of the compose table.
TEST_F(EndToEnd, CleanDocumentStartsWithNothingOnStderr) {
    const picture image = pattern(48, 32, false);
    const std::string name = save("clean.zub", write_document(untitled_bmp_document(image)));
    auto viewer = start({name}, {"SDL_AUDIODRIVER"});
    expect_window_then_close(*viewer, 48, 32, "", image);
    EXPECT_EQ(viewer->err(), "") << "on X11";

    if (!on_sdl12_compat()) return;  // the classic library knows X11 alone
    const wayland_compositor compositor(server_->display());
    std::vector<std::string> env = compositor.environment();
    env.insert(env.end(), {"DISPLAY", "SDL_AUDIODRIVER"});
    auto on_wayland = start({name}, env);
    ASSERT_TRUE(shown_on(compositor, image)) << on_wayland->err();
    kill(on_wayland->pid(), SIGTERM);
    EXPECT_EQ(on_wayland->wait_exit(10), 0);
    EXPECT_EQ(on_wayland->err(), "") << "on Wayland";
}

TEST_F(EndToEnd, AudioThatCannotStartDoesNotStopTheDocument) {
    const picture image = pattern(20, 10, false);
    auto viewer = start({save("quiet.zub", write_document(untitled_bmp_document(image)))},
                        {"SDL_AUDIODRIVER=no-such-driver"});
    expect_window_then_close(*viewer, 20, 10, "", image);
}

TEST_F(EndToEnd, ImageThatDoesNotDecodeStillOpensTheWindowWithAWarning) {
    document_parts parts;
    parts.width = 30;
    parts.height = 20;
    parts.caption = to_bytes("Broken");
    parts.image = to_bytes("GIF89a but nothing after it");
    auto viewer = start({save("broken.zub", write_document(parts))});
    // The window is left as SDL opened it: black.
    expect_window_then_close(*viewer, 30, 20, "Broken", solid(30, 20, rgba{0, 0, 0, 255}));
    EXPECT_EQ(ours(viewer->err()).rfind("zub_reader: broken.zub: the image is not shown: ", 0), 0U)
        << ours(viewer->err());
    EXPECT_EQ(line_count(ours(viewer->err())), 1);
}

TEST_F(EndToEnd, IdleWindowSleepsUntilTheWindowSystemCalls) {
    document_parts parts;
    parts.width = 20;
    parts.height = 10;
    parts.image = encode_bmp(pattern(20, 10, false));
    auto viewer = start({save("idle.zub", write_document(parts))});
    const auto window = find_window(server_->display(), viewer->pid(), 20);
    ASSERT_TRUE(window);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double cpu_before = cpu_seconds(viewer->pid());
    const long woken_before = wake_ups(viewer->pid());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double used = cpu_seconds(viewer->pid()) - cpu_before;
    const long woken = wake_ups(viewer->pid()) - woken_before;
    // A polling loop takes the whole second; SDL's own wait wakes a hundred times in it
    // and its timer thread a thousand. Asleep in poll(), nothing wakes the viewer.
    EXPECT_LT(used, 0.05);
    EXPECT_LE(woken, 2);
    // A close request wakes it at once.
    send_delete_window(server_->display(), window->id);
    EXPECT_EQ(viewer->wait_exit(10), 0);
}

TEST_F(EndToEnd, WindowShownAgainAfterBeingHiddenHoldsItsPicture) {
    document_parts parts;
    parts.width = 40;
    parts.height = 30;
    parts.caption = to_bytes("Again");
    const picture image = pattern(40, 30, false);
    parts.image = encode_png(image, png_kind::rgb);
    auto viewer = start({save("again.zub", write_document(parts))});
    const auto window = find_window(server_->display(), viewer->pid(), 20);
    ASSERT_TRUE(window) << ours(viewer->err());
    // Without a compositor, the X server keeps nothing of a hidden window's pixels.
    ASSERT_TRUE(eventually(
        10, [&] { return capture_window(server_->display(), window->id, 40, 30).pixels == image.pixels; }));
    const std::string id = std::to_string(window->id);
    command_output("DISPLAY=" + server_->display() + " xdotool windowunmap --sync " + id +
                   " windowmap --sync " + id);
    expect_window_then_close(*viewer, 40, 30, "Again", image);
}

TEST_F(EndToEnd, OnWaylandTheWindowIsShownAndSleepsUntilTheCompositorCalls) {
    document_parts parts;
    parts.width = 48;
    parts.height = 32;
    parts.caption = to_bytes("On Wayland");
    const picture image = pattern(48, 32, false);
    parts.image = encode_png(image, png_kind::rgb);
    if (!on_sdl12_compat()) {
        // The classic library knows X11 alone.
        auto viewer =
            start({save("wayland.zub", write_document(parts))}, {"DISPLAY", "WAYLAND_DISPLAY=wayland-0"});
        EXPECT_EQ(viewer->wait_exit(20), 1);
        EXPECT_EQ(ours(viewer->err()),
                  "zub_reader: wayland.zub: cannot start the video: no display (DISPLAY is not set)\n");
        return;
    }
    const wayland_compositor compositor(server_->display());
    std::vector<std::string> env = compositor.environment();
    env.insert(env.end(), {"DISPLAY", "WAYLAND_DEBUG=client"});
    auto viewer = start({save("wayland.zub", write_document(parts))}, env);
    const std::optional<std::pair<int, int>> shown_at = shown_on(compositor, image);
    ASSERT_TRUE(shown_at) << ours(viewer->err());
    EXPECT_NE(viewer->err().find(".set_title(\"On Wayland\")"), std::string::npos);

    // SDL 1.2's own wait would wake a hundred times in a second.
    const auto expect_asleep = [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double cpu_before = cpu_seconds(viewer->pid());
        const long woken_before = wake_ups(viewer->pid());
        std::this_thread::sleep_for(std::chrono::seconds(1));
        EXPECT_LT(cpu_seconds(viewer->pid()) - cpu_before, 0.05);
        EXPECT_LE(wake_ups(viewer->pid()) - woken_before, 2);
    };
    expect_asleep();
    // The pointer moves onto the window: the compositor's events wake the viewer, which
    // reads them and sleeps again.
    const long woken_before_move = wake_ups(viewer->pid());
    move_pointer(compositor.output_window(), shown_at->first + 20, shown_at->second + 10);
    EXPECT_TRUE(eventually(10, [&] { return wake_ups(viewer->pid()) > woken_before_move; }))
        << "the pointer's events did not wake the viewer";
    expect_asleep();
    // weston cannot ask a window to close; SDL turns SIGTERM into the same quit request,
    // and it wakes the viewer at once.
    kill(viewer->pid(), SIGTERM);
    EXPECT_EQ(viewer->wait_exit(10), 0);
    EXPECT_EQ(ours(viewer->err()), "");
}

// A quit request (SIGTERM) that lands between the viewer's last look at its events and
// its sleep ends it all the same. A preloaded library sends one just before every sleep
// once the trigger file is there; the viewer is then woken once by pointer motion, on X11
// and, over SDL2, on Wayland.
TEST_F(EndToEnd, QuitRequestJustBeforeTheSleepEndsTheViewer) {
    const picture image = pattern(40, 30, false);
    const std::string name = save("gap.zub", write_document(untitled_bmp_document(image)));
    const std::string trigger = (dir_ / "quit-now").string();
    const std::string first = on_sdl12_compat() ? std::getenv("ZUB_TEST_SDL_PRELOAD") : ZUB_ASAN_RUNTIME;
    std::vector<std::string> env{"LD_PRELOAD=" + first + " " + ZUB_QUIT_GAP_SHIM,
                                 "ZUB_TEST_QUIT_TRIGGER=" + trigger};
    // The pointer is moved onto the window first, so that the one move after the trigger
    // is a motion, and the only event that wakes the viewer.
    const auto quit_in_the_gap = [&](child_process& viewer, unsigned long window, int x, int y) {
        move_pointer(window, x, y);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));  // asleep in its wait
        write_file(trigger, {});
        move_pointer(window, x + 1, y + 1);
        const std::optional<int> status = viewer.wait_exit(5);
        EXPECT_TRUE(status) << "still running 5 s after SIGTERM";
        EXPECT_EQ(status.value_or(0), 0) << viewer.err();
        std::filesystem::remove(trigger);
    };

    auto on_x11 = start({name}, env);
    const auto window = find_window(server_->display(), on_x11->pid(), 20);
    ASSERT_TRUE(window) << on_x11->err();
    quit_in_the_gap(*on_x11, window->id, 10, 10);

    if (!on_sdl12_compat()) return;  // the classic library knows X11 alone
    const wayland_compositor compositor(server_->display());
    const std::vector<std::string> wayland = compositor.environment();
    env.insert(env.end(), wayland.begin(), wayland.end());
    env.emplace_back("DISPLAY");
    auto on_wayland = start({name}, env);
    const std::optional<std::pair<int, int>> at = shown_on(compositor, image);
    ASSERT_TRUE(at) << on_wayland->err();
    quit_in_the_gap(*on_wayland, compositor.output_window(), at->first + 20, at->second + 10);
}

TEST_F(EndToEnd, TextIsShownAsTheInProcessCompositionDrawsIt) {
    document_parts parts;
    parts.width = 160;
    parts.height = 60;
    parts.bits_per_pixel = 32;
    parts.font_size = 16;
    parts.caption = to_bytes("With text");
    parts.image = encode_png(pattern(160, 60, false), png_kind::rgb);
    parts.records = {text_at(4, 2, 0, 0, 0, "Hello"), text_at(30, 25, 255, 255, 0, "caf\xE9 ZUB"),
                     text_at(-3, 45, 0, 0, 255, "clipped at the left")};
    const bytes file = write_document(parts);

    picture expected;
    {
        const dummy_sdl sdl;
        SDL_ShowCursor(SDL_DISABLE);
        SDL_Surface* s = SDL_SetVideoMode(160, 60, 32, 0);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(compose_document(parsed(file), s).empty());
        expected = read_back(s);
    }
    auto viewer = start({save("text.zub", file)});
    expect_window_then_close(*viewer, 160, 60, "With text", expected);
    EXPECT_EQ(ours(viewer->err()), "");
}

// A font that is missing, or that is not a regular file (a FIFO is not waited on, a
// device is not read), leaves the texts out with one warning.
TEST_F(EndToEnd, MissingFontShowsTheImageAndWarnsOnce) {
    const picture image = pattern(40, 20, false);
    document_parts parts;
    parts.width = 40;
    parts.height = 20;
    parts.image = encode_bmp(image);
    parts.records = {text_at(1, 1, 0, 0, 0, "One"), text_at(1, 8, 0, 0, 0, "Two")};
    const std::string font = (dir_ / "Consola.ttf").string();
    const std::string not_regular = "cannot read the font " + font + ": it is not a regular file";
    for (const auto& [stands_there, why] : std::vector<std::pair<std::string, std::string>>{
             {"", "cannot open the font " + font + ": No such file or directory"},
             {"fifo", not_regular},
             {"/dev/zero", not_regular}}) {
        std::filesystem::remove(font);
        if (stands_there == "fifo") {
            ASSERT_EQ(mkfifo(font.c_str(), 0600), 0);
        }
        if (stands_there == "/dev/zero") std::filesystem::create_symlink(stands_there, font);
        auto viewer = start({save("nofont.zub", write_document(parts))});
        expect_window_then_close(*viewer, 40, 20, "", image);
        EXPECT_EQ(ours(viewer->err()),
                  "zub_reader: nofont.zub: the texts are not drawn: " + why +
                      " (a TrueType font named Consola.ttf is expected in the working directory)\n");
    }
}

TEST_F(EndToEnd, DamagedRecordShowsTheRecordsBeforeIt) {
    document_parts parts;
    parts.width = 80;
    parts.height = 40;
    parts.font_size = 12;
    parts.image = encode_bmp(solid(80, 40, rgba{255, 255, 255, 255}));
    record_parts broken = text_at(0, 0, 0, 0, 0, "xyz");
    broken.text_length = 99;
    parts.records = {text_at(1, 1, 0, 0, 0, "One"), text_at(1, 20, 255, 0, 0, "Two"), broken};
    parts.record_count = 5;
    picture expected = solid(80, 40, rgba{255, 255, 255, 255});
    {
        const dummy_sdl sdl;
        overlay_text(expected, "One", 12, 1, 1, rgba{0, 0, 0, 255});
        overlay_text(expected, "Two", 12, 1, 20, rgba{255, 0, 0, 255});
    }
    auto viewer = start({save("doc.zub", write_document(parts))});
    expect_window_then_close(*viewer, 80, 40, "", expected);
    EXPECT_EQ(
        ours(viewer->err()),
        "zub_reader: doc.zub: damaged document: text record 3 of 5 runs past the end of the file; it and "
        "the rest are not drawn\n");
}

// A window with a side of 0 takes the desktop's size, known once SDL has started: the
// image's hand-back has room for what that window shows, not for the picture the image
// declares (a GiB here). A viewer beside the tests' taken composer, which says its room.
TEST_F(EndToEnd, DesktopSizedWindowHandsBackWhatItShows) {
    namespace fs = std::filesystem;
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    fs::copy_file(ZUB_READER, bin / "zub_reader");
    fs::copy_file(fs::path(ZUB_READER).parent_path() / "zub-window.so", bin / "zub-window.so");
    fs::create_symlink(ZUB_TAKEN_COMPOSER, bin / "zub-compose");
    save("zub-taken-order", to_bytes("image says-its-room"));
    document_parts parts;
    parts.width = 0;
    parts.height = 0;
    parts.image = tiny_png_declaring(16383, 16384);
    save("desktop.zub", write_document(parts));
    child_process viewer({(bin / "zub_reader").string(), "desktop.zub"},
                         {"DISPLAY=" + server_->display(), "SDL_VIDEODRIVER"}, dir_.string());
    const auto window = find_window(server_->display(), viewer.pid(), 20);
    ASSERT_TRUE(window) << "no window; stderr: " << ours(viewer.err());
    const std::string room =
        std::to_string(handback_header_bytes + std::size_t{4} * static_cast<std::size_t>(window->width) *
                                                   static_cast<std::size_t>(window->height));
    EXPECT_TRUE(eventually(10, [&] { return !ours(viewer.err()).empty(); }));
    send_delete_window(server_->display(), window->id);
    EXPECT_EQ(viewer.wait_exit(10), 0);
    EXPECT_EQ(ours(viewer.err()),
              "zub_reader: desktop.zub: the image is not shown: room for " + room + " bytes\n");
}

TEST_F(EndToEnd, AbsurdWindowIsRefusedBeforeTheWindowSystemSeesIt) {
    for (const std::int32_t side : {100000, 65536}) {
        document_parts parts;
        parts.width = side;
        parts.height = side;
        parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
        const ended run = run_to_end({save("huge.zub", write_document(parts))});
        EXPECT_EQ(run.status, 1);
        const std::string size = std::to_string(side);
        EXPECT_EQ(ours(run.err), "zub_reader: huge.zub: the window size " + size + "x" + size +
                                     " is too large (at most 16384 pixels a side)\n");
    }
}

TEST_F(EndToEnd, AbsurdImageAndPointSizeAreLeftOutAndTheRestShown) {
    document_parts parts;
    parts.width = 24;
    parts.height = 12;
    parts.font_size = 2147483647;
    parts.caption = to_bytes("Hostile");
    parts.image = tiny_png_declaring(60000, 60000);
    parts.records = {text_at(0, 0, 255, 255, 255, "Big")};
    auto viewer = start({save("hostile.zub", write_document(parts))});
    expect_window_then_close(*viewer, 24, 12, "Hostile", solid(24, 12, rgba{0, 0, 0, 255}));
    EXPECT_EQ(
        ours(viewer->err()),
        "zub_reader: hostile.zub: the image is not shown: the PNG image declares 60000x60000 pixels (at most "
        "16383 wide and 16384 tall)\n"
        "zub_reader: hostile.zub: the texts are not drawn: the point size 2147483647 is above 16384\n");
}

// Every input that once crashed or hung the image library is now handed to the confined
// decoder: the document is shown, the image is left out with one warning, and the
// window closes as any other. A window the viewer refuses ends the run before decoding.
TEST_F(EndToEnd, ImagesThatOnceCrashedOrHungTheDecoderAreShownWithoutThem) {
    for (const auto& entry : std::filesystem::directory_iterator(ZUB_REGRESSIONS)) {
        if (entry.path().extension() != ".zub") continue;
        const std::string name = entry.path().filename().string();
        std::filesystem::copy_file(entry.path(), dir_ / name);
        auto viewer = start({name});
        std::optional<window_info> window;
        const auto shown_by = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!window && viewer->running() && std::chrono::steady_clock::now() < shown_by) {
            window = find_window(server_->display(), viewer->pid(), 0.2);
        }
        if (!window) {
            EXPECT_EQ(viewer->wait_exit(10), 1) << name;
            const std::string err = ours(viewer->err());
            EXPECT_TRUE(err.find(": the window size ") != std::string::npos ||
                        err.find(": depth ") != std::string::npos ||
                        err.find(": cannot open a ") != std::string::npos)
                << name << ": " << err;
            EXPECT_EQ(line_count(err), 1) << name;
            continue;
        }
        // The warnings come before the one picture; the window is closed after it.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (ours(viewer->err()).find("the image is not shown: ") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const std::string err = ours(viewer->err());
        std::size_t image_lines = 0;
        for (std::size_t at = err.find(": the image is not shown: "); at != std::string::npos;
             at = err.find(": the image is not shown: ", at + 1)) {
            ++image_lines;
        }
        EXPECT_EQ(image_lines, 1U) << name << ": " << err;
        send_delete_window(server_->display(), window->id);
        EXPECT_EQ(viewer->wait_exit(10), 0) << name << ": " << viewer->err();
        EXPECT_EQ(viewer->out(), "") << name;
    }
}

// The viewer's window against `zub render` of the same document: equal at every depth.
// At depth 16 sdl12-compat widens each channel by repeating its high bits where the
// classic runtime, as `zub render`, leaves the low bits zero: up to 7 apart.
class ViewerMatchesRender : public EndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(ViewerMatchesRender, AtDepth) {
    const int depth = GetParam();
    document_parts parts;
    parts.width = 90;
    parts.height = 50;
    parts.bits_per_pixel = depth;
    parts.font_size = 15;
    parts.caption = to_bytes("Render");
    parts.image = encode_png(pattern(70, 40, false), png_kind::rgb);
    parts.records = {text_at(3, 2, 0, 0, 0, "Ink"), text_at(40, 20, 255, 255, 0, "caf\xE9"),
                     text_at(-5, 35, 200, 30, 90, "left edge")};
    const std::string name = save("render.zub", write_document(parts));

    // On sdl12-compat the window is held to the classic runtime's rendering as well: the
    // two runtimes may differ only within the depth's colour steps.
    std::vector<std::vector<std::string>> renderings{{}};
    if (on_sdl12_compat()) renderings.push_back({"LD_PRELOAD="});
    std::vector<picture> rendered;
    for (const auto& env : renderings) {
        child_process render({ZUB_TOOL, "render", name, "render.png"}, env, dir_.string());
        ASSERT_EQ(render.wait_exit(30), 0) << render.err();
        const dummy_sdl sdl;
        SDL_Surface* png = IMG_Load((dir_ / "render.png").c_str());
        ASSERT_NE(png, nullptr) << IMG_GetError();
        rendered.push_back(read_back(png));
        SDL_FreeSurface(png);
    }

    auto viewer = start({name});
    const auto window = find_window(server_->display(), viewer->pid(), 20);
    ASSERT_TRUE(window) << viewer->err();
    const int tolerance = on_sdl12_compat() && depth == 16 ? 7 : 0;
    int worst = 256;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (worst > tolerance && std::chrono::steady_clock::now() < deadline) {
        const picture shown = capture_window(server_->display(), window->id, 90, 50);
        worst = 0;
        for (const picture& expected : rendered) {
            for (std::size_t i = 0; i < shown.pixels.size(); ++i) {
                const rgba a = shown.pixels[i], b = expected.pixels[i];
                worst = std::max({worst, std::abs(a.r - b.r), std::abs(a.g - b.g), std::abs(a.b - b.b)});
            }
        }
        if (worst > tolerance) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_LE(worst, tolerance) << "the largest difference in a channel";
    send_delete_window(server_->display(), window->id);
    EXPECT_EQ(viewer->wait_exit(10), 0);
}

INSTANTIATE_TEST_SUITE_P(Depths, ViewerMatchesRender, ::testing::Values(32, 24, 0, 16, 8));

}  // namespace
}  // namespace zub::test
