// Finding an embedded image's declared size from its header, without decoding it.
//
// The image library allocates a picture of the size its header declares before it reads
// a single pixel, and a few bytes can declare billions of pixels. The viewer looks at
// the header first and refuses absurd sizes. Formats are recognised by the same magic
// bytes the image library goes by.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "document/byte_reader.hpp"

namespace zub {

struct image_size {
    const char* format = "";  // "PNG", "JPEG", ...
    std::int64_t width = 0;
    std::int64_t height = 0;
};

// The size the image's header declares, or nothing when the format is not one the probe
// knows or the header is cut short (the decoder then finds that out for itself).
std::optional<image_size> probe_image_size(bytes_view image);

// The image is a JPEG whose data stops before its end-of-image marker: the decoder
// shows what there is and fills in the rest.
bool image_ends_early(bytes_view image);

// Why an image of this declared size is not decoded, or nothing when it may be.
std::optional<std::string> image_size_problem(const image_size& size);

}  // namespace zub
