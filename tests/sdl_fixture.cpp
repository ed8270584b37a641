#include "tests/sdl_fixture.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

namespace zub::test {

dummy_sdl::dummy_sdl() : session(start_sdl(video_kind::in_memory)) {
    EXPECT_TRUE(session) << session.why();
    // The tests render texts themselves, to hold the stages' pictures against.
    EXPECT_EQ(TTF_Init(), 0) << TTF_GetError();
    set_composer_path(ZUB_COMPOSE);
}

dummy_sdl::~dummy_sdl() {
    if (TTF_WasInit() != 0) TTF_Quit();
}

std::vector<problem> paint_image(bytes_view image, SDL_Surface* screen) {
    const image_ask ask{screen->w, screen->h};
    stage_job decoding = start_image_stage(image, ask);
    return paint_background(finish_image_stage(decoding, ask), screen);
}

namespace {
std::unique_ptr<dummy_sdl> suite_sdl;
}

void DummyScreen::SetUpTestSuite() { suite_sdl = std::make_unique<dummy_sdl>(); }

void DummyScreen::TearDownTestSuite() { suite_sdl.reset(); }

SDL_Surface* DummyScreen::screen(int width, int height, int depth) {
    SDL_ShowCursor(SDL_DISABLE);
    SDL_Surface* s = SDL_SetVideoMode(width, height, depth, 0);
    EXPECT_NE(s, nullptr) << SDL_GetError();
    return s;
}

document parsed(const bytes& file) {
    document doc = parse_document(file);
    EXPECT_TRUE(doc.is_document);
    if (const problem* error = doc.error()) ADD_FAILURE() << describe(*error);
    return doc;
}

std::uint32_t raw_pixel(const SDL_Surface* surface, int x, int y) {
    const int bpp = surface->format->BytesPerPixel;
    const auto* at = static_cast<const std::uint8_t*>(surface->pixels) +
                     static_cast<std::ptrdiff_t>(y) * surface->pitch + static_cast<std::ptrdiff_t>(x) * bpp;
    std::uint32_t value = 0;
    if (bpp == 3) {
        value = std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8U |
                std::uint32_t{at[2]} << 16U;  // little-endian host
    } else {
        std::memcpy(&value, at, static_cast<std::size_t>(bpp));
    }
    return value;
}

std::vector<std::uint32_t> raw_pixels(const SDL_Surface* surface) {
    std::vector<std::uint32_t> out;
    for (int y = 0; y < surface->h; ++y) {
        for (int x = 0; x < surface->w; ++x) out.push_back(raw_pixel(surface, x, y));
    }
    return out;
}

std::uint32_t mapped(const SDL_Surface* surface, rgba colour) {
    return SDL_MapRGB(surface->format, colour.r, colour.g, colour.b);
}

void fill(SDL_Surface* surface, rgba colour) { SDL_FillRect(surface, nullptr, mapped(surface, colour)); }

::testing::AssertionResult same_pixels(const SDL_Surface* surface, const picture& expected) {
    if (surface->w != expected.width || surface->h != expected.height) {
        return ::testing::AssertionFailure() << "size " << surface->w << "x" << surface->h << ", expected "
                                             << expected.width << "x" << expected.height;
    }
    std::ostringstream diff;
    int wrong = 0;
    for (int y = 0; y < expected.height; ++y) {
        for (int x = 0; x < expected.width; ++x) {
            const std::uint32_t got = raw_pixel(surface, x, y);
            const rgba want = expected.at(x, y);
            if (got == mapped(surface, want)) continue;
            if (++wrong <= 5) {
                std::uint8_t r = 0, g = 0, b = 0;
                SDL_GetRGB(got, surface->format, &r, &g, &b);
                diff << " (" << x << "," << y << ") is " << int(r) << "," << int(g) << "," << int(b)
                     << " not " << int(want.r) << "," << int(want.g) << "," << int(want.b) << ";";
            }
        }
    }
    if (wrong == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong << " pixels differ:" << diff.str();
}

picture read_back(const SDL_Surface* surface) {
    picture pic = solid(surface->w, surface->h, rgba{});
    for (int y = 0; y < surface->h; ++y) {
        for (int x = 0; x < surface->w; ++x) {
            rgba& p = pic.at(x, y);
            SDL_GetRGB(raw_pixel(surface, x, y), surface->format, &p.r, &p.g, &p.b);
        }
    }
    return pic;
}

void overlay_text(picture& pic, const std::string& text, int font_size, int x, int y, rgba colour,
                  bool utf8) {
    TTF_Font* font = TTF_OpenFont("Consola.ttf", font_size);
    ASSERT_NE(font, nullptr) << TTF_GetError();
    const SDL_Color c{colour.r, colour.g, colour.b, 0};
    SDL_Surface* glyphs =
        utf8 ? TTF_RenderUTF8_Solid(font, text.c_str(), c) : TTF_RenderText_Solid(font, text.c_str(), c);
    TTF_CloseFont(font);
    ASSERT_NE(glyphs, nullptr) << TTF_GetError();
    ASSERT_EQ(glyphs->format->BytesPerPixel, 1);
    for (int j = 0; j < glyphs->h; ++j) {
        for (int i = 0; i < glyphs->w; ++i) {
            const int px = x + i, py = y + j;
            if (px < 0 || py < 0 || px >= pic.width || py >= pic.height) continue;
            if (raw_pixel(glyphs, i, j) != glyphs->format->colorkey) pic.at(px, py) = colour;
        }
    }
    SDL_FreeSurface(glyphs);
}

}  // namespace zub::test
