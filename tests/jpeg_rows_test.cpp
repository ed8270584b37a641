// A JPEG decoded down to the last row a window shows gives, for those rows, the very bytes
// SDL_image gives for the whole picture, on every kind of JPEG libjpeg writes; and a file
// fails or loads as it does in SDL_image.
#include <SDL_image.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "tests/sdl_fixture.hpp"
#include "wall/jpeg_rows.hpp"

namespace zub::test {
namespace {

// How a corpus image is written.
struct jpeg_kind {
    const char* name;
    int width, height;
    int components;              // 1 grey, 3 RGB (stored as YCbCr), 4 CMYK or YCCK
    int h_sampling, v_sampling;  // of the first component; the others 1x1
    bool progressive = false;
    int restart_rows = 0;
    bool arithmetic = false;
    bool optimize = false;
    J_COLOR_SPACE stored = JCS_UNKNOWN;  // the file's colour space when not libjpeg's default
};

bytes write_jpeg(const jpeg_kind& kind) {
    jpeg_compress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&info, &buffer, &size);
    info.image_width = static_cast<JDIMENSION>(kind.width);
    info.image_height = static_cast<JDIMENSION>(kind.height);
    info.input_components = kind.components;
    info.in_color_space = kind.components == 1 ? JCS_GRAYSCALE : kind.components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    if (kind.stored != JCS_UNKNOWN) jpeg_set_colorspace(&info, kind.stored);
    jpeg_set_quality(&info, 85, TRUE);
    info.comp_info[0].h_samp_factor = kind.h_sampling;
    info.comp_info[0].v_samp_factor = kind.v_sampling;
    if (kind.progressive) jpeg_simple_progression(&info);
    info.restart_in_rows = kind.restart_rows;
    info.arith_code = kind.arithmetic ? TRUE : FALSE;
    info.optimize_coding = kind.optimize ? TRUE : FALSE;
    jpeg_start_compress(&info, TRUE);
    const picture pic = pattern(kind.width, kind.height, false);
    std::vector<JSAMPLE> row(static_cast<std::size_t>(kind.width * kind.components));
    while (info.next_scanline < info.image_height) {
        const int y = static_cast<int>(info.next_scanline);
        for (int x = 0; x < kind.width; ++x) {
            const rgba p = pic.at(x, y);
            const std::uint8_t values[4] = {p.r, p.g, p.b, static_cast<std::uint8_t>(x * 7 + y)};
            const auto at = static_cast<std::size_t>(x) * static_cast<std::size_t>(kind.components);
            for (int c = 0; c < kind.components; ++c) {
                row[at + static_cast<std::size_t>(c)] = kind.components == 1 ? p.g : values[c];
            }
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    bytes out(buffer, buffer + size);
    jpeg_destroy_compress(&info);
    std::free(buffer);  // NOLINT(cppcoreguidelines-no-malloc): libjpeg's buffer
    return out;
}

SDL_Surface* load_whole(const bytes& file) {
    return IMG_Load_RW(SDL_RWFromConstMem(file.data(), static_cast<int>(file.size())), 1);
}

// The top `rows` rows (of the `columns` on the left, or all) against SDL_image's whole
// picture: format, size and bytes.
void expect_same_top(const bytes& file, int rows, const std::string& what, int columns = 0) {
    SDL_Surface* whole = load_whole(file);
    ASSERT_NE(whole, nullptr) << what << ": " << IMG_GetError();
    const jpeg_top top = decode_jpeg_top(file, rows, columns);
    ASSERT_TRUE(top.rows) << what << ": " << SDL_GetError();
    EXPECT_EQ(top.width, whole->w) << what;
    EXPECT_EQ(top.height, whole->h) << what;
    const SDL_PixelFormat* a = top.rows->format;
    const SDL_PixelFormat* b = whole->format;
    EXPECT_EQ(a->BitsPerPixel, b->BitsPerPixel) << what;
    EXPECT_EQ(std::vector<Uint32>({a->Rmask, a->Gmask, a->Bmask, a->Amask}),
              std::vector<Uint32>({b->Rmask, b->Gmask, b->Bmask, b->Amask}))
        << what;
    const int shown = columns > 0 ? std::min(columns, whole->w) : whole->w;
    if (columns > 0) {
        EXPECT_GE(top.rows->w, shown) << what;
        // What lies well right of the window is not decoded.
        if (columns + 64 < whole->w) {
            EXPECT_LT(top.rows->w, whole->w) << what;
        }
    } else {
        EXPECT_EQ(top.rows->w, whole->w) << what;
    }
    ASSERT_EQ(top.rows->h, std::min(std::max(rows, 1), whole->h)) << what;
    const auto row_bytes = static_cast<std::size_t>(shown) * b->BytesPerPixel;
    for (int y = 0; y < top.rows->h; ++y) {
        const auto* got = static_cast<const std::uint8_t*>(top.rows->pixels) +
                          std::size_t{top.rows->pitch} * static_cast<std::size_t>(y);
        const auto* want = static_cast<const std::uint8_t*>(whole->pixels) +
                           std::size_t{whole->pitch} * static_cast<std::size_t>(y);
        if (std::memcmp(got, want, row_bytes) != 0) {
            ADD_FAILURE() << what << ": row " << y << " differs";
            break;
        }
    }
    SDL_FreeSurface(whole);
}

class JpegRows : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sdl_ = new dummy_sdl(); }
    static void TearDownTestSuite() {
        delete sdl_;
        sdl_ = nullptr;
    }
    static dummy_sdl* sdl_;
};
dummy_sdl* JpegRows::sdl_ = nullptr;

TEST_F(JpegRows, TopRowsAreTheLibrarysOwnOnEveryKindOfJpeg) {
    const std::vector<jpeg_kind> corpus = {
        {"baseline 4:2:0", 75, 61, 3, 2, 2},
        {"baseline 4:4:4", 75, 61, 3, 1, 1},
        {"baseline 4:2:2", 75, 61, 3, 2, 1},
        {"baseline 4:4:0", 75, 61, 3, 1, 2},
        {"baseline 4:1:1", 75, 61, 3, 4, 1},
        {"progressive 4:2:0", 75, 61, 3, 2, 2, true},
        {"progressive 4:4:4", 64, 64, 3, 1, 1, true},
        {"restart markers every row", 75, 61, 3, 2, 2, false, 1},
        {"progressive with restart markers", 75, 61, 3, 2, 2, true, 2},
        {"arithmetic coding", 75, 61, 3, 2, 2, false, 0, true},
        {"optimised Huffman tables", 75, 61, 3, 2, 2, false, 0, false, true},
        {"grey", 75, 61, 1, 1, 1},
        {"grey progressive", 75, 61, 1, 1, 1, true},
        {"CMYK", 75, 61, 4, 1, 1},
        {"YCCK 4:2:0", 75, 61, 4, 2, 2, false, 0, false, false, JCS_YCCK},
        {"one pixel", 1, 1, 3, 2, 2},
        {"one column", 1, 70, 3, 2, 2},
        {"wide 4:2:0", 1203, 45, 3, 2, 2},
        {"wide progressive 4:2:2", 611, 37, 3, 2, 1, true},
        {"wide 4:1:1", 517, 23, 3, 4, 1},
    };
    for (const jpeg_kind& kind : corpus) {
        const bytes file = write_jpeg(kind);
        ASSERT_TRUE(library_takes_as_jpeg(file)) << kind.name;
        for (const int rows :
             {1, 7, 8, 9, 15, 16, 17, 31, kind.height / 2, kind.height - 1, kind.height, kind.height + 9}) {
            expect_same_top(file, rows, std::string(kind.name) + ", " + std::to_string(rows) + " rows");
        }
        // Cut to a window narrower than the picture: the columns shown are the same.
        for (const int columns :
             {1, 7, 8, 9, 15, 16, 17, 31, 33, 47, 63, 65, kind.width / 2, kind.width - 33, kind.width - 1}) {
            if (columns < 1) continue;
            expect_same_top(file, kind.height / 2 + 1,
                            std::string(kind.name) + ", " + std::to_string(columns) + " columns", columns);
        }
    }
}

// A picture wider than SDL 1.2 makes one (16383 pixels) is refused whatever the window:
// also when it shows only a few of its columns.
TEST_F(JpegRows, RowTooLongForSdlIsRefusedHoweverFewColumnsAreShown) {
    const bytes file = write_jpeg({"CMYK, 16384 wide", 16384, 2, 4, 1, 1});
    for (const int columns : {0, 64, 16383}) {
        const jpeg_top top = decode_jpeg_top(file, 2, columns);
        EXPECT_FALSE(top.rows) << columns << " columns";
        EXPECT_STREQ(SDL_GetError(), "the JPEG is 16384x2 pixels, more than the viewer holds")
            << columns << " columns";
    }
}

TEST_F(JpegRows, DamageBelowTheRowsShownFailsOrLoadsAsInTheLibrary) {
    const bytes file = write_jpeg({"baseline 4:2:0", 64, 96, 3, 2, 2});
    bytes truncated(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() * 3 / 4));
    bytes cut_and_closed = truncated;
    cut_and_closed.insert(cut_and_closed.end(), {0xFF, 0xD9});
    bytes garbage_in_data = file;
    for (std::size_t i = file.size() * 3 / 4; i < file.size() * 3 / 4 + 40; ++i) garbage_in_data[i] ^= 0x5A;
    // A second frame after the first one's scan: libjpeg stops with an error at the end.
    bytes second_frame(file.begin(), file.end() - 2);
    second_frame.insert(second_frame.end(), {0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x10, 0x00, 0x10, 0x01, 0x01,
                                             0x11, 0x00, 0xFF, 0xD9});
    for (const auto& [name, damaged] :
         std::vector<std::pair<std::string, bytes>>{{"cut off", truncated},
                                                    {"cut off with an end marker", cut_and_closed},
                                                    {"garbage in the data", garbage_in_data},
                                                    {"a second frame", second_frame}}) {
        SDL_Surface* whole = load_whole(damaged);
        const bool taken = library_takes_as_jpeg(damaged);
        const jpeg_top top = taken ? decode_jpeg_top(damaged, 16) : jpeg_top{};
        // Whatever the library does with the whole file, the viewer does with its top.
        EXPECT_EQ(whole != nullptr, taken && top.rows != nullptr) << name << ": " << IMG_GetError();
        if (whole != nullptr && top.rows) expect_same_top(damaged, 16, name);
        SDL_FreeSurface(whole);
    }
}

}  // namespace
}  // namespace zub::test
