// A JPEG decoded only down to the last row and across to the last column a window shows,
// with the very pixels SDL_image gives for the whole picture.
#pragma once

#include "document/byte_reader.hpp"
#include "wall/sdl_handles.hpp"

namespace zub {

// True when SDL_image would load `image` as a JPEG: it starts with a JPEG's mark and
// SDL_image's own test takes it for one.
bool library_takes_as_jpeg(bytes_view image);

struct jpeg_top {
    surface_handle rows;  // the top rows, in the pixel format SDL_image gives the picture,
                          // at least `columns` wide where the picture is
    int width = 0;        // the whole picture's size
    int height = 0;
};

// Decodes the top `rows` rows of the JPEG `image` (all of them when it has no more) with
// the settings and the pixel format SDL_image's loader uses, so that they are the pixels
// it gives. The rows below are still read and checked as the library reads them (a file
// that fails further down fails here too), but not turned into pixels. On failure `rows`
// is null and SDL_GetError says why, in SDL_image's words. With `columns` above 0, only
// about that many columns on the left are turned into pixels; those are the same.
jpeg_top decode_jpeg_top(bytes_view image, int rows, int columns = 0);

}  // namespace zub
