// Declared image sizes, read from headers before anything is decoded.
#include <gtest/gtest.h>

#include "document/image_probe.hpp"
#include "tests/doc_writer.hpp"
#include "tests/images.hpp"

namespace zub {
namespace {

using test::bytes;

void put_be16(bytes& out, unsigned v) { out.insert(out.end(), {std::uint8_t(v >> 8), std::uint8_t(v)}); }
void put_be32(bytes& out, std::uint32_t v) {
    out.insert(out.end(),
               {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
}
void put_le16(bytes& out, unsigned v) { out.insert(out.end(), {std::uint8_t(v), std::uint8_t(v >> 8)}); }

::testing::AssertionResult declares(const bytes& image, const char* format, std::int64_t w, std::int64_t h) {
    const auto size = probe_image_size(image);
    if (!size) return ::testing::AssertionFailure() << "no size found";
    if (std::string(size->format) != format || size->width != w || size->height != h) {
        return ::testing::AssertionFailure() << size->format << " " << size->width << "x" << size->height;
    }
    return ::testing::AssertionSuccess();
}

TEST(ImageProbe, FindsTheSizeOfRealImages) {
    const test::picture pic = test::pattern(37, 21, true);
    EXPECT_TRUE(declares(test::encode_png(pic, test::png_kind::rgb), "PNG", 37, 21));
    EXPECT_TRUE(declares(test::encode_jpeg(pic, 80), "JPEG", 37, 21));
    EXPECT_TRUE(declares(test::encode_gif(pic, test::rgba{1, 2, 3, 255}), "GIF", 37, 21));
    EXPECT_TRUE(declares(test::encode_bmp(pic), "BMP", 37, 21));
    EXPECT_TRUE(declares(test::encode_ppm(pic), "PNM", 37, 21));
}

TEST(ImageProbe, ReadsEveryHeaderTheDecodersAllocateFrom) {
    EXPECT_TRUE(
        declares(test::to_bytes("P5 # a comment\n# another\n 60000\t70000 255\n"), "PNM", 60000, 70000));
    EXPECT_TRUE(declares(test::to_bytes("P7 332\n#XVVERSION:Version 2.28\n#END_OF_COMMENTS\n80 60 255\n"),
                         "XV", 80, 60));
    EXPECT_TRUE(
        declares(test::to_bytes("/* XPM */\nstatic char *x[] = {\n\"40000 2 1 1\",\n"), "XPM", 40000, 2));

    bytes bmp{'B', 'M'};
    bmp.resize(14);
    test::put_u32(bmp, 40);
    test::put_u32(bmp, 300);
    test::put_u32(bmp, static_cast<std::uint32_t>(-200));  // rows stored top-down
    EXPECT_TRUE(declares(bmp, "BMP", 300, 200));
    bytes os2{'B', 'M'};
    os2.resize(14);
    test::put_u32(os2, 12);
    put_le16(os2, 640);
    put_le16(os2, 480);
    EXPECT_TRUE(declares(os2, "BMP", 640, 480));

    bytes jpeg{0xFF, 0xD8, 0xFF, 0xE0};
    put_be16(jpeg, 4);
    jpeg.insert(jpeg.end(), {0, 0, 0xFF, 0xFF, 0xC2});  // a fill byte, then a progressive frame header
    put_be16(jpeg, 17);
    jpeg.push_back(8);
    put_be16(jpeg, 65000);
    put_be16(jpeg, 1234);
    EXPECT_TRUE(declares(jpeg, "JPEG", 1234, 65000));

    bytes gif = test::to_bytes("GIF89a");
    put_le16(gif, 10);
    put_le16(gif, 10);
    gif.insert(gif.end(), {0x81, 0, 0});  // a 4-entry colour table
    gif.resize(gif.size() + 12);
    // A comment extension and a stray byte come before the image descriptor.
    gif.insert(gif.end(), {0x21, 0xFE, 3, 'a', 'b', 'c', 0, 0x00, 0x2C, 0, 0, 0, 0});
    put_le16(gif, 65535);
    put_le16(gif, 3);
    EXPECT_TRUE(declares(gif, "GIF", 65535, 3));

    bytes pcx{0x0A, 5, 1, 8};
    put_le16(pcx, 10);
    put_le16(pcx, 20);
    put_le16(pcx, 30009);
    put_le16(pcx, 20);
    EXPECT_TRUE(declares(pcx, "PCX", 30000, 1));

    bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    put_be32(png, 60000);
    put_be32(png, 50000);
    EXPECT_TRUE(declares(png, "PNG", 60000, 50000));

    bytes xcf = test::to_bytes("gimp xcf file");
    xcf.push_back(0);
    put_be32(xcf, 100000);
    put_be32(xcf, 7);
    EXPECT_TRUE(declares(xcf, "XCF", 100000, 7));

    bytes lbm = test::to_bytes("FORM");
    put_be32(lbm, 100);
    lbm.insert(lbm.end(), {'I', 'L', 'B', 'M', 'A', 'N', 'N', 'O'});
    put_be32(lbm, 3);
    lbm.insert(lbm.end(), {'x', 'y', 'z', 0, 'B', 'M', 'H', 'D'});  // odd chunks are padded
    put_be32(lbm, 20);
    put_be16(lbm, 320);
    put_be16(lbm, 40000);
    EXPECT_TRUE(declares(lbm, "LBM", 320, 40000));

    for (bool little : {true, false}) {
        bytes tiff = little ? bytes{'I', 'I', '*', 0, 8, 0, 0, 0} : bytes{'M', 'M', 0, '*', 0, 0, 0, 8};
        auto u16 = [&](unsigned v) { little ? put_le16(tiff, v) : put_be16(tiff, v); };
        auto u32 = [&](std::uint32_t v) { little ? test::put_u32(tiff, v) : put_be32(tiff, v); };
        u16(2);
        u16(256), u16(4), u32(1), u32(70000);        // ImageWidth, LONG
        u16(257), u16(3), u32(1), u16(500), u16(0);  // ImageLength, SHORT
        EXPECT_TRUE(declares(tiff, "TIFF", 70000, 500)) << (little ? "II" : "MM");
    }

    bytes webp = test::to_bytes("RIFF");
    test::put_u32(webp, 30);
    webp.insert(webp.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'X'});
    test::put_u32(webp, 10);
    test::put_u32(webp, 0);
    webp.insert(webp.end(), {0x3F, 0x42, 0x0F, 0x01, 0x00, 0x00});  // canvas 1000000 x 2
    EXPECT_TRUE(declares(webp, "WEBP", 1000000, 2));

    bytes ico{0, 0, 1, 0, 1, 0};
    ico.resize(6 + 16);
    ico[6 + 12] = 22;  // the bitmap is at offset 22
    test::put_u32(ico, 40);
    test::put_u32(ico, 20000);
    test::put_u32(ico, 64);
    EXPECT_TRUE(declares(ico, "ICO", 20000, 64));
}

TEST(ImageProbe, CutOrUnknownHeadersGiveNoSize) {
    const bytes png = test::encode_png(test::pattern(5, 5, true), test::png_kind::rgb);
    EXPECT_FALSE(probe_image_size(bytes(png.begin(), png.begin() + 20)));
    EXPECT_FALSE(probe_image_size(test::to_bytes("GIF89a")));
    EXPECT_FALSE(probe_image_size(bytes{0xFF, 0xD8, 0xFF, 0xE0, 0xFF, 0xFF}));
    EXPECT_FALSE(probe_image_size(test::to_bytes("P6\n")));
    EXPECT_FALSE(probe_image_size(test::to_bytes("just some text")));
    EXPECT_FALSE(probe_image_size(bytes{}));
    // Chains of lengths that point far beyond the end.
    bytes lbm = test::to_bytes("FORMxxxxILBMABCD");
    put_be32(lbm, 0xFFFFFFFF);
    EXPECT_FALSE(probe_image_size(lbm));
    bytes tiff{'I', 'I', '*', 0, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(probe_image_size(tiff));
}

TEST(ImageProbe, SizesBeyondTheBoundAreRefused) {
    EXPECT_FALSE(image_size_problem(image_size{"PNG", 16383, 16384}));
    EXPECT_TRUE(image_size_problem(image_size{"PNG", 16384, 1}));
    EXPECT_FALSE(image_size_problem(image_size{"PNG", 1, 1}));
    EXPECT_EQ(image_size_problem(image_size{"GIF", 0, 9}),
              "the GIF image declares 0x9 pixels (it has none to show)");
    EXPECT_EQ(image_size_problem(image_size{"PNG", 60000, 60000}),
              "the PNG image declares 60000x60000 pixels (at most 16383 wide and 16384 tall)");
    EXPECT_TRUE(image_size_problem(image_size{"GIF", 16385, 1}));
    EXPECT_TRUE(image_size_problem(image_size{"PCX", -5, 1}));
}

// A JPEG cut short anywhere after its header is found to end early; a whole one, also
// progressive or with restart markers and bytes after its end, is not.
TEST(ImageProbe, TellsAJpegThatEndsBeforeItsEndMarker) {
    const bytes whole = test::encode_jpeg(test::pattern(64, 48, true), 90);
    EXPECT_FALSE(image_ends_early(whole));
    bytes trailing = whole;
    trailing.insert(trailing.end(), {0, 0, 0});
    EXPECT_FALSE(image_ends_early(trailing));
    for (const std::size_t cut : {std::size_t{4}, whole.size() / 2, whole.size() - 1}) {
        EXPECT_TRUE(image_ends_early(bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut))))
            << cut;
    }
    EXPECT_FALSE(image_ends_early(test::encode_png(test::pattern(4, 4, false), test::png_kind::rgb)));
}

}  // namespace
}  // namespace zub
