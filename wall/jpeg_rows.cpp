#include "wall/jpeg_rows.hpp"

#include <SDL_image.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE
#include <cstdlib>

#include <jpeglib.h>

#include "document/limits.hpp"

namespace zub {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return: it jumps
// back to the decoding function, as SDL_image's loader does. Warnings are not printed.
struct jump_on_error {
    jpeg_error_mgr manager;  // first, so that libjpeg's pointer to it is one to the whole
    std::jmp_buf escape;
};

[[noreturn]] void escape_from_libjpeg(j_common_ptr info) {
    auto* errors = reinterpret_cast<jump_on_error*>(info->err);  // NOLINT: see jump_on_error
    std::longjmp(errors->escape, 1);  // NOLINT(cert-err52-cpp): libjpeg's C error protocol
}

void print_nothing(j_common_ptr /*info*/) {}

// The surface SDL_image's loader makes for a picture `width` wide: 32-bit for four
// components (their values as they stand, the fourth as alpha), otherwise 24-bit RGB in
// byte order.
SDL_Surface* make_surface(bool four_components, int width, int height) {
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
    if (four_components) {
        return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x00FF0000, 0x0000FF00, 0x000000FF,
                                    0xFF000000);
    }
    return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0x0000FF, 0x00FF00, 0xFF0000, 0);
#else
    if (four_components) {
        return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x0000FF00, 0x00FF0000, 0xFF000000,
                                    0x000000FF);
    }
    return SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 24, 0xFF0000, 0x00FF00, 0x0000FF, 0);
#endif
}

// Only plain C state lives here: a fatal error jumps out of any libjpeg call, past every
// destructor. What is freed after the jump is volatile; `info` is only changed through
// its address, by libjpeg, and so holds its last values after the jump as well.
SDL_Surface* decode_top(bytes_view image, int rows, int columns, int& width, int& height) {
    jpeg_decompress_struct info{};
    jump_on_error errors{};
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = escape_from_libjpeg;
    errors.manager.output_message = print_nothing;
    SDL_Surface* volatile surface = nullptr;
    JSAMPLE* volatile spare_row = nullptr;
    if (setjmp(errors.escape) != 0) {  // NOLINT(cert-err52-cpp): libjpeg's C error protocol
        jpeg_destroy_decompress(&info);
        SDL_FreeSurface(surface);
        std::free(spare_row);  // NOLINT(cppcoreguidelines-no-malloc): freed on the jump
        SDL_SetError("JPEG loading error");
        return nullptr;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, image.data(), static_cast<unsigned long>(image.size()));
    (void)jpeg_read_header(&info, TRUE);
    const bool four_components = info.num_components == 4;
    info.out_color_space = four_components ? JCS_CMYK : JCS_RGB;
    info.quantize_colors = FALSE;
    jpeg_calc_output_dimensions(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    if (width > max_image_width || height > max_image_height) {
        jpeg_destroy_decompress(&info);
        SDL_SetError("the JPEG is %dx%d pixels, more than the viewer holds", width, height);
        return nullptr;
    }
    const auto kept = static_cast<JDIMENSION>(std::clamp(rows, 1, height));
    // SDL 1.2 keeps a row's length in 16 bits: a picture whose whole rows do not fit is
    // refused, however few of its columns are decoded.
    if (((std::int64_t{width} * (four_components ? 4 : 3) + 3) & ~std::int64_t{3}) > 65535) {
        jpeg_destroy_decompress(&info);
        SDL_SetError("Out of memory");
        return nullptr;
    }
    (void)jpeg_start_decompress(&info);
    // Only the columns shown, and two iMCUs more, are turned into pixels: the upsampler
    // takes the right edge of what it decodes for the picture's, and reads a sample
    // beyond a block's edge, so that the columns shown are the whole picture's.
    const int margin = 2 * info.max_h_samp_factor * DCTSIZE;
    if (columns > 0 && columns < width - margin) {
        JDIMENSION left = 0;
        auto wide = static_cast<JDIMENSION>(columns + margin);
        jpeg_crop_scanline(&info, &left, &wide);
    }
    surface = make_surface(four_components, static_cast<int>(info.output_width), static_cast<int>(kept));
    if (surface == nullptr ||
        std::int64_t{surface->pitch} < std::int64_t{surface->w} * surface->format->BytesPerPixel) {
        jpeg_destroy_decompress(&info);
        SDL_FreeSurface(surface);
        SDL_SetError("Out of memory");
        return nullptr;
    }
    auto* pixels = static_cast<JSAMPLE*>(surface->pixels);
    while (info.output_scanline < kept) {
        JSAMPROW row = pixels + static_cast<std::size_t>(info.output_scanline) * surface->pitch;
        (void)jpeg_read_scanlines(&info, &row, 1);
    }
    if (info.output_scanline < info.output_height) {
        // The rows below are skipped (their data is still read and checked, but makes no
        // pixels) up to the last, which is decoded, so that libjpeg reads the file to its
        // end as for the whole picture: skipping to the very end would stop reading.
        const JDIMENSION skipped = info.output_height - 1 - info.output_scanline;
        if (skipped > 0) (void)jpeg_skip_scanlines(&info, skipped);
        // NOLINTNEXTLINE(cppcoreguidelines-no-malloc): freed on the jump as well
        spare_row = static_cast<JSAMPLE*>(std::malloc(static_cast<std::size_t>(info.output_width) *
                                                      static_cast<std::size_t>(info.output_components)));
        if (spare_row == nullptr) {
            jpeg_destroy_decompress(&info);
            SDL_FreeSurface(surface);
            SDL_SetError("Out of memory");
            return nullptr;
        }
        JSAMPROW row = spare_row;
        while (info.output_scanline < info.output_height) (void)jpeg_read_scanlines(&info, &row, 1);
        std::free(spare_row);  // NOLINT(cppcoreguidelines-no-malloc)
        spare_row = nullptr;
    }
    (void)jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return surface;
}

}  // namespace

bool library_takes_as_jpeg(bytes_view image) {
    if (image.size() < 2 || image[0] != 0xFF || image[1] != 0xD8) return false;
    // No format SDL_image tests before JPEG starts so; its JPEG test walks the markers.
    const stream_handle stream{SDL_RWFromConstMem(image.data(), static_cast<int>(image.size()))};
    return stream && IMG_isJPG(stream.get()) != 0;
}

jpeg_top decode_jpeg_top(bytes_view image, int rows, int columns) {
    jpeg_top top;
    top.rows.reset(decode_top(image, rows, columns, top.width, top.height));
    return top;
}

}  // namespace zub
