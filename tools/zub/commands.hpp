// The zub tool's subcommands. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

namespace zub {

// Exit statuses of the tool.
inline constexpr int status_ok = 0;
inline constexpr int status_problem = 1;  // a problem with a document or another file
inline constexpr int status_usage = 2;    // a wrong command line

// The tool's one voice on stderr: "zub: SUBJECT: what", SUBJECT a file (or nothing).
void say(const std::string& subject, const std::string& what);

// Reports a problem with a file, and gives status 1.
int file_problem(const std::string& subject, const std::string& what);

// Reports a wrong command line in one line, "zub: ..." or "zub COMMAND: ...", with a
// pointer to the help, and gives status 2. `command` is empty for the tool itself.
int usage_error(const std::string& command, const std::string& what);

int info_command(const std::string& path, bool json, const std::string& font_path);

struct render_options {
    std::string path;
    std::string out_path;
    std::string font_path = "Consola.ttf";
    bool font_named = false;  // --font was given
};
int render_command(const render_options& options);

// A text of the document to write, as given: a --text value or a --texts file.
struct text_source {
    bool from_file = false;
    std::string value;
};

struct pack_options {
    std::string out_path;
    std::string size;  // WxH
    std::string depth = "32";
    std::string title;
    std::string font_size = "18";
    std::string image_path;
    std::vector<text_source> texts;  // in the order of the command line
};

int pack_command(const pack_options& options);

}  // namespace zub
