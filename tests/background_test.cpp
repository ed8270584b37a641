// The window and its background: the image at the top-left corner, clipped and never
// scaled, at every depth, and the window's title.
#include <SDL_image.h>

#include "tests/sdl_fixture.hpp"
#include "view/compose.hpp"
#include "view/window.hpp"

namespace zub::test {
namespace {

const rgba backdrop{255, 0, 255, 255};  // what the screen holds before the document is painted

enum class format { png_rgb, png_rgba, png_palette, png_grey, jpeg, gif, bmp, ppm };

const char* name_of(format f) {
    switch (f) {
        case format::png_rgb:
            return "PngRgb";
        case format::png_rgba:
            return "PngRgba";
        case format::png_palette:
            return "PngPalette";
        case format::png_grey:
            return "PngGrey";
        case format::jpeg:
            return "Jpeg";
        case format::gif:
            return "Gif";
        case format::bmp:
            return "Bmp";
        case format::ppm:
            return "Ppm";
    }
    return "?";
}

// The image a test embeds, and the colours the viewer must show for it.
struct embedded_image {
    bytes file;
    picture shows;
};

embedded_image make_image(format f, int width, int height, bool vivid) {
    picture pic = pattern(width, height, vivid || f == format::png_palette || f == format::gif);
    switch (f) {
        case format::png_rgb:
            return {encode_png(pic, png_kind::rgb), pic};
        case format::png_rgba: {
            // Alpha is dropped: every pixel shows its colour, however transparent.
            picture translucent = pic;
            for (int i = 0; i < width * height; ++i)
                translucent.pixels[static_cast<std::size_t>(i)].a = static_cast<std::uint8_t>(i * 37);
            return {encode_png(translucent, png_kind::rgba), pic};
        }
        case format::png_palette:
            return {encode_png(pic, png_kind::palette), pic};
        case format::png_grey: {
            for (rgba& p : pic.pixels) p.g = p.b = p.r;
            return {encode_png(pic, png_kind::grey), pic};
        }
        case format::jpeg: {
            // Lossy: what the viewer must show is what the decoder makes of the bytes.
            bytes file = encode_jpeg(pic, 90);
            SDL_Surface* decoded =
                IMG_Load_RW(SDL_RWFromConstMem(file.data(), static_cast<int>(file.size())), 1);
            EXPECT_NE(decoded, nullptr) << IMG_GetError();
            picture shows = read_back(decoded);
            SDL_FreeSurface(decoded);
            return {file, shows};
        }
        case format::gif:
            return {encode_gif(pic), pic};
        case format::bmp:
            return {encode_bmp(pic), pic};
        case format::ppm:
            return {encode_ppm(pic), pic};
    }
    return {};
}

// The picture a window of the given size shows for `image` painted over `backdrop`.
picture expected_on(int width, int height, const picture& image) {
    picture out = solid(width, height, backdrop);
    for (int y = 0; y < std::min(height, image.height); ++y) {
        for (int x = 0; x < std::min(width, image.width); ++x) out.at(x, y) = image.at(x, y);
    }
    return out;
}

struct background_case {
    format image_format;
    int depth;
    int image_width, image_height;  // the window is 16 x 12
};

// The screen's pixels once the whole decoded image, converted as the classic viewer
// converted it (SDL_DisplayFormat), is blitted at its top-left corner over the backdrop;
// the screen is left filled with the backdrop again.
std::vector<std::uint32_t> converted_and_blitted(const bytes& image, SDL_Surface* s) {
    fill(s, backdrop);
    SDL_Surface* decoded = IMG_Load_RW(SDL_RWFromConstMem(image.data(), static_cast<int>(image.size())), 1);
    EXPECT_NE(decoded, nullptr) << IMG_GetError();
    SDL_Surface* converted = decoded != nullptr ? SDL_DisplayFormat(decoded) : nullptr;
    SDL_FreeSurface(decoded);
    EXPECT_NE(converted, nullptr);
    SDL_Rect origin{0, 0, 0, 0};
    if (converted != nullptr) SDL_UpperBlit(converted, nullptr, s, &origin);
    SDL_FreeSurface(converted);
    std::vector<std::uint32_t> pixels = raw_pixels(s);
    fill(s, backdrop);
    return pixels;
}

class BackgroundAtEveryDepth : public DummyScreen, public ::testing::WithParamInterface<background_case> {};

TEST_P(BackgroundAtEveryDepth, ImageIsPaintedAtTheTopLeftClippedNeverScaled) {
    const background_case c = GetParam();
    // Depth 0 gives the dummy driver's own depth: an 8-bit palette.
    const bool palette_screen = c.depth == 8 || c.depth == 0;
    const embedded_image image = make_image(c.image_format, c.image_width, c.image_height, palette_screen);

    document_parts parts;
    parts.width = 16;
    parts.height = 12;
    parts.bits_per_pixel = c.depth;
    parts.image = image.file;
    const bytes file = write_document(parts);
    const document doc = parsed(file);

    SDL_Surface* s = screen(16, 12, c.depth);
    ASSERT_NE(s, nullptr);
    fill(s, backdrop);
    const auto warnings = describe_all(compose_document(doc, s));
    EXPECT_TRUE(warnings.empty()) << warnings.front();
    picture shows = image.shows;
    if (palette_screen && c.image_format == format::jpeg) {
        // A true-colour image reaches an 8-bit screen through SDL's 3-3-2 colour cube.
        for (rgba& p : shows.pixels) {
            const SDL_Color q = s->format->palette->colors[(p.r >> 5U) << 5U | (p.g >> 5U) << 2U | p.b >> 6U];
            p = rgba{q.r, q.g, q.b, 255};
        }
    }
    EXPECT_TRUE(same_pixels(s, expected_on(16, 12, shows)));

    // The very pixels of converting the whole decoded image and blitting it.
    const std::vector<std::uint32_t> reference = converted_and_blitted(image.file, s);
    EXPECT_TRUE(paint_image(doc.image, s).empty());
    EXPECT_EQ(raw_pixels(s), reference);
}

std::vector<background_case> all_background_cases() {
    std::vector<background_case> cases;
    for (format f : {format::png_rgb, format::png_rgba, format::png_palette, format::png_grey, format::jpeg,
                     format::gif, format::bmp, format::ppm}) {
        for (int depth : {32, 24, 16, 8, 0}) {
            cases.push_back({f, depth, 10, 7});   // smaller than the window
            cases.push_back({f, depth, 16, 12});  // the window's size
            cases.push_back({f, depth, 23, 19});  // larger
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, BackgroundAtEveryDepth, ::testing::ValuesIn(all_background_cases()),
                         [](const ::testing::TestParamInfo<background_case>& param_info) {
                             const background_case& c = param_info.param;
                             return std::string(name_of(c.image_format)) + "Depth" + std::to_string(c.depth) +
                                    "Image" + std::to_string(c.image_width) + "x" +
                                    std::to_string(c.image_height);
                         });

using Background = DummyScreen;

TEST_F(Background, TransparentGifPaintsAsTheWholeConvertedImageAtEveryDepth) {
    picture pic = pattern(30, 20, true);
    const rgba key{10, 20, 30, 255};
    // A key colour next to a shown colour that 16 and 8 bits cannot tell apart.
    for (int x = 0; x < 30; ++x) pic.at(x, 5) = x % 2 == 0 ? key : rgba{12, 20, 30, 255};
    const bytes gif = encode_gif(pic, key);
    for (int depth : {32, 24, 16, 8, 0}) {
        for (const auto& [w, h] : std::vector<std::pair<int, int>>{{20, 10}, {30, 20}, {40, 30}}) {
            SDL_Surface* s = screen(w, h, depth);
            const std::vector<std::uint32_t> reference = converted_and_blitted(gif, s);
            EXPECT_TRUE(paint_image(gif, s).empty());
            EXPECT_EQ(raw_pixels(s), reference) << "depth " << depth << ", window " << w << "x" << h;
        }
    }
}

// A grey PNG with a transparent grey, which SDL_image gives as a 16-bit surface of grey
// and alpha bytes with 24-bit masks, paints as SDL 1.2 converts that very surface.
TEST_F(Background, GreyPngWithATransparentGreyPaintsAsTheWholeConvertedImage) {
    picture pic = pattern(24, 16, false);
    for (int x = 0; x < 24; ++x) {
        pic.at(x, 3) = rgba{0, 0, 0, 255};
        pic.at(x, 4) = rgba{128, 128, 128, 255};
        pic.at(x, 5) = rgba{255, 255, 255, 255};
    }
    for (const int key : {0, 128, 255}) {
        const bytes png = encode_png(pic, png_kind::grey, key);
        SDL_Surface* decoded = IMG_Load_RW(SDL_RWFromConstMem(png.data(), static_cast<int>(png.size())), 1);
        ASSERT_NE(decoded, nullptr);
        EXPECT_EQ(decoded->format->BitsPerPixel, 16);  // the surface the viewer must show as SDL converts it
        SDL_FreeSurface(decoded);
        for (int depth : {32, 24, 16, 8}) {
            SDL_Surface* s = screen(24, 16, depth);
            const std::vector<std::uint32_t> reference = converted_and_blitted(png, s);
            EXPECT_TRUE(paint_image(png, s).empty()) << "key " << key;
            EXPECT_EQ(raw_pixels(s), reference) << "key " << key << ", depth " << depth;
        }
    }
}

TEST_F(Background, TransparentColourOfAGifLeavesTheScreenAsItWas) {
    picture pic = pattern(12, 9, true);
    const rgba see_through{10, 20, 30, 255};
    for (int y = 2; y < 6; ++y) {
        for (int x = 3; x < 8; ++x) pic.at(x, y) = see_through;
    }
    document_parts parts;
    parts.width = 12;
    parts.height = 9;
    parts.image = encode_gif(pic, see_through);
    const bytes file = write_document(parts);

    SDL_Surface* s = screen(12, 9, 32);
    fill(s, backdrop);
    EXPECT_TRUE(compose_document(parsed(file), s).empty());
    picture expected = pic;
    for (rgba& p : expected.pixels) {
        if (p == see_through) p = backdrop;
    }
    EXPECT_TRUE(same_pixels(s, expected));
}

TEST_F(Background, ImageThatDoesNotDecodeLeavesTheScreenAndWarns) {
    document_parts parts;
    parts.image = to_bytes("this is not an image");
    const bytes file = write_document(parts);
    SDL_Surface* s = screen(16, 16, 32);
    fill(s, backdrop);
    const auto warnings = describe_all(compose_document(parsed(file), s));
    ASSERT_EQ(warnings.size(), 1U);
    EXPECT_EQ(warnings[0].rfind("the image is not shown: ", 0), 0U) << warnings[0];
    EXPECT_TRUE(same_pixels(s, solid(16, 16, backdrop)));
}

// A PNG whose chunk runs past the image's end is refused at once: read there, it used to
// find the chunk it read last still in the library's buffer, and read it again until the
// CPU limit stopped the decoder.
TEST_F(Background, PngChunkPastTheEndIsRefusedAtOnce) {
    document_parts parts;
    const bytes png = encode_png(pattern(16, 16, false), png_kind::rgb);
    parts.image.assign(png.begin(), png.begin() + 33);  // the signature and the header chunk
    for (const int b : {0, 0, 0, 0xB8, 0x74, 0x52, 0x4E, 0x53, 1, 2, 3, 4})
        parts.image.push_back(static_cast<std::uint8_t>(b));  // tRNS, 184 bytes
    SDL_Surface* s = screen(16, 16, 32);
    fill(s, backdrop);
    EXPECT_EQ(describe_all(compose_document(parsed(write_document(parts)), s)),
              std::vector<std::string>{"the image is not shown: Error reading the PNG file."});
    EXPECT_TRUE(same_pixels(s, solid(16, 16, backdrop)));
}

TEST_F(Background, EmptyImageSectionWarnsAndDrawsNothing) {
    const bytes file = write_document(document_parts{});
    SDL_Surface* s = screen(16, 16, 32);
    fill(s, backdrop);
    EXPECT_EQ(describe_all(compose_document(parsed(file), s)).size(), 1U);
    EXPECT_TRUE(same_pixels(s, solid(16, 16, backdrop)));
}

// The window's title, as the window system is given it.
class Title : public DummyScreen {
protected:
    static std::string title_for(const document_parts& parts) {
        const bytes file = write_document(parts);
        const auto window = open_window(request_for(parsed(file)));
        EXPECT_TRUE(static_cast<bool>(window));
        char* title = nullptr;
        char* icon = nullptr;
        SDL_WM_GetCaption(&title, &icon);
        return title == nullptr ? "(none)" : title;
    }
};

TEST_F(Title, IsTheCaptionUpToItsFirstZeroByteAndAtMost255Bytes) {
    document_parts parts;
    parts.caption = bytes(255, 'c');
    EXPECT_EQ(title_for(parts), std::string(255, 'c'));

    parts.caption = to_bytes(std::string("before\0after", 12));
    EXPECT_EQ(title_for(parts), "before");

    parts.caption = {};
    EXPECT_EQ(title_for(parts), "");

    parts.caption = to_bytes("Caf\xC3\xA9");  // bytes go to the window system unchanged
    EXPECT_EQ(title_for(parts), "Caf\xC3\xA9");
}

TEST_F(Title, LongCaptionIsCutAndTheImageIsStillFoundAfterIt) {
    document_parts parts;
    parts.width = 8;
    parts.height = 8;
    for (int i = 0; i < 300; ++i) parts.caption.push_back(static_cast<std::uint8_t>('a' + i % 26));
    const picture pic = pattern(8, 8, false);
    parts.image = encode_png(pic, png_kind::rgb);
    EXPECT_EQ(title_for(parts), std::string(parts.caption.begin(), parts.caption.begin() + 255));

    const bytes file = write_document(parts);
    SDL_Surface* s = SDL_GetVideoSurface();
    EXPECT_TRUE(compose_document(parsed(file), s).empty());
    EXPECT_TRUE(same_pixels(s, pic));
}

TEST_F(Title, WindowHasTheDocumentsSizeAndDepth) {
    document_parts parts;
    parts.width = 37;
    parts.height = 21;
    parts.bits_per_pixel = 16;
    const bytes file = write_document(parts);
    const auto window = open_window(request_for(parsed(file)));
    ASSERT_TRUE(static_cast<bool>(window));
    const SDL_Surface* s = *window;
    EXPECT_EQ(s->w, 37);
    EXPECT_EQ(s->h, 21);
    EXPECT_EQ(s->format->BitsPerPixel, 16);
}

TEST_F(Title, WindowWithANegativeSideIsRefusedBeforeSdlIsAsked) {
    document_parts parts;
    parts.width = -1;
    const bytes file = write_document(parts);
    const auto window = open_window(request_for(parse_document(file)));
    ASSERT_TRUE(!window);
    EXPECT_EQ(window.why(), "the window size -1x16 has a negative side");
}

}  // namespace
}  // namespace zub::test

namespace zub::test {
namespace {

// Headers that declare far more pixels than any file of their size could hold.
class HostileImages : public DummyScreen {};

TEST_F(HostileImages, AbsurdDeclaredSizeIsNotDecoded) {
    const bytes gif_65535 = to_bytes(
        std::string("GIF89a\xFF\xFF\xFF\xFF\0\0\0\x2C\0\0\0\0\xFF\xFF\xFF\xFF\0\x08\x02\0\0\x3B", 26));
    const bytes gif_zero_width =
        to_bytes(std::string("GIF89a\x05\0\x05\0\0\0\0\0\x2C\0\0\0\0\0\0\x05\0\0\x08\x02\0\0\x3B", 27));
    for (const auto& [image, warning] : std::vector<std::pair<bytes, std::string>>{
             {tiny_png_declaring(60000, 60000),
              "the image is not shown: the PNG image declares 60000x60000 pixels (at most 16383 wide and "
              "16384 tall)"},
             // The image library crashes on a GIF frame this wide instead of failing.
             {gif_65535,
              "the image is not shown: the GIF image declares 65535x65535 pixels (at most 16383 wide and "
              "16384 tall)"},
             // Nor can it take a frame without pixels.
             {gif_zero_width,
              "the image is not shown: the GIF image declares 0x5 pixels (it has none to show)"}}) {
        document_parts parts;
        parts.image = image;
        const bytes file = write_document(parts);
        SDL_Surface* s = screen(16, 16, 32);
        fill(s, rgba{1, 2, 3, 255});
        EXPECT_EQ(describe_all(compose_document(parsed(file), s)), std::vector<std::string>{warning});
        EXPECT_TRUE(same_pixels(s, solid(16, 16, rgba{1, 2, 3, 255})));
    }
}

// Each bound at its edge, through the composition the fuzz target runs (whose windows
// are clamped small for speed): window sides and row bytes, declared image sizes and
// point sizes.
TEST_F(HostileImages, BoundsHoldAtTheirEdges) {
    struct window_case {
        std::int32_t width, height, depth;
        std::string refusal;  // empty: the window opens and the image shows whole
    };
    for (const window_case& c : std::vector<window_case>{
             {16383, 1, 24, ""},
             {16383, 4, 32, ""},
             {16383, 4, 24, ""},
             {16385, 1, 8, "the window size 16385x1 is too large (at most 16384 pixels a side)"},
             {10, 65536, 8, "the window size 10x65536 is too large (at most 16384 pixels a side)"},
             {16384, 4, 24,
              "the window's rows would be 65536 bytes on the display, which keeps 4 a pixel at any depth "
              "(SDL keeps at most 65535)"}}) {
        const result<SDL_Surface*> window = open_window(window_request{c.width, c.height, c.depth, {}});
        if (!c.refusal.empty()) {
            ASSERT_FALSE(window) << c.width << "x" << c.height;
            EXPECT_EQ(window.why(), c.refusal);
            continue;
        }
        ASSERT_TRUE(window) << window.why();
        // Every row is its own: a picture as tall as the window lands row by row.
        const picture pic = pattern(6, std::min(c.height, 4), true);
        document_parts parts;
        parts.width = c.width;
        parts.height = c.height;
        parts.bits_per_pixel = c.depth;
        parts.image = encode_bmp(pic);
        const bytes file = write_document(parts);
        fill(*window, backdrop);
        EXPECT_TRUE(compose_document(parsed(file), *window).empty());
        for (int y = 0; y < pic.height; ++y) {
            for (int x = 0; x < pic.width; ++x)
                EXPECT_EQ(raw_pixel(*window, x, y), mapped(*window, pic.at(x, y)));
        }
        EXPECT_EQ(raw_pixel(*window, c.width - 1, c.height - 1), mapped(*window, backdrop));
    }

    SDL_Surface* s = screen(16, 16, 32);
    for (const auto& [declared, warning] : std::vector<std::pair<bytes, std::string>>{
             {tiny_png_declaring(16383, 1), ""},  // within the bound: the decoder's own verdict
             {tiny_png_declaring(1, 16384), ""},
             // SDL 1.2 holds no picture this wide: refused by its size, not "Out of memory"
             {tiny_png_declaring(16384, 1),
              "the PNG image declares 16384x1 pixels (at most 16383 wide and 16384 tall)"},
             {tiny_png_declaring(1, 16385),
              "the PNG image declares 1x16385 pixels (at most 16383 wide and 16384 tall)"}}) {
        document_parts parts;
        parts.image = declared;
        const bytes file = write_document(parts);
        const auto warnings = describe_all(compose_document(parsed(file), s));
        ASSERT_EQ(warnings.size(), 1U);
        if (warning.empty()) {
            EXPECT_EQ(warnings[0].find("declares"), std::string::npos) << warnings[0];
        } else {
            EXPECT_EQ(warnings[0], "the image is not shown: " + warning);
        }
    }

    for (const auto& [points, warning] : std::vector<std::pair<std::int32_t, std::string>>{
             {1, ""},
             {0, "the texts are not drawn: the point size 0 is below 1"},
             {16384, "text record 1 is not drawn: its text would cover more than 67108864 pixels"},
             {16385, "the texts are not drawn: the point size 16385 is above 16384"}}) {
        document_parts parts;
        parts.font_size = points;
        parts.image = encode_bmp(solid(16, 16, backdrop));
        parts.records = {text_at(0, 0, 0, 0, 0, "WW")};
        const bytes file = write_document(parts);
        const auto warnings = describe_all(compose_document(parsed(file), s));
        EXPECT_EQ(warnings, warning.empty() ? std::vector<std::string>{} : std::vector<std::string>{warning});
    }
}

}  // namespace
}  // namespace zub::test
