// A document's picture for the image loaders that run inside other programs (GTK's
// gdk-pixbuf, Qt's image plugins, KDE's thumbnailers).
//
// A host has threads and secrets of its own, so nothing of a document but its header is
// read here, and no image or font is decoded: `zub render` is executed (never a bare
// fork) with an empty environment and no descriptor of the host's but the document's
// bytes in a sealed memfd and two pipes, and it composes the picture as it always does,
// its image and texts behind the wall of zub-compose. The picture comes back as a binary
// PPM whose size is known before it is asked for, and is read within that size and a
// deadline.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "document/byte_reader.hpp"
#include "document/result.hpp"

namespace zub {

struct loader_size {
    int width = 0;
    int height = 0;
};

// The size of a document's picture from its first 31 bytes alone, or why it gives none
// ("not a ZUB document", the header's error in the viewer's words, the thumbnails'
// bound of max_thumbnail_pixels, which a loader keeps). A side of 0 is zub render's
// default desktop's.
[[nodiscard]] result<loader_size> picture_size_of(bytes_view header);

// The side of the box a host's smaller picture of `asked` fits, when it keeps the
// picture's proportions as zub render --size N rounds them (a thumbnail, composed so);
// else 0, for the whole picture, which the host scales itself.
int thumbnail_box(loader_size whole, loader_size asked);

struct loader_picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows without padding
};

// The host's own image of the picture takes its pixels without a copy: the hosts give
// these as the image's data and its release.
std::vector<std::uint8_t>* pixels_to_hand_over(loader_picture&& picture);
void release_handed_pixels(void* pixels);

struct picture_order {
    std::string document_path;  // where the document is, or empty when the host gave bytes only
    int box = 0;                // a thumbnail's largest side, or 0 for the whole picture
    // Where `zub` is from the folder of the loader's file once installed; beside the
    // loader (the build tree) is tried first.
    const char* program_from_loader = "";
};

// The picture the viewer shows of the document in `bytes`, composed by zub render: the
// font is Consola.ttf beside the document where its path is known, else the system's
// fixed-width face. Only the header is read here: a damaged document gives zub render's
// reason, in the viewer's words; a refused image or texts past a bound give the picture
// without them, as zub render does. Throws nothing (no memory is a failure).
[[nodiscard]] result<loader_picture> compose_picture(bytes_view bytes, const picture_order& order);

// The `zub` program a loader runs: beside the loader's own file, else at
// `program_from_loader` from its folder.
std::string zub_program(const char* program_from_loader);

}  // namespace zub
