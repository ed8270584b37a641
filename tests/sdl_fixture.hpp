// In-process tests of the view: SDL's dummy video driver, screens checked pixel by pixel.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/document.hpp"
#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "view/compose.hpp"
#include "view/sdl_start.hpp"

namespace zub::test {

// SDL with the dummy video driver (the programs' own start), and SDL_ttf for the tests'
// own renderings, for as long as it lives; the stages are run from the build's
// zub-compose.
struct dummy_sdl {
    dummy_sdl();
    ~dummy_sdl();
    dummy_sdl(const dummy_sdl&) = delete;
    dummy_sdl& operator=(const dummy_sdl&) = delete;
    result<sdl_session> session;
};

// Decodes `image` behind the wall for the screen's size and paints it.
std::vector<problem> paint_image(bytes_view image, SDL_Surface* screen);

// Starts SDL with the dummy video driver and SDL_ttf once for a test suite.
class DummyScreen : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();

    // A screen of the given size and depth; SDL's software cursor is kept off it. The
    // dummy driver is only asked for depths it handles (0, 8, 16, 24, 32).
    static SDL_Surface* screen(int width, int height, int depth);
};

// The parsed document, whose views point into `file`; a test fails on a document with an
// error.
document parsed(const bytes& file);

std::uint32_t raw_pixel(const SDL_Surface* surface, int x, int y);
std::vector<std::uint32_t> raw_pixels(const SDL_Surface* surface);
std::uint32_t mapped(const SDL_Surface* surface, rgba colour);
void fill(SDL_Surface* surface, rgba colour);

// Every pixel of `surface` against `expected` mapped into the surface's format; the
// message names the first few that differ.
::testing::AssertionResult same_pixels(const SDL_Surface* surface, const picture& expected);

// The surface's pixels read back as colours.
picture read_back(const SDL_Surface* surface);

// Draws `text` rendered by SDL_ttf itself into `pic` with its top-left corner at (x, y),
// pixel by pixel, skipping what falls outside. `utf8` renders the text as UTF-8.
void overlay_text(picture& pic, const std::string& text, int font_size, int x, int y, rgba colour,
                  bool utf8 = false);

}  // namespace zub::test
