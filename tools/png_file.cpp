#include "tools/png_file.hpp"

#include <png.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace zub {

void write_png(const std::string& path, const rgb_image& image) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file{std::fopen(path.c_str(), "wb"), &std::fclose};
    if (!file) throw std::runtime_error("cannot write " + path);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {  // NOLINT(cert-err52-cpp): libpng reports errors by longjmp
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("cannot write " + path);
    }
    png_init_io(png, file.get());
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const auto row_size = static_cast<std::size_t>(image.width) * 3;
    for (int y = 0; y < image.height; ++y) {
        png_write_row(png, &image.rgb[static_cast<std::size_t>(y) * row_size]);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

}  // namespace zub
