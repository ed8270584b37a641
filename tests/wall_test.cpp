// The wall: a stage that a hostile image has taken over is stopped, its fate becomes one
// warning, the rest of the document is shown, nothing it tried happens, and what it
// hands back holds nothing of the caller's. A stand-in for a taken zub-compose
// (tests/taken_composer.cpp) does what each attack says once it is confined.
#include <SDL_image.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/sdl_fixture.hpp"
#include "view/compose.hpp"

namespace zub::test {
namespace {

constexpr const char* trace = "/tmp/zub-taken-was-here";

class Wall : public DummyScreen {
protected:
    void SetUp() override { set_composer_path(ZUB_TAKEN_COMPOSER); }
    void TearDown() override {
        set_composer_path(ZUB_COMPOSE);
        std::filesystem::remove(order_path());
        std::filesystem::remove(trace);
    }

    static std::string order_path() { return "/tmp/zub-taken-" + std::to_string(getpid()); }
    static void order(const std::string& stage, const std::string& attack) {
        std::ofstream(order_path()) << stage << ' ' << attack << '\n';
    }

    // A document whose image the decoder is given, and one text over it.
    static document_parts parts() {
        document_parts p;
        p.width = 40;
        p.height = 20;
        p.caption = to_bytes("caption-of-the-document");
        p.image = encode_png(pattern(40, 20, true), png_kind::rgb);
        p.records = {text_at(2, 2, 255, 255, 255, "Text")};
        return p;
    }

    // The screen of `p` composed with the real stages, and its warnings.
    static std::vector<std::uint32_t> composed(const document_parts& p) {
        set_composer_path(ZUB_COMPOSE);
        const bytes file = write_document(p);
        SDL_Surface* s = screen(p.width, p.height, 32);
        fill(s, rgba{0, 0, 0, 255});
        (void)compose_document(parsed(file), s);
        set_composer_path(ZUB_TAKEN_COMPOSER);
        return raw_pixels(s);
    }
};

TEST_F(Wall, TakenDecoderIsStoppedAndTheRestIsShown) {
    document_parts without_image = parts();
    without_image.image = to_bytes("not an image");
    const std::vector<std::uint32_t> expected = composed(without_image);
    const bytes file = write_document(parts());
    for (const auto& [attack, why] : std::vector<std::pair<std::string, std::string>>{
             {"opens-a-file", "the decoder tried a forbidden system call"},
             {"opens-a-socket", "the decoder tried a forbidden system call"},
             {"runs-a-program", "the decoder tried a forbidden system call"},
             {"writes-to-stdout", "the decoder tried a forbidden system call"},
             {"forks", "the decoder tried a forbidden system call"},
             {"shrinks-its-handback", "the decoder tried a forbidden system call"},
             {"grows-its-handback", "the decoder tried a forbidden system call"},
             {"stops-itself", "the decoder tried a forbidden system call"},
             {"catches-sigxcpu", "the decoder was stopped after 2 s"},
             {"loops-for-ever", "the decoder was stopped after 2 s"},
             {"allocates-without-end", "the decoder went over its memory limit"},
             {"writes-to-an-invalid-address", "the decoder crashed (signal 11)"},
             {"aborts", "the decoder crashed (signal 6)"}}) {
        order("image", attack);
        SDL_Surface* s = screen(40, 20, 32);
        fill(s, rgba{0, 0, 0, 255});
        EXPECT_EQ(describe_all(compose_document(parsed(file), s)),
                  std::vector<std::string>{"the image is not shown: " + why})
            << attack;
        EXPECT_EQ(raw_pixels(s), expected) << attack;
        EXPECT_FALSE(std::filesystem::exists(trace)) << attack;
    }
}

// A crash in one stage takes nothing of the other's with it.
TEST_F(Wall, TakenTextRendererLeavesTheImageShown) {
    document_parts without_texts = parts();
    without_texts.records.clear();
    const std::vector<std::uint32_t> expected = composed(without_texts);
    order("texts", "writes-to-an-invalid-address");
    SDL_Surface* s = screen(40, 20, 32);
    fill(s, rgba{0, 0, 0, 255});
    EXPECT_EQ(describe_all(compose_document(parsed(write_document(parts())), s)),
              std::vector<std::string>{
                  "the texts from record 1 on are not drawn: the text renderer crashed (signal 11)"});
    EXPECT_EQ(raw_pixels(s), expected);
}

// A taken text renderer that fills its whole layer with a text it was not given: the
// hand-back is refused with one warning before anything of it is painted, and the image
// is shown.
TEST_F(Wall, ALayerOfTextsNotGivenIsRefused) {
    document_parts without_texts = parts();
    without_texts.records.clear();
    const std::vector<std::uint32_t> expected = composed(without_texts);
    document_parts two = parts();
    two.records.push_back(text_at(9, 9, 255, 255, 255, "More"));
    order("texts", "fills-the-layer-past-its-texts");
    SDL_Surface* s = screen(40, 20, 32);
    fill(s, rgba{0, 0, 0, 255});
    EXPECT_EQ(
        describe_all(compose_document(parsed(write_document(two)), s)),
        std::vector<std::string>{"the texts from record 1 on are not drawn: the text renderer handed back "
                                 "a pixel of no text it was given"});
    EXPECT_EQ(raw_pixels(s), expected);
}

// The texts' layer is checked before a pixel of it is painted: its size, the part it says
// is drawn, and every value, which must be a text handed over that the stage drew, or one
// it had not finished when it was stopped (left out).
TEST(TextsHandback, LayerIsCheckedBeforeItIsPainted) {
    const texts_ask ask{4, 2, 12, true};
    const std::vector<text_to_render> asked{{1, 10, 20, 30, 0, 0, {}}, {2, 40, 50, 60, 0, 0, {}}};
    struct row {
        const char* name;
        std::function<void(texts_handback&, std::vector<text_entry>&, std::vector<std::uint16_t>&)> change;
        std::string refused;  // empty: accepted
        std::uint32_t most;   // of an accepted layer
    };
    const row rows[] = {
        {"as a stage lays it", [](auto&, auto&, auto&) {}, "", 2},
        {"stopped before its second text", [](auto& h, auto&, auto&) { h.entries_done = 1; }, "", 1},
        {"a value past the texts", [](auto&, auto&, auto& v) { v[5] = 3; }, "a pixel of no text it was given",
         0},
        {"a text it did not draw", [](auto&, auto& e, auto&) { e[1].outcome = text_outcome::outside; },
         "a pixel of text record 2, which it did not draw", 0},
        {"another size", [](auto& h, auto&, auto&) { h.layer_width = 8; }, "a layer of another size", 0},
        {"drawn past its side", [](auto& h, auto&, auto&) { h.drawn_right = 5; }, "texts outside its layer",
         0},
    };
    for (const row& r : rows) {
        texts_handback header{};
        header.report.progress = progress_done;
        header.font_opened = 1;
        header.entry_capacity = header.entries_done = 2;
        header.layer_width = 4;
        header.layer_height = 2;
        header.layer_value_bytes = 2;
        header.drawn_right = 4;
        header.drawn_bottom = 2;
        std::vector<text_entry> entries(2);
        for (std::uint32_t i = 0; i < 2; ++i) entries[i] = text_entry{i + 1, text_outcome::drawn, 4, 2, {}};
        std::vector<std::uint16_t> values{0, 1, 1, 2, 2, 2, 0, 0};
        r.change(header, entries, values);
        std::vector<std::uint8_t> handback(texts_handback_bytes(2, ask));
        std::memcpy(handback.data(), &header, sizeof header);
        std::memcpy(handback.data() + handback_header_bytes, entries.data(), 2 * sizeof(text_entry));
        std::memcpy(handback.data() + texts_layer_offset(2), values.data(), values.size() * 2);
        const result<checked_texts> read = read_texts_handback(handback, asked, ask);
        if (!r.refused.empty()) {
            ASSERT_FALSE(read) << r.name;
            EXPECT_EQ(read.why(), "the text renderer handed back " + r.refused) << r.name;
            continue;
        }
        ASSERT_TRUE(read) << r.name << ": " << read.why();
        ASSERT_EQ(read->layers.size(), 1U) << r.name;
        EXPECT_EQ(read->layers[0].most, r.most) << r.name;
        EXPECT_EQ(read->layers[0].colours.back().b, r.most == 2 ? 60 : 30) << r.name;
    }
}

// Each hand-back's memory goes once it is painted, while the composition is still held
// (the viewer holds it for its window's life).
TEST_F(Wall, HandBacksAreLetGoOncePainted) {
    set_composer_path(ZUB_COMPOSE);
    const bytes file = write_document(parts());
    const document doc = parsed(file);
    composition c = start_composition(doc, composing_ask{40, 20});
    EXPECT_TRUE(compose_document(doc, screen(40, 20, 32), c).empty());
    std::size_t held = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code gone;
        if (std::filesystem::read_symlink(fd.path(), gone).string().find("zub-compose") != std::string::npos)
            ++held;
    }
    EXPECT_EQ(held, 0U);
}

// A taken stage holds nothing of the caller's to copy into its picture: an empty
// environment, and of the document only the image's bytes.
TEST_F(Wall, TakenDecoderHoldsNothingOfTheCallers) {
    const std::string secret = "a-secret-of-the-callers-environment";
    ASSERT_EQ(setenv("ZUB_TEST_SECRET", secret.c_str(), 1), 0);
    document_parts p = parts();
    p.width = 256;
    p.height = 64;
    p.records = {text_at(2, 2, 255, 255, 255, "text-of-the-document")};
    const bytes file = write_document(p);
    order("image", "hands-back-what-it-holds");
    const document doc = parsed(file);
    const image_ask ask{256, 64};
    stage_job decoding = start_image_stage(doc.image, ask);
    const finished_image image = finish_image_stage(decoding, ask);
    unsetenv("ZUB_TEST_SECRET");
    ASSERT_TRUE(image.image) << image.image.why();
    const checked_picture& picture = image.image->picture;
    const std::string pixels(
        reinterpret_cast<const char*>(picture.pixels),
        static_cast<std::size_t>(picture.layout.pitch) * static_cast<std::size_t>(picture.layout.height));
    EXPECT_GT(pixels.size(), 4096U);
    EXPECT_NE(pixels.find("\x89PNG"), std::string::npos);  // the image, which it was given
    for (const std::string& held :
         {secret, std::string("caption-of-the-document"), std::string("text-of-the-document")})
        EXPECT_EQ(pixels.find(held), std::string::npos) << held;
}

// Where the wall cannot be built (a kernel without seccomp), nothing is decoded, and
// that is no fault of the document: an error, not a warning.
TEST_F(Wall, NoImageIsDecodedWhenTheWallCannotBeBuilt) {
    document_parts nothing_drawn = parts();
    nothing_drawn.image = to_bytes("not an image");
    nothing_drawn.records.clear();
    const std::vector<std::uint32_t> expected = composed(nothing_drawn);
    order("image", "has-no-seccomp");
    SDL_Surface* s = screen(40, 20, 32);
    fill(s, rgba{0, 0, 0, 255});
    const std::vector<problem> found = compose_document(parsed(write_document(parts())), s);
    ASSERT_EQ(found.size(), 1U);  // one line: the two stages of the run fail together
    EXPECT_EQ(severity_of(found[0].code), severity::error);
    EXPECT_EQ(describe(found[0]).rfind("the picture cannot be composed: the decoder cannot be confined: ", 0),
              0U)
        << describe(found[0]);
    EXPECT_EQ(raw_pixels(s), expected);
}

// Only an end the document caused leaves a part out with a warning. A signal another
// process sends (even one a fault would raise) and a composer that cannot be started are
// errors; a stage that refuses without a word is the stage's refusal, said as such (the
// font is not blamed for it).
TEST_F(Wall, EndsTheDocumentDidNotCauseAreErrors) {
    const bytes image = encode_png(pattern(8, 8, true), png_kind::rgb);
    const image_ask ask{8, 8};
    const auto stage_of = [](pid_t composer) {
        const std::string children =
            "/proc/" + std::to_string(composer) + "/task/" + std::to_string(composer) + "/children";
        for (int i = 0; i < 3000; ++i) {
            std::ifstream listed(children);
            pid_t stage = 0;
            if (listed >> stage) return stage;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pid_t{0};
    };
    for (const auto& [signal, words] :
         std::vector<std::pair<int, std::string>>{{SIGTERM, "signal 15 SIGTERM"},
                                                  {SIGSEGV, "signal 11 SIGSEGV"},
                                                  {SIGABRT, "signal 6 SIGABRT"},
                                                  {SIGKILL, "signal 9 SIGKILL"}}) {
        order("image", "loops-for-ever");
        stage_job job = start_image_stage(image, ask);
        ASSERT_TRUE(job.run);
        const pid_t stage = stage_of(job.run->pid);
        ASSERT_GT(stage, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // within its crash handler's reach
        ASSERT_EQ(kill(stage, signal), 0);
        const finished_image killed = finish_image_stage(job, ask);
        EXPECT_EQ(killed.error, "the decoder was killed by " + words + " from outside");
    }
    order("image", "fails-without-a-word");
    stage_job refusing = start_image_stage(image, ask);
    const finished_image refused = finish_image_stage(refusing, ask);
    EXPECT_EQ(refused.error, "");
    EXPECT_EQ(refused.image ? "" : refused.image.why(), "the decoder failed without saying why");
    order("texts", "fails-without-a-word");  // the font is not blamed
    EXPECT_EQ(describe_all(compose_document(parsed(write_document(parts())), screen(40, 20, 32))),
              std::vector<std::string>{
                  "the texts from record 1 on are not drawn: the text renderer failed without saying why"});

    set_composer_path("/nowhere/zub-compose");
    stage_job unstarted = start_image_stage(image, ask);
    EXPECT_EQ(finish_image_stage(unstarted, ask).error,
              "cannot start the decoder (/nowhere/zub-compose): No such file or directory");
}

TEST_F(Wall, UnfinishedStageIsKilledAndReaped) {
    order("image", "loops-for-ever");
    pid_t child = -1;
    {
        const stage_job job = start_image_stage(to_bytes("anything"), image_ask{});
        ASSERT_TRUE(job.run);
        child = job.run->pid;
        ASSERT_GT(child, 0);
    }
    EXPECT_EQ(kill(child, 0), -1);  // neither running nor a zombie
    EXPECT_EQ(errno, ESRCH);
}

// A caller that ignores SIGCHLD (a host program may) has its children reaped unseen:
// a stage's end is still told apart from a picture, and how it ended.
TEST_F(Wall, CallerThatIgnoresItsChildrenStillTellsACrashFromAPicture) {
    struct sigaction ignore {};
    struct sigaction before {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGCHLD, &ignore, &before), 0);
    order("image", "writes-to-an-invalid-address");
    const bytes image = encode_png(pattern(8, 8, true), png_kind::rgb);
    stage_job crashing = start_image_stage(image, image_ask{8, 8});
    const finished_image crashed = finish_image_stage(crashing, image_ask{8, 8});
    std::filesystem::remove(order_path());
    stage_job decoding = start_image_stage(image, image_ask{8, 8});
    const finished_image decoded = finish_image_stage(decoding, image_ask{8, 8});
    (void)sigaction(SIGCHLD, &before, nullptr);
    ASSERT_FALSE(crashed.image);
    EXPECT_EQ(crashed.image.why(), "the decoder crashed (signal 11)");
    EXPECT_TRUE(decoded.image) << decoded.image.why();
}

// An ILBM image, whose reader the viewer used to keep away from every file, is shown as
// the image library decodes it.
TEST_F(Wall, IlbmImageIsShownAsTheLibraryDecodesIt) {
    set_composer_path(ZUB_COMPOSE);
    const picture pic = pattern(32, 13, true);
    const bytes ilbm = encode_ilbm(pic);
    SDL_Surface* direct = IMG_Load_RW(SDL_RWFromConstMem(ilbm.data(), static_cast<int>(ilbm.size())), 1);
    ASSERT_NE(direct, nullptr) << IMG_GetError();
    const picture decoded = read_back(direct);
    SDL_FreeSurface(direct);
    EXPECT_EQ(decoded.pixels, pic.pixels);

    SDL_Surface* s = screen(32, 13, 32);
    EXPECT_TRUE(paint_image(ilbm, s).empty());
    EXPECT_TRUE(same_pixels(s, decoded));
}

}  // namespace
}  // namespace zub::test
