// The text overlays: each record in its colour, at its place, in file order, and the
// records and fonts that cannot be drawn.
#include <unistd.h>

#include <filesystem>

#include "tests/sdl_fixture.hpp"
#include "view/compose.hpp"

namespace zub::test {
namespace {

const rgba white{255, 255, 255, 255};
const rgba black{0, 0, 0, 255};
constexpr int size = 14;  // points

class Text : public DummyScreen {
protected:
    // Composes a white W x H document with `records` on a 32-bit screen.
    static std::vector<std::string> compose(int width, int height, std::vector<record_parts> records,
                                            std::int32_t font_size = size,
                                            std::optional<std::uint32_t> record_count = std::nullopt) {
        document_parts parts;
        parts.width = width;
        parts.height = height;
        parts.font_size = font_size;
        parts.image = encode_bmp(solid(width, height, white));
        parts.records = std::move(records);
        parts.record_count = record_count;
        const bytes file = write_document(parts);
        SDL_Surface* s = screen(width, height, 32);
        return describe_all(compose_document(parsed(file), s));
    }
    static SDL_Surface* shown() { return SDL_GetVideoSurface(); }
};

TEST_F(Text, ColoursAreExactBlackIncluded) {
    EXPECT_TRUE(
        compose(120, 40, {text_at(2, 1, 0, 0, 0, "Ink"), text_at(40, 12, 200, 30, 7, "Red")}).empty());
    picture expected = solid(120, 40, white);
    overlay_text(expected, "Ink", size, 2, 1, black);
    overlay_text(expected, "Red", size, 40, 12, {200, 30, 7, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
    EXPECT_NE(expected.pixels, solid(120, 40, white).pixels);  // the text did draw something
}

TEST_F(Text, SlotsAreReadByTheirLowBytesOnly) {
    record_parts rec = text_at(0, 0, 0, 0, 0, "Quirk");
    rec.red = 511;          // 255
    rec.green = 256;        // 0
    rec.blue = 0xABCD0040;  // 64
    rec.x = 0x3412FFFF;     // -1
    rec.y = 0xFFFF0005;     // 5
    EXPECT_TRUE(compose(80, 30, {rec}).empty());
    picture expected = solid(80, 30, white);
    overlay_text(expected, "Quirk", size, -1, 5, {255, 0, 64, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, PositionsOutsideTheWindowAreClipped) {
    EXPECT_TRUE(compose(60, 30,
                        {text_at(-6, -5, 0, 0, 255, "Edge"), text_at(50, 22, 0, 128, 0, "Corner"),
                         text_at(61, 0, 255, 0, 0, "Gone"), text_at(-32768, 32767, 255, 0, 0, "Far")})
                    .empty());
    picture expected = solid(60, 30, white);
    overlay_text(expected, "Edge", size, -6, -5, {0, 0, 255, 255});
    overlay_text(expected, "Corner", size, 50, 22, {0, 128, 0, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, LaterRecordsLieOnTop) {
    EXPECT_TRUE(
        compose(60, 30, {text_at(3, 3, 255, 0, 0, "XXXX"), text_at(5, 4, 0, 0, 255, "OOOO")}).empty());
    picture expected = solid(60, 30, white);
    overlay_text(expected, "XXXX", size, 3, 3, {255, 0, 0, 255});
    overlay_text(expected, "OOOO", size, 5, 4, {0, 0, 255, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, LongTextsAreCutAt255BytesAndTheNextRecordIsStillFound) {
    std::string whole(255, 'w');
    whole[254] = 'Z';
    std::string cut(300, 'c');
    cut[254] = 'Y';
    cut[255] = 'N';  // beyond the limit: never drawn
    EXPECT_TRUE(compose(2400, 60,
                        {text_at(0, 0, 0, 0, 0, whole), text_at(0, 20, 0, 0, 0, cut),
                         text_at(0, 40, 255, 0, 0, "after")})
                    .empty());
    picture expected = solid(2400, 60, white);
    overlay_text(expected, whole, size, 0, 0, black);
    overlay_text(expected, cut.substr(0, 255), size, 0, 20, black);
    overlay_text(expected, "after", size, 0, 40, {255, 0, 0, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, ZeroByteEndsTheTextAndTheNextRecordIsStillFound) {
    EXPECT_TRUE(
        compose(80, 40,
                {text_at(1, 1, 0, 0, 0, std::string("Top\0Hidden", 10)), text_at(1, 20, 0, 0, 255, "Next")})
            .empty());
    picture expected = solid(80, 40, white);
    overlay_text(expected, "Top", size, 1, 1, black);
    overlay_text(expected, "Next", size, 1, 20, {0, 0, 255, 255});
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, BytesAreLatin1) {
    EXPECT_TRUE(compose(60, 30, {text_at(2, 2, 0, 0, 0, "caf\xE9")}).empty());
    picture expected = solid(60, 30, white);
    overlay_text(expected, "caf\xC3\xA9", size, 2, 2, black, /*utf8=*/true);
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, EmptyTextsDrawNothingAndSayNothing) {
    record_parts zero_first = text_at(0, 0, 0, 0, 0, std::string("\0abc", 4));
    EXPECT_TRUE(
        compose(60, 30, {text_at(0, 0, 0, 0, 0, ""), zero_first, text_at(4, 4, 0, 0, 0, "End")}).empty());
    picture expected = solid(60, 30, white);
    overlay_text(expected, "End", size, 4, 4, black);
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, DamagedRecordEndsThePassAfterTheRecordsBeforeIt) {
    record_parts broken = text_at(0, 0, 0, 0, 0, "abc");
    broken.text_length = 1000;
    const auto warnings =
        compose(80, 40, {text_at(1, 1, 0, 0, 0, "One"), text_at(1, 20, 0, 0, 0, "Two"), broken}, size, 5);
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(
        warnings[0],
        "damaged document: text record 3 of 5 runs past the end of the file; it and the rest are not drawn");
    picture expected = solid(80, 40, white);
    overlay_text(expected, "One", size, 1, 1, black);
    overlay_text(expected, "Two", size, 1, 20, black);
    EXPECT_TRUE(same_pixels(shown(), expected));
}

TEST_F(Text, HugeRecordCountStopsAtTheFirstRecordThatIsNotThere) {
    const auto warnings = compose(40, 20, {text_at(1, 1, 0, 0, 0, "A")}, size, 4294967295U);
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(
        warnings[0],
        "damaged document: text record 2 of 4294967295 runs past the end of the file; it and the rest are "
        "not drawn");
}

// The pass opens the font once; drawing each record with a font of its own, as a naive
// pass would, gives the very same pixels: repeated texts, mixed characters, lengths and
// colours, texts that overlap and texts cut at the edges.
TEST_F(Text, OneFontForThePassDrawsWhatAFontPerRecordDraws) {
    const std::string texts[] = {"Hello",
                                 "caf\xE9 \xE0 la cr\xE8me",
                                 "Hello",
                                 "1234567890",
                                 "iiiWWW",
                                 "Hello",
                                 "~!@#$%^&*()_+{}|",
                                 "\xC0\xC9\xD6\xDC\xDF\xE6"};
    document_parts parts;
    parts.width = 240;
    parts.height = 100;
    parts.font_size = size;
    parts.image = encode_bmp(solid(240, 100, white));
    for (int i = 0; i < 40; ++i) {
        parts.records.push_back(text_at((i * 37) % 230 - 10, (i * 13) % 100 - 5,
                                        static_cast<std::uint8_t>(i * 70), static_cast<std::uint8_t>(i * 150),
                                        static_cast<std::uint8_t>(i * 230), texts[i % 8]));
    }
    const bytes file = write_document(parts);
    const document doc = parsed(file);
    SDL_Surface* s = screen(240, 100, 32);
    EXPECT_TRUE(compose_document(doc, s).empty());
    const std::vector<std::uint32_t> once = raw_pixels(s);

    // Each record as SDL_ttf draws it itself: the font opened, the text rendered in solid
    // mode and blitted whole at its place, the font closed.
    fill(s, white);
    for (const text_record& record : doc.records) {
        TTF_Font* font = TTF_OpenFont("Consola.ttf", size);
        ASSERT_NE(font, nullptr) << TTF_GetError();
        const std::string text(record.text.begin(), record.text.end());
        SDL_Surface* rendered =
            TTF_RenderText_Solid(font, text.c_str(), SDL_Color{record.red, record.green, record.blue, 0});
        ASSERT_NE(rendered, nullptr) << TTF_GetError();
        SDL_Rect at{record.x, record.y, 0, 0};
        EXPECT_EQ(SDL_UpperBlit(rendered, nullptr, s, &at), 0);
        SDL_FreeSurface(rendered);
        TTF_CloseFont(font);
    }
    EXPECT_EQ(raw_pixels(s), once);
}

// Many texts are split over several stages, each measuring the texts before its slice
// against the document's budget: any split draws the very pixels one stage draws, and
// says the same, with texts past the budget, narrow ones after them that still fit,
// empty ones and ones outside the window among them.
TEST_F(Text, TextsSplitOverStagesDrawWhatOneStageDraws) {
    document_parts ordinary;
    ordinary.width = 240;
    ordinary.height = 100;
    ordinary.font_size = size;
    ordinary.image = encode_bmp(solid(240, 100, white));
    for (int i = 0; i < 60; ++i) {
        ordinary.records.push_back(
            text_at((i * 37) % 300 - 30, (i * 13) % 120 - 10, static_cast<std::uint8_t>(i * 70),
                    static_cast<std::uint8_t>(i * 150), static_cast<std::uint8_t>(i * 230),
                    i % 9 == 0 ? "" : "record " + std::to_string(i)));
    }
    document_parts huge = ordinary;
    huge.width = 16;
    huge.height = 16;
    huge.font_size = 9000;
    huge.image = encode_bmp(solid(16, 16, white));
    huge.records.clear();
    for (const char* glyph : {"W", "i", "W", "W", "i", "", "W", "i", "i", ".", "W", "."})
        huge.records.push_back(text_at(huge.records.size() % 2 == 0 ? -2000 : 0, 0, 40, 80, 120, glyph));
    for (const document_parts& parts : {ordinary, huge}) {
        const bytes file = write_document(parts);
        const document doc = parsed(file);
        SDL_Surface* s = screen(parts.width, parts.height, 32);
        const auto composed = [&](int stages) {
            fill(s, white);
            composition c =
                start_composition(doc, composing_ask{parts.width, parts.height, true, true, false, stages});
            EXPECT_EQ(c.text_stages.size(), static_cast<std::size_t>(stages));
            return std::pair(describe_all(compose_document(doc, s, c)), raw_pixels(s));
        };
        const auto one = composed(1);
        for (const int stages : {2, 3, 5})
            EXPECT_EQ(composed(stages), one) << stages << " stages, " << parts.font_size << " points";
    }
}

// Runs a test body in a working directory of its own, and comes back.
class TextElsewhere : public Text {
protected:
    void SetUp() override {
        home_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() / ("zub-text-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(home_);
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path home_, dir_;
};

TEST_F(TextElsewhere, MissingFontLeavesTheImageAndWarnsOnce) {
    const auto warnings = compose(40, 20, {text_at(1, 1, 0, 0, 0, "A"), text_at(1, 5, 0, 0, 0, "B")});
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(warnings[0],
              "the texts are not drawn: cannot open the font " + (dir_ / "Consola.ttf").string() +
                  ": No such file or directory (a TrueType font named Consola.ttf is expected in "
                  "the working directory)");
    EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
}

// The warning gives the font library's own reason, read right after the call that
// failed: not an error an earlier step (the image's decoding) left behind.
TEST_F(TextElsewhere, FileThatIsNotAFontIsTreatedAsMissing) {
    write_file("Consola.ttf", to_bytes("not a font at all"));
    document_parts parts;
    parts.width = 40;
    parts.height = 20;
    parts.image = to_bytes("not an image either");
    parts.records = {text_at(1, 1, 0, 0, 0, "A"), text_at(1, 5, 0, 0, 0, "B")};
    const bytes file = write_document(parts);
    SDL_Surface* s = screen(40, 20, 32);
    fill(s, white);
    const auto warnings = describe_all(compose_document(parsed(file), s));
    ASSERT_EQ(warnings.size(), 2U);
    EXPECT_EQ(warnings[1],
              "the texts are not drawn: cannot open the font " + (dir_ / "Consola.ttf").string() +
                  ": Couldn't load font file (a TrueType font named Consola.ttf is expected in the "
                  "working directory)");
    EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
}

TEST_F(TextElsewhere, DocumentWithoutRecordsNeedsNoFont) {
    EXPECT_TRUE(compose(40, 20, {}).empty());
    EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
}

TEST_F(Text, PointSizeBelowOneDrawsNoTextAndWarnsOnce) {
    for (std::int32_t bad : {0, -1, -2147483647 - 1}) {
        const auto warnings =
            compose(40, 20, {text_at(1, 1, 0, 0, 0, "A"), text_at(1, 5, 0, 0, 0, "B")}, bad);
        ASSERT_EQ(warnings.size(), 1U);
        EXPECT_EQ(warnings[0],
                  "the texts are not drawn: the point size " + std::to_string(bad) + " is below 1");
        EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
    }
}

TEST_F(Text, HugePointSizeNeitherCrashesNorHangs) {
    compose(40, 20, {text_at(0, 0, 0, 0, 0, "Big")}, 2147483647);
    compose(40, 20, {text_at(0, 0, 0, 0, 0, "Big")}, 100000);
}

}  // namespace
}  // namespace zub::test

namespace zub::test {
namespace {

class HostileText : public Text {};

TEST_F(HostileText, PointSizeAboveTheBoundDrawsNoText) {
    const auto warnings = compose(40, 20, {text_at(1, 1, 0, 0, 0, "A")}, 2147483647);
    EXPECT_EQ(warnings,
              std::vector<std::string>{"the texts are not drawn: the point size 2147483647 is above 16384"});
    EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
}

// A few kilobytes that ask for hundreds of texts at 9000 points, each a different glyph
// or all the same: the texts stop at the document's budget of rendered pixels, and the
// rest of the picture is shown.
TEST_F(HostileText, HugeTextsStopAtTheDocumentsBudget) {
    for (const bool different : {true, false}) {
        std::vector<record_parts> records;
        for (int i = 0; i < 190; ++i) {
            const char glyph = different ? static_cast<char>(i < 94 ? 0x21 + i : 0xA1 + (i - 94) % 95) : 'W';
            records.push_back(text_at(0, 0, 0, 0, 0, std::string(1, glyph)));
        }
        EXPECT_EQ(compose(16, 16, records, 9000),
                  std::vector<std::string>{
                      "from text record 3 on, texts that pass the document's budget of 134217728 rendered "
                      "pixels are not drawn"})
            << (different ? "different glyphs" : "one glyph");
    }
}

TEST_F(HostileText, TextThatWouldCoverTooManyPixelsIsSkipped) {
    const auto warnings =
        compose(40, 20, {text_at(0, 0, 0, 0, 0, "WW"), text_at(0, 0, 0, 0, 0, "MM")}, 16384);
    EXPECT_EQ(warnings, std::vector<std::string>{
                            "text record 1 is not drawn: its text would cover more than 67108864 pixels"});
    EXPECT_TRUE(same_pixels(shown(), solid(40, 20, white)));
}

}  // namespace
}  // namespace zub::test
