// A document's parts as files a person can edit: the folder zub unpack writes, which
// zub pack --from reads back, and the fields zub pack --from starts from.
//
// The folder holds the embedded image as it is stored (image.png, image.jpg, ... by its
// format; image.bin when it is none the viewer knows), the texts as a --texts file
// (texts.txt) and the header in document.json:
//
//   {"width": 800, "height": 600, "depth": 32, "point_size": 18, "title": "...",
//    "image": "image.png", "texts": "texts.txt"}
//
// "title_encoding": "latin1" stands beside a title whose stored bytes are Latin-1, not
// UTF-8, so that it is stored again as the same bytes. "image" and "texts" name files in
// the folder.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/result.hpp"
#include "document/writer.hpp"
#include "files/read_file.hpp"
#include "tools/zub/commands.hpp"

namespace zub {

inline constexpr const char* header_file_name = "document.json";
inline constexpr const char* texts_file_name = "texts.txt";

// What a document, or a folder unpack wrote, gives zub pack --from.
struct pack_start {
    std::optional<window_sides> size;  // none when nothing gives one
    std::int32_t depth = 32;
    std::int32_t font_size = 18;
    std::string caption;  // the bytes to store
    file_bytes held;      // the document's or the image file's bytes
    bytes_view image;     // in `held`; empty when nothing gives one
    std::string image_path;
    std::vector<text_to_write> texts;
    std::vector<std::string> inputs;  // the files read, which the output must not be
};

// The fields of the document or folder at `path`, or why they cannot be read. What the
// document holds that a written document cannot (bytes in the unused parts of a record's
// slots or after the last record) is said, as a warning, with `path`.
result<pack_start> read_pack_start(const std::string& path);

// Says, as warnings, what of the document at `path` a written document cannot hold
// (bytes in the unused parts of a record's slots, after the last record, records cut).
void say_unkept(const std::string& path, const document& doc);

// The file extension of an embedded image of this format ("PNG" gives "png"), "bin" for
// a format that is not known.
std::string image_extension(const std::string& format);

}  // namespace zub
