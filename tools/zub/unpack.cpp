// zub unpack: a document's parts as files a person can edit, which zub pack --from
// reads back into the same document.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>

#include "document/image_probe.hpp"
#include "document/strings.hpp"
#include "files/descriptor.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/parts.hpp"
#include "tools/zub/texts_file.hpp"

namespace zub {

namespace {

// A string as the viewer shows it: up to its first zero byte, at most 255 bytes. What
// is cut is said, as it is not kept.
std::string shown_part(bytes_view stored, const std::string& path, const std::string& what) {
    std::string_view text(reinterpret_cast<const char*>(stored.data()), stored.size());
    const std::size_t zero = text.find('\0');
    if (zero != std::string_view::npos) {
        say(path, "warning: " + what + " has a zero byte at byte " + std::to_string(zero + 1) +
                      "; what follows it is not shown, and not kept");
        text = text.substr(0, zero);
    }
    if (text.size() > max_string_length) {
        say(path, "warning: " + what + " is " + std::to_string(text.size()) +
                      " bytes long; past the 255 that are shown it is not kept");
        text = text.substr(0, max_string_length);
    }
    return std::string(text);
}

// Why the document's fields cannot be written by zub pack, or nothing.
std::optional<std::string> unwritable(const document& doc) {
    const document_header& h = doc.header;
    if (h.bits_per_pixel != 0 && !exact_depth(h.bits_per_pixel)) {
        return "its depth, " + std::to_string(h.bits_per_pixel) +
               ", is not one zub pack writes (0, 8, 16, 24 or 32)";
    }
    if (h.font_size < 1 || h.font_size > max_font_size) {
        return "its point size, " + std::to_string(h.font_size) + ", is not one zub pack writes (1 to 16384)";
    }
    return std::nullopt;
}

// A new file in the folder; never one that is there.
outcome write_new(const std::string& path, std::string_view bytes) {
    const descriptor file{open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666)};
    if (file.fd < 0) return failure{path + ": cannot create the file: " + std::strerror(errno)};
    while (!bytes.empty()) {
        const ssize_t n = write(file.fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return failure{path + ": cannot write the file: " + std::strerror(errno)};
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (fsync(file.fd) != 0 && errno != EINVAL)
        return failure{path + ": cannot write the file: " + std::strerror(errno)};
    return done{};
}

// The folder, made or found empty: status 0; else why not is said, and the status.
int make_folder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0777) == 0) return status_ok;
    const int error = errno;
    if (error != EEXIST)
        return file_problem(folder, std::string("cannot make the folder: ") + std::strerror(error));
    const std::unique_ptr<DIR, int (*)(DIR*)> listing{opendir(folder.c_str()), closedir};
    if (!listing)
        return usage_error("unpack", folder + " is there and is not a folder zub unpack can write into");
    while (const dirent* entry = readdir(listing.get())) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            return usage_error("unpack",
                               folder + " is not empty: zub unpack writes into a new or empty folder");
    }
    return status_ok;
}

}  // namespace

int unpack_command(const std::string& path, const std::string& folder) {
    const result<file_bytes> loaded = read_input(path, document_bound());
    if (!loaded) return file_problem(path, loaded.why());
    const document doc = parse_document(loaded->view());
    if (!doc.is_document) return file_problem(path, "not a ZUB document");
    if (const problem* error = doc.error()) return file_problem(path, describe(*error));
    if (const auto why = unwritable(doc)) return file_problem(path, "cannot be unpacked: " + *why);

    std::string texts = "# The texts, one a line: X,Y,COLOUR,TEXT (the text is the rest of the line)\n";
    for (std::size_t i = 0; i < doc.records.size(); ++i) {
        const text_record& r = doc.records[i];
        const std::string what = "record " + std::to_string(i + 1) + "'s text";
        const std::string text = shown_part(r.text, path, what);
        const result<std::string> line = text_line({r.red, r.green, r.blue, r.x, r.y, text});
        if (!line)
            return file_problem(path,
                                "cannot be unpacked: record " + std::to_string(i + 1) + ": " + line.why());
        texts += *line + "\n";
    }
    say_unkept(path, doc);

    const std::string caption = shown_part(doc.caption, path, "the caption");
    const auto probed = probe_image_size(doc.image);
    const std::string image_name = "image." + image_extension(probed ? probed->format : "");
    nlohmann::ordered_json header;
    header["width"] = doc.header.width;
    header["height"] = doc.header.height;
    header["depth"] = doc.header.bits_per_pixel;
    header["point_size"] = doc.header.font_size;
    if (code_points(caption)) {
        header["title"] = caption;
    } else {
        header["title"] =
            latin1_to_utf8(bytes_view(reinterpret_cast<const std::uint8_t*>(caption.data()), caption.size()));
        header["title_encoding"] = "latin1";
    }
    header["image"] = image_name;
    header["texts"] = texts_file_name;

    if (const int made = make_folder(folder); made != status_ok) return made;
    const std::string json = header.dump(2) + "\n";
    const std::string_view image(reinterpret_cast<const char*>(doc.image.data()), doc.image.size());
    for (const auto& [name, bytes] : {std::pair<std::string, std::string_view>{image_name, image},
                                      {texts_file_name, texts},
                                      {header_file_name, json}}) {
        if (const outcome written = write_new(folder + "/" + name, bytes); !written)
            return file_problem("", written.why());
    }
    return status_ok;
}

}  // namespace zub
