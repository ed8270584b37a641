// Thumbnails: the size a picture is scaled to, and the box filter against hand sums and
// against Pillow's box average.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/images.hpp"
#include "tests/x_session.hpp"
#include "tools/scale.hpp"

namespace zub {
namespace {

TEST(Thumbnail, FitsTheBoxKeepingProportionsAndNeverGrows) {
    struct fit_case {
        int width, height, box, fitted_width, fitted_height;
    };
    for (const fit_case& c : std::vector<fit_case>{{800, 600, 256, 256, 192},
                                                   {600, 800, 256, 192, 256},
                                                   {100, 50, 256, 100, 50},
                                                   {256, 256, 256, 256, 256},
                                                   {16383, 1, 128, 128, 1},
                                                   {3, 2, 2, 2, 1}}) {
        const picture_size fitted = fit_within(c.width, c.height, c.box);
        EXPECT_EQ(fitted.width, c.fitted_width) << c.width << "x" << c.height << " in " << c.box;
        EXPECT_EQ(fitted.height, c.fitted_height) << c.width << "x" << c.height << " in " << c.box;
    }
}

// Partly covered source pixels count by the part covered: 3 pixels into 2 give
// (2a + b) / 3 and (b + 2c) / 3, rounded to the nearest.
TEST(Thumbnail, BoxFilterWeighsWhatEachPixelCovers) {
    const rgb_image row{3,
                        2,
                        {0, 30, 255, 90, 60, 0, 201, 0, 0,  //
                         0, 30, 255, 90, 60, 0, 201, 0, 0}};
    const rgb_image scaled = scale_down(row, {2, 1});
    EXPECT_EQ(scaled.rgb, (std::vector<std::uint8_t>{30, 40, 170, 164, 20, 0}));
    const rgb_image same = scale_down(row, {3, 2});
    EXPECT_EQ(same.rgb, row.rgb);
}

// Pillow's reduce() averages whole boxes in fixed point: where the box is a whole number
// of pixels the two agree, exactly for 2 x 2 boxes and within one step otherwise.
TEST(Thumbnail, AgreesWithPillowsBoxAverage) {
    const test::picture pic = test::pattern(96, 60, true);
    rgb_image image{pic.width, pic.height, {}};
    for (int y = 0; y < pic.height; ++y) {
        for (int x = 0; x < pic.width; ++x) {
            const test::rgba c = pic.at(x, y);
            image.rgb.insert(image.rgb.end(), {c.r, c.g, c.b});
        }
    }
    const std::filesystem::path dir = test::make_work_folder("zub-scale");
    {
        std::ofstream raw(dir / "in.rgb", std::ios::binary);
        raw.write(reinterpret_cast<const char*>(image.rgb.data()),
                  static_cast<std::streamsize>(image.rgb.size()));
    }
    struct box_case {
        int across, down, tolerance;
    };
    for (const box_case& c : std::vector<box_case>{{2, 2, 0}, {3, 3, 1}, {4, 3, 1}}) {
        const std::string script =
            "from PIL import Image; Image.frombytes('RGB', (96, 60), open('in.rgb', 'rb').read())"
            ".reduce((" +
            std::to_string(c.across) + ", " + std::to_string(c.down) + ")).save('out.ppm')";
        const test::command_result pillow =
            test::run_command("cd " + dir.string() + " && /usr/bin/python3 -c \"" + script + "\" 2>&1");
        ASSERT_EQ(pillow.status, 0) << pillow.out;
        std::ifstream in(dir / "out.ppm", std::ios::binary);
        const std::vector<std::uint8_t> file((std::istreambuf_iterator<char>(in)),
                                             std::istreambuf_iterator<char>());
        const rgb_image scaled = scale_down(image, {96 / c.across, 60 / c.down});
        ASSERT_GE(file.size(), scaled.rgb.size());
        const std::vector<std::uint8_t> expected(file.end() - static_cast<std::ptrdiff_t>(scaled.rgb.size()),
                                                 file.end());
        int worst = 0;
        for (std::size_t i = 0; i < expected.size(); ++i)
            worst = std::max(worst, std::abs(expected[i] - scaled.rgb[i]));
        EXPECT_LE(worst, c.tolerance) << c.across << "x" << c.down;
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zub
