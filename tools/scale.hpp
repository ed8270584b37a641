// Scaling a picture down to a thumbnail.
#pragma once

#include "tools/png_file.hpp"

namespace zub {

// The size a picture of width x height takes when it is made to fit `box` x `box`,
// keeping its proportions and never growing: each side at least 1.
struct picture_size {
    int width = 0;
    int height = 0;
};
picture_size fit_within(int width, int height, int box);

// The picture at `size` (no larger than the picture), each pixel the average of the
// area of the source it covers, partly covered source pixels weighted by the part that
// is covered: a box filter, with exact sums and rounding to the nearest value.
rgb_image scale_down(const rgb_image& image, picture_size size);

}  // namespace zub
