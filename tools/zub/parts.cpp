#include "tools/zub/parts.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string_view>
#include <utility>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "document/strings.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/texts_file.hpp"

namespace zub {

namespace {

result<pack_start> start_from_document(const std::string& path) {
    pack_start start;
    result<file_bytes> loaded = read_input(path, document_bound());
    if (!loaded) return failure{path + ": " + loaded.why()};
    start.held = std::move(*loaded);
    const document doc = parse_document(start.held.view());
    if (!doc.is_document) return failure{path + ": not a ZUB document"};
    if (const problem* error = doc.error()) return failure{path + ": " + describe(*error)};
    say_unkept(path, doc);
    const document_header& h = doc.header;
    start.size = window_sides{h.width, h.height};
    start.depth = h.bits_per_pixel;
    start.font_size = h.font_size;
    start.caption.assign(doc.caption.begin(), doc.caption.end());
    start.image = doc.image;
    start.image_path = path;
    for (const text_record& r : doc.records)
        start.texts.push_back({r.red, r.green, r.blue, r.x, r.y, std::string(r.text.begin(), r.text.end())});
    start.inputs.push_back(path);
    return start;
}

// A whole number of the header file within [least, most].
result<std::int32_t> number_in(const nlohmann::json& header, const char* key, std::int64_t least,
                               std::int64_t most, std::int32_t otherwise) {
    if (!header.contains(key)) return otherwise;
    const nlohmann::json& value = header[key];
    if (!value.is_number_integer() || value.get<std::int64_t>() < least || value.get<std::int64_t>() > most) {
        return failure{std::string("\"") + key + "\" is not a whole number from " + std::to_string(least) +
                       " to " + std::to_string(most)};
    }
    return static_cast<std::int32_t>(value.get<std::int64_t>());
}

result<std::string> string_of(const nlohmann::json& header, const char* key) {
    if (!header.contains(key)) return std::string();
    if (!header[key].is_string()) return failure{std::string("\"") + key + "\" is not a string"};
    return header[key].get<std::string>();
}

// The title's bytes: its UTF-8 as written, or each character a byte for a Latin-1 title.
result<std::string> caption_of(const std::string& title, const std::string& encoding) {
    if (encoding.empty() || encoding == "utf-8") return title;
    if (encoding != "latin1") return failure{"\"title_encoding\" is not \"utf-8\" or \"latin1\""};
    std::string bytes;
    const auto codes = code_points(title);
    for (const std::uint32_t code : codes.value_or(std::vector<std::uint32_t>{})) {
        if (code > 0xFF) return failure{"the title has a character outside Latin-1, its \"title_encoding\""};
        bytes += static_cast<char>(code);
    }
    return bytes;
}

// Why any of `reads` failed, the first, or nothing.
template <class... T>
std::optional<std::string> first_failure(const result<T>&... reads) {
    std::optional<std::string> why;
    ((why = why ? why : (reads ? std::nullopt : std::optional<std::string>(reads.why()))), ...);
    return why;
}

// A file document.json names: a plain name of a file in `folder` (no '/', no "..", not a
// link that leads out of it), so that a folder from elsewhere cannot have pack read, or
// echo on stderr, a file outside it. Its path, or why not.
result<std::string> file_in_folder(const std::string& folder, const std::string& name, const char* key) {
    namespace fs = std::filesystem;
    const std::string refused =
        std::string("\"") + key + "\" must name a file in the folder, not " + zub::quoted(name);
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return failure{refused};
    const fs::path path = fs::path(folder) / name;
    std::error_code failed;
    if (fs::is_symlink(path, failed)) {
        const fs::path inside = fs::canonical(folder, failed);
        const fs::path target = fs::canonical(path, failed);
        if (failed) return path.string();  // a dangling link: reading it says why
        const auto [end, at] = std::mismatch(inside.begin(), inside.end(), target.begin(), target.end());
        if (end != inside.end())
            return failure{refused + " (a link to " + zub::quoted(target.string()) + ")"};
    }
    return path.string();
}

outcome read_header(const std::string& folder, pack_start& start) {
    const result<std::string> header_path = file_in_folder(folder, header_file_name, header_file_name);
    if (!header_path) return failure{folder + ": " + header_path.why()};
    const std::string& path = *header_path;
    const result<file_bytes> loaded =
        read_file(path, file_bound{1 << 20, "a document's header file", true, "the file"});
    if (!loaded) return failure{path + ": " + loaded.why()};
    start.inputs.push_back(path);
    const bytes_view bytes = loaded->view();
    const nlohmann::json header = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (header.is_discarded() || !header.is_object()) return failure{path + ": is not a JSON object"};
    static const std::set<std::string> keys{"width", "height",         "depth", "point_size",
                                            "title", "title_encoding", "image", "texts"};
    for (const auto& [key, value] : header.items()) {
        if (!keys.contains(key))
            return failure{path + ": \"" + terminal_safe(key) + "\" is not a field it takes"};
    }
    const auto width = number_in(header, "width", 0, max_window_side, 0);
    const auto height = number_in(header, "height", 0, max_window_side, 0);
    const auto depth = number_in(header, "depth", 0, 32, 32);
    const auto points = number_in(header, "point_size", 1, max_font_size, 18);
    const auto title = string_of(header, "title");
    const auto encoding = string_of(header, "title_encoding");
    const auto image = string_of(header, "image");
    const auto texts = string_of(header, "texts");
    if (const auto why = first_failure(width, height, depth, points, title, encoding, image, texts))
        return failure{path + ": " + *why};
    if (*depth != 0 && !exact_depth(*depth)) return failure{path + ": \"depth\" is not 0, 8, 16, 24 or 32"};
    if (header.contains("width") != header.contains("height"))
        return failure{path + ": \"width\" and \"height\" go together"};
    if (header.contains("width")) start.size = window_sides{*width, *height};
    start.depth = *depth;
    start.font_size = *points;
    const result<std::string> caption = caption_of(*title, *encoding);
    if (!caption) return failure{path + ": " + caption.why()};
    if (const outcome length = check_string_length(*caption, "the title"); !length)
        return failure{path + ": " + length.why()};
    start.caption = *caption;
    if (image->empty()) return failure{path + ": \"image\", the image's file, is missing"};
    const result<std::string> image_path = file_in_folder(folder, *image, "image");
    if (!image_path) return failure{path + ": " + image_path.why()};
    start.image_path = *image_path;
    if (!texts->empty()) {
        const result<std::string> texts_path = file_in_folder(folder, *texts, "texts");
        if (!texts_path) return failure{path + ": " + texts_path.why()};
        if (const outcome read = read_texts_file(*texts_path, start.texts, true); !read)
            return failure{read.why()};
        start.inputs.push_back(*texts_path);
    }
    return done{};
}

result<pack_start> start_from_folder(const std::string& folder) {
    pack_start start;
    if (const outcome read = read_header(folder, start); !read) return failure{read.why()};
    file_bound bound = embedded_image_bound();
    bound.regular_only = true;
    result<file_bytes> image = read_file(start.image_path, bound);
    if (!image) return failure{start.image_path + ": " + image.why()};
    start.held = std::move(*image);
    start.image = start.held.view();
    start.inputs.push_back(start.image_path);
    return start;
}

}  // namespace

void say_unkept(const std::string& path, const document& doc) {
    for (const problem& p : doc.problems) {
        const char* what = nullptr;
        switch (p.code) {
            case problem_code::unused_colour_bytes:
            case problem_code::unused_position_bytes:
                what = "the unused bytes of its slots are not kept (a written record has them zero)";
                break;
            case problem_code::bytes_after_last_record:
                what = "they are not kept (a written document ends with its last record)";
                break;
            case problem_code::record_past_end:
                what = "only the records that are there are kept";
                break;
            default:
                break;
        }
        if (what != nullptr) say(path, "warning: " + describe(p) + ": " + what);
    }
}

result<pack_start> read_pack_start(const std::string& path) {
    struct stat about {};
    if (path != "-" && stat(path.c_str(), &about) == 0 && S_ISDIR(about.st_mode))
        return start_from_folder(path);
    return start_from_document(path);
}

std::string image_extension(const std::string& format) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> known{{
        {"PNG", "png"},
        {"JPEG", "jpg"},
        {"GIF", "gif"},
        {"BMP", "bmp"},
        {"ICO", "ico"},
        {"CUR", "cur"},
        {"PNM", "pnm"},
        {"XCF", "xcf"},
        {"PCX", "pcx"},
        {"TIFF", "tif"},
        {"LBM", "lbm"},
        {"XPM", "xpm"},
        {"XV", "xv"},
        {"WEBP", "webp"},
    }};
    for (const auto& [name, extension] : known) {
        if (name == format) return std::string(extension);
    }
    return "bin";
}

}  // namespace zub
