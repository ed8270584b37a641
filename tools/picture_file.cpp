#include "tools/picture_file.hpp"

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <webp/encode.h>
#include <cstdio>
#include <cstdlib>

#include <csetjmp>
#include <memory>
#include <string>

#include "tools/picture_formats.hpp"

namespace zub {

namespace {

struct jpeg_failure {
    jpeg_error_mgr manager{};
    std::jmp_buf back{};
    char message[JMSG_LENGTH_MAX] = {};
};

[[noreturn]] void keep_jpeg_error(j_common_ptr jpeg) {
    auto* failed = reinterpret_cast<jpeg_failure*>(jpeg->err);
    (*jpeg->err->format_message)(jpeg, failed->message);
    std::longjmp(failed->back, 1);  // NOLINT(cert-err52-cpp): libjpeg reports errors so
}

struct compress_release {
    void operator()(jpeg_compress_struct* jpeg) const { jpeg_destroy_compress(jpeg); }
};

struct free_release {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};

result<std::vector<std::uint8_t>> jpeg_bytes(const rgb_image& image, int quality) {
    jpeg_compress_struct jpeg{};
    jpeg_failure failed;
    jpeg.err = jpeg_std_error(&failed.manager);
    failed.manager.error_exit = keep_jpeg_error;
    // The destination's block, owned here: libjpeg grows it with malloc.
    unsigned char* block = nullptr;
    unsigned long size = 0;
    // Nothing below owns a resource libjpeg's jump back would skip: the block and the
    // compressor are released after it.
    if (setjmp(failed.back) != 0) {  // NOLINT(cert-err52-cpp)
        jpeg_destroy_compress(&jpeg);
        std::free(block);
        return failure{std::string("cannot encode the JPEG: ") + failed.message};
    }
    jpeg_create_compress(&jpeg);
    jpeg_mem_dest(&jpeg, &block, &size);
    jpeg.image_width = static_cast<JDIMENSION>(image.width);
    jpeg.image_height = static_cast<JDIMENSION>(image.height);
    jpeg.input_components = 3;
    jpeg.in_color_space = JCS_RGB;
    jpeg_set_defaults(&jpeg);
    jpeg_set_quality(&jpeg, quality, TRUE);
    jpeg.optimize_coding = TRUE;
    jpeg_start_compress(&jpeg, TRUE);
    const auto row_size = static_cast<std::size_t>(image.width) * 3;
    while (jpeg.next_scanline < jpeg.image_height) {
        auto* row = const_cast<JSAMPLE*>(image.rgb.data() + row_size * jpeg.next_scanline);
        (void)jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    const std::unique_ptr<unsigned char, free_release> owned{block};
    return std::vector<std::uint8_t>(block, block + size);
}

struct webp_release {
    void operator()(std::uint8_t* bytes) const { WebPFree(bytes); }
};

result<std::vector<std::uint8_t>> webp_bytes(const rgb_image& image, int quality) {
    std::uint8_t* block = nullptr;
    const int stride = image.width * 3;
    const std::size_t size =
        quality == 0 ? WebPEncodeLosslessRGB(image.rgb.data(), image.width, image.height, stride, &block)
                     : WebPEncodeRGB(image.rgb.data(), image.width, image.height, stride,
                                     static_cast<float>(quality), &block);
    const std::unique_ptr<std::uint8_t, webp_release> owned{block};
    if (size == 0) {
        return failure{"cannot encode the WebP: libwebp refuses it (" + std::to_string(image.width) + "x" +
                       std::to_string(image.height) + " pixels; it takes at most 16383 on a side)"};
    }
    return std::vector<std::uint8_t>(block, block + size);
}

// Binary PPM: a short text header, then the rows' bytes as they are. Programs that take
// the pixels whole read it without a decoder (the image loaders do).
std::vector<std::uint8_t> ppm_bytes(const rgb_image& image) {
    const std::string header = ppm_header(image.width, image.height);
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), image.rgb.begin(), image.rgb.end());
    return bytes;
}

}  // namespace

std::string ppm_header(int width, int height) {
    return "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
}

std::optional<picture_kind> kind_named(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (lower == "png") return picture_kind::png;
    if (lower == "jpeg" || lower == "jpg") return picture_kind::jpeg;
    if (lower == "webp") return picture_kind::webp;
    if (lower == "ppm" || lower == "pnm") return picture_kind::ppm;
    return std::nullopt;
}

std::optional<picture_kind> kind_of_path(std::string_view path) {
    const std::string extension = file_extension(path);
    if (extension == "jpe" || extension == "jfif") return picture_kind::jpeg;
    return kind_named(extension);
}

std::string_view extension_of(picture_kind kind) {
    switch (kind) {
        case picture_kind::png:
            return "png";
        case picture_kind::jpeg:
            return "jpg";
        case picture_kind::webp:
            return "webp";
        case picture_kind::ppm:
            return "ppm";
    }
    return "png";
}

result<std::vector<std::uint8_t>> picture_bytes(const rgb_image& image, const picture_encoding& encoding) {
    switch (encoding.kind) {
        case picture_kind::png:
            return png_bytes(image);
        case picture_kind::jpeg:
            return jpeg_bytes(image, encoding.quality == 0 ? 90 : encoding.quality);
        case picture_kind::webp:
            return webp_bytes(image, encoding.quality);
        case picture_kind::ppm:
            return ppm_bytes(image);
    }
    return png_bytes(image);
}

}  // namespace zub
