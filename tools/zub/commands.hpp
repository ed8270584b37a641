// The zub tool's subcommands. Each returns the process's exit status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/limits.hpp"
#include "files/read_file.hpp"

namespace zub {

// Exit statuses of the tool.
inline constexpr int status_ok = 0;
inline constexpr int status_problem = 1;  // a problem with a document or another file
inline constexpr int status_usage = 2;    // a wrong command line

// The tool's one voice on stderr: "zub: SUBJECT: what", SUBJECT a file (or nothing).
void say(const std::string& subject, const std::string& what);

// Says `what` once a run, however many documents give it ("zub: what").
void say_once(const std::string& what);

// Reports a problem with a file, and gives status 1.
int file_problem(const std::string& subject, const std::string& what);

// Reports a wrong command line in one line, "zub: ..." or "zub COMMAND: ...", with a
// pointer to the help, and gives status 2. `command` is empty for the tool itself.
int usage_error(const std::string& command, const std::string& what);

// A word of the command line as a message shows it: in quotes, with control characters
// (a zero byte, a line break, an escape sequence, C1 among them) and bytes that are not
// UTF-8 as \xHH, so that they do not reach the terminal.
std::string quoted(std::string_view entry, char quote = '"');

// A whole number, all of `text`, or nothing.
std::optional<long> whole_number(std::string_view text);

// "WIDTHxHEIGHT", each side from 0 to the largest window's.
struct window_sides {
    int width = 0;
    int height = 0;
};
std::optional<window_sides> sides_of(std::string_view text);

// The file at `path`, or standard input for "-", read whole within `bound`.
result<file_bytes> read_input(const std::string& path, const file_bound& bound);

// The path an input or output named "-" stands for, standard input's or standard
// output's, for the checks that an output is not an input; any other path as it is.
std::string input_path(const std::string& path);
std::string output_path(const std::string& path);

struct info_options {
    std::vector<std::string> paths;  // documents ("-": standard input), or folders with `recursive`
    bool recursive = false;
    bool json = false;
    bool texts = false;  // only the records' texts, a line each
    std::string font;    // --font's value, or empty for the tools' rule (see tools/font_lookup.hpp)
};
int info_command(const info_options& options);

struct render_options {
    std::string path;  // one document, rendered to `out_path` ("-": standard output)
    std::string out_path;
    std::vector<std::string> paths;  // with `out_dir`: every document, or folder with `recursive`
    std::string out_dir;             // -d
    bool recursive = false;
    std::string format;                         // --format, or empty: by the output's extension, else PNG
    int quality = 0;                            // --quality, or 0: the format's default
    std::string font_path;                      // --font, or empty
    int size = 0;                               // a thumbnail's largest side, or 0 for the whole picture
    int desktop_width = default_desktop_width;  // a side of 0 takes the desktop's
    int desktop_height = default_desktop_height;
};
int render_command(const render_options& options);

// A text of the document to write, as given: a --text value or a --texts file.
struct text_source {
    bool from_file = false;
    std::string value;
};

struct pack_options {
    std::string out_path;
    std::string from_path;  // --from: a document, or a folder zub unpack wrote; or empty
    // What the command line names; the rest comes from --from, else the defaults (a
    // depth of 32, 18 points, no title, the image's own size).
    std::optional<std::string> size;  // WxH
    std::optional<std::string> depth;
    std::optional<std::string> title;
    std::optional<std::string> font_size;
    std::string font_path;           // --font, to measure the texts with, or empty
    std::string image_path;          // empty: --from's
    std::vector<text_source> texts;  // in the order of the command line; none: --from's
};

int pack_command(const pack_options& options);

// Writes the parts of the document at `path` into the folder `folder`, which must not
// exist or be empty (see parts.hpp).
int unpack_command(const std::string& path, const std::string& folder);

}  // namespace zub
