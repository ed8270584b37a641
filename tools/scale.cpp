#include "tools/scale.hpp"

#include <algorithm>
#include <cstdint>

namespace zub {

picture_size fit_within(int width, int height, int box) {
    if (width <= box && height <= box) return {width, height};
    // The longer side becomes `box`; the other keeps the proportion, rounded.
    const std::int64_t w = width;
    const std::int64_t h = height;
    if (w >= h) return {box, static_cast<int>(std::max<std::int64_t>(1, (h * box + w / 2) / w))};
    return {static_cast<int>(std::max<std::int64_t>(1, (w * box + h / 2) / h)), box};
}

namespace {

// How much of source cell `s` (of `from` cells) falls in target cell `t` (of `to`), in
// units where a target cell is `from` long and a source cell `to` long.
struct span {
    int first = 0;  // the first source cell the target cell touches
    int last = 0;   // one past the last
};
span source_span(int t, int from, int to) {
    const std::int64_t start = std::int64_t{t} * from;  // in units of 1/to of a source cell
    const std::int64_t end = start + from;
    return {static_cast<int>(start / to), static_cast<int>((end + to - 1) / to)};
}
std::int64_t overlap(int s, int t, int from, int to) {
    const std::int64_t s_start = std::int64_t{s} * to;
    const std::int64_t t_start = std::int64_t{t} * from;
    return std::min(s_start + to, t_start + from) - std::max(s_start, t_start);
}

}  // namespace

rgb_image scale_down(const rgb_image& image, picture_size size) {
    const int w = image.width;
    const int h = image.height;
    const int ow = std::clamp(size.width, 1, std::max(1, w));
    const int oh = std::clamp(size.height, 1, std::max(1, h));
    rgb_image out{ow, oh,
                  std::vector<std::uint8_t>(static_cast<std::size_t>(ow) * static_cast<std::size_t>(oh) * 3)};
    if (w < 1 || h < 1) return out;
    // Each source row is first summed across into the target's columns (weights summing
    // to w for a column), then its sums are added into the target rows it covers
    // (weights summing to h): a target pixel's total weight is w * h. The source columns
    // each target column covers, and their weights, are the same on every row: found once.
    struct share {
        std::size_t at;  // the source column's first byte in a row
        std::uint64_t weight;
    };
    std::vector<share> shares;
    std::vector<std::size_t> first_share(static_cast<std::size_t>(ow) + 1);
    for (int tx = 0; tx < ow; ++tx) {
        first_share[static_cast<std::size_t>(tx)] = shares.size();
        const span columns = source_span(tx, w, ow);
        for (int sx = columns.first; sx < columns.last; ++sx)
            shares.push_back(
                {static_cast<std::size_t>(sx) * 3, static_cast<std::uint64_t>(overlap(sx, tx, w, ow))});
    }
    first_share[static_cast<std::size_t>(ow)] = shares.size();
    std::vector<std::uint64_t> across(static_cast<std::size_t>(ow) * 3);
    std::vector<std::uint64_t> sums(static_cast<std::size_t>(ow) * static_cast<std::size_t>(oh) * 3);
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* row =
            image.rgb.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w) * 3;
        for (std::size_t tx = 0; tx < static_cast<std::size_t>(ow); ++tx) {
            std::uint64_t sum[3] = {0, 0, 0};
            for (std::size_t k = first_share[tx]; k < first_share[tx + 1]; ++k) {
                const share& from = shares[k];
                for (std::size_t c = 0; c < 3; ++c) sum[c] += from.weight * row[from.at + c];
            }
            for (std::size_t c = 0; c < 3; ++c) across[tx * 3 + c] = sum[c];
        }
        // The target rows this source row falls in: at most two.
        const int first = static_cast<int>(std::int64_t{y} * oh / h);
        const int last = std::min(oh, static_cast<int>((std::int64_t{y + 1} * oh + h - 1) / h));
        for (int ty = first; ty < last; ++ty) {
            const auto weight = static_cast<std::uint64_t>(overlap(y, ty, h, oh));
            std::uint64_t* target =
                sums.data() + static_cast<std::size_t>(ty) * static_cast<std::size_t>(ow) * 3;
            for (std::size_t i = 0; i < across.size(); ++i) target[i] += weight * across[i];
        }
    }
    const auto total = static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h);
    for (std::size_t i = 0; i < sums.size(); ++i)
        out.rgb[i] = static_cast<std::uint8_t>((sums[i] + total / 2) / total);
    return out;
}

}  // namespace zub
