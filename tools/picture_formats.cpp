#include "tools/picture_formats.hpp"

#include <array>
#include <cctype>

namespace zub {

namespace {

struct picture_format {
    std::string_view name;
    std::string_view file;                       // what a file of it is, in a message
    std::array<std::string_view, 4> extensions;  // the usual one first
    bool written;                                // zub render writes it
};

// Every format here but the ones zub render writes is refused as an output's extension.
constexpr std::array formats{
    picture_format{"PNG", "a PNG picture", {"png"}, true},
    picture_format{"JPEG", "a JPEG picture", {"jpg", "jpeg", "jpe", "jfif"}, true},
    picture_format{"WebP", "a WebP picture", {"webp"}, true},
    picture_format{"GIF", "a GIF picture", {"gif"}, false},
    picture_format{"BMP", "a BMP picture", {"bmp", "dib"}, false},
    picture_format{"TIFF", "a TIFF picture", {"tif", "tiff"}, false},
    picture_format{"TGA", "a TGA picture", {"tga"}, false},
    picture_format{"PPM", "a PPM picture", {"ppm", "pnm"}, true},
    picture_format{"PNM", "a PNM picture", {"pgm", "pbm"}, false},
    picture_format{"PAM", "a PAM picture", {"pam"}, false},
    picture_format{"PCX", "a PCX picture", {"pcx"}, false},
    picture_format{"XPM", "an XPM picture", {"xpm"}, false},
    picture_format{"XBM", "an XBM picture", {"xbm"}, false},
    picture_format{"XCF", "an XCF picture", {"xcf"}, false},
    picture_format{"ICO", "an ICO picture", {"ico", "cur"}, false},
    picture_format{"ILBM", "an ILBM picture", {"lbm", "iff", "ilbm"}, false},
    picture_format{"SVG", "an SVG picture", {"svg", "svgz"}, false},
    picture_format{"AVIF", "an AVIF picture", {"avif"}, false},
    picture_format{"HEIF", "a HEIF picture", {"heic", "heif"}, false},
    picture_format{"JPEG XL", "a JPEG XL picture", {"jxl"}, false},
    picture_format{"JPEG 2000", "a JPEG 2000 picture", {"jp2", "j2k"}, false},
    picture_format{"QOI", "a QOI picture", {"qoi"}, false},
    picture_format{"OpenEXR", "an OpenEXR picture", {"exr"}, false},
    picture_format{"PSD", "a PSD picture", {"psd"}, false},
    picture_format{"ZUB", "a ZUB document", {"zub"}, false},
};

}  // namespace

std::string file_extension(std::string_view path) {
    const std::string_view name = path.substr(path.rfind('/') + 1);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

std::optional<std::string> unwritten_format(std::string_view path) {
    const std::string extension = file_extension(path);
    if (extension.empty()) return std::nullopt;
    for (const picture_format& format : formats) {
        for (const std::string_view known : format.extensions) {
            if (!known.empty() && known == extension) {
                if (format.written) return std::nullopt;
                return std::string(format.file);
            }
        }
    }
    return std::nullopt;
}

std::string written_formats() {
    std::string list;
    for (const picture_format& format : formats) {
        if (!format.written) continue;
        if (!list.empty()) list += ", ";
        list += format.name;
        const char* separator = " (";
        for (const std::string_view extension : format.extensions) {
            if (extension.empty()) continue;
            list += separator;
            list += '.';
            list += extension;
            separator = ", ";
        }
        list += ')';
    }
    return list;
}

}  // namespace zub
