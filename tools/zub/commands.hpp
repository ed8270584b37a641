// The zub tool's subcommands. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

namespace zub {

// Exit statuses of the tool.
inline constexpr int status_ok = 0;
inline constexpr int status_problem = 1;  // a problem with a document, or a refused input
inline constexpr int status_usage = 2;    // a wrong command line

int info_command(const std::string& path, bool json, const std::string& font_path);

int render_command(const std::string& path, const std::string& out_path, const std::string& font_path);

struct pack_options {
    std::string out_path;
    std::string size;  // WxH
    int depth = 32;
    std::string title;
    int font_size = 18;
    std::string image_path;
    std::vector<std::string> texts;  // "X,Y,#RRGGBB,TEXT"
    std::string texts_path;
};

int pack_command(const pack_options& options);

}  // namespace zub
