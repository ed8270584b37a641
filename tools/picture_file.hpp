// The picture formats zub render writes: PNG, JPEG, WebP and PPM, chosen by the output's
// extension or by name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/result.hpp"
#include "tools/png_file.hpp"

namespace zub {

enum class picture_kind : std::uint8_t { png, jpeg, webp, ppm };

struct picture_encoding {
    picture_kind kind = picture_kind::png;
    int quality = 0;  // 1 to 100, or 0: JPEG at 90, WebP lossless
};

// The kind a format's name gives ("png", "jpeg" or "jpg", "webp", "ppm" or "pnm", in any case).
std::optional<picture_kind> kind_named(std::string_view name);

// The kind a path's extension names (.png, .jpg, .jpeg, .webp, .ppm, .pnm), or nothing.
std::optional<picture_kind> kind_of_path(std::string_view path);

// The usual extension of a kind's files, without its dot.
std::string_view extension_of(picture_kind kind);

// A binary PPM's header for a picture of width x height ("P6\nW H\n255\n"): the pixels
// follow as they are, 3 bytes a pixel.
std::string ppm_header(int width, int height);

// The picture's file in the encoding, or the library's reason it cannot be made.
result<std::vector<std::uint8_t>> picture_bytes(const rgb_image& image, const picture_encoding& encoding);

}  // namespace zub
