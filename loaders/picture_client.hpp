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

// The largest picture a loader makes, as the thumbnails' bound: 8192 x 8192 pixels
// (192 MiB of RGB). A few bytes that declare a huge window cost the host no more.
inline constexpr std::int64_t max_loader_pixels = std::int64_t{64} * 1024 * 1024;

// A window side of 0 is the desktop's; a loader knows no desktop and takes zub render's.
inline constexpr int loader_desktop_width = 1920;
inline constexpr int loader_desktop_height = 1080;

struct loader_size {
    int width = 0;
    int height = 0;
};

// The size of a document's picture from its first 31 bytes alone, or why it gives none
// ("not a ZUB document", the header's error in the viewer's words, the loaders' bound).
[[nodiscard]] result<loader_size> picture_size_of(bytes_view header);

struct loader_picture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;  // 3 bytes a pixel, rows without padding
};

struct picture_order {
    std::string document_path;  // where the document is, or empty when the host gave bytes only
    int box = 0;                // a thumbnail's largest side, or 0 for the whole picture
    // Where `zub` is from the folder of the loader's file once installed; beside the
    // loader (the build tree) is tried first.
    const char* program_from_loader = "";
};

// The picture the viewer shows of the document in `bytes`, composed by zub render: the
// font is Consola.ttf beside the document where its path is known, else the system's
// fixed-width face. A damaged document gives the viewer's reason; a refused image or
// texts past a bound give the picture without them, as zub render does.
[[nodiscard]] result<loader_picture> compose_picture(bytes_view bytes, const picture_order& order);

// The `zub` program a loader runs: beside the loader's own file, else at
// `program_from_loader` from its folder.
std::string zub_program(const char* program_from_loader);

}  // namespace zub
