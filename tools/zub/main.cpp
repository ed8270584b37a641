// zub: the companion tool of zub_reader. Inspects documents, renders them without a
// display, and writes new ones.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>

#include <unistd.h>

#include "document/strings.hpp"
#include "tools/zub/commands.hpp"
#include "view/compose.hpp"

#ifndef ZUB_VERSION
#define ZUB_VERSION "unknown"
#endif

namespace zub {

int usage_error(const std::string& command, const std::string& what) {
    const std::string name = command.empty() ? "zub" : "zub " + command;
    std::cerr << name << ": " << terminal_safe(what) << "; see '" << name << " --help'\n";
    return status_usage;
}

void say(const std::string& subject, const std::string& what) {
    std::cerr << "zub: " << (subject.empty() ? "" : terminal_safe(subject) + ": ") << terminal_safe(what)
              << '\n';
}

int file_problem(const std::string& subject, const std::string& what) {
    say(subject, what);
    return status_problem;
}

}  // namespace zub

namespace {

using zub::usage_error;

// Edits (insertions, deletions, changes and swaps of neighbours) between two words.
std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The known word closest to `word`, when it is a typing slip away.
std::optional<std::string> closest(const std::string& word, const std::vector<std::string>& known) {
    std::optional<std::string> best;
    std::size_t best_distance = 3;
    for (const std::string& candidate : known) {
        const std::size_t distance = edit_distance(word, candidate);
        // Short names are all a slip or two from each other: no guesses among them.
        if (distance < best_distance && distance + 1 < candidate.size()) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

std::vector<std::string> option_names(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
        for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
    return names;
}

// An argument the command does not take: an unknown option, command or extra word.
int unexpected(const CLI::App& app, const std::string& command, const std::string& word,
               const std::vector<std::string>& commands) {
    const bool is_option = word.size() > 1 && word[0] == '-';
    const std::string name = is_option ? word.substr(0, word.find('=')) : word;
    std::string what;
    std::optional<std::string> suggestion;
    if (is_option) {
        what = "unknown option '" + name + "'";
        suggestion = closest(name, option_names(app));
    } else if (command.empty()) {
        what = "unknown command '" + name + "'";
        suggestion = closest(name, commands);
    } else {
        what = "unexpected argument '" + name + "'";
    }
    if (suggestion) what += " (did you mean '" + *suggestion + "'?)";
    return usage_error(command, what);
}

// CLI11's own reasons, for what the checks below do not catch first.
int parse_error(const CLI::ParseError& e, const std::string& command) {
    std::string what = e.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && what.starts_with("-")) {
        return usage_error(command, "'" + what.substr(0, what.find(':')) + "' needs a value");
    }
    if (!what.empty() && what.back() == '\n') what.pop_back();
    return usage_error(command, what);
}

int run(int argc, char* argv[]) {
    CLI::App app{"zub: inspect, render and write ZUB documents, the documents zub_reader shows."};
    app.set_version_flag("--version", std::string("zub ") + ZUB_VERSION);
    app.allow_extras();
    // An option given twice takes its last value, as in most tools; the commands inherit this.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.footer(
        "Exit status: 0 on success, 1 for a problem with a document or another file, 2 for a wrong command "
        "line.");

    // Every value is named in the help for what it takes (CLI11 would call each TEXT); the
    // arguments name themselves.
    std::string path;
    bool json = false;
    std::string info_font;
    CLI::App* info = app.add_subcommand("info", "Show what is inside a document and every problem with it.");
    info->add_option("FILE", path, "The document")->type_name("");
    info->add_flag("--json", json, "Print one JSON object");
    CLI::Option* info_font_option = info->add_option(
        "--font", info_font,
        "The font to measure texts with (default: Consola.ttf in the working directory, else "
        "beside the document, else the system's fixed-width face)");
    info_font_option->type_name("PATH");
    info->footer(
        "Each problem has a severity: error (the viewer does not show the document), warning (it shows it "
        "without something), note (it shows it, but not as stored). Exit status: 0 when the viewer would "
        "show the document whole and as stored, 1 for one with problems or not a document, 2 for a wrong "
        "command line.");

    zub::render_options render;
    CLI::App* render_cmd =
        app.add_subcommand("render", "Compose the picture zub_reader shows and save it as a PNG.");
    render_cmd->add_option("FILE", render.path, "The document")->type_name("");
    render_cmd->add_option("OUT.png", render.out_path, "The PNG to write")->type_name("");
    CLI::Option* render_font = render_cmd->add_option(
        "--font", render.font_path,
        "The font (default: Consola.ttf in the working directory, else beside the document, else the "
        "system's fixed-width face)");
    render_font->type_name("PATH");
    std::string thumbnail_size;
    CLI::Option* thumbnail_option = render_cmd->add_option(
        "--size", thumbnail_size,
        "Scale the picture down to fit N x N pixels, keeping its proportions: a thumbnail");
    thumbnail_option->type_name("N");
    std::string desktop =
        std::to_string(zub::default_desktop_width) + "x" + std::to_string(zub::default_desktop_height);
    render_cmd
        ->add_option("--desktop", desktop,
                     "The desktop's size, WIDTHxHEIGHT, for a document whose width or height is 0 (default " +
                         desktop + ")")
        ->type_name("WxH");

    zub::pack_options pack;
    CLI::App* pack_cmd = app.add_subcommand("pack", "Write a document from an image, a title and texts.");
    pack_cmd->add_option("-o,--output", pack.out_path, "The document to write (required)")
        ->type_name("OUT.zub");
    pack_cmd->add_option("--size", pack.size, "The window's size, WIDTHxHEIGHT (required)")->type_name("WxH");
    pack_cmd
        ->add_option("--depth", pack.depth,
                     "The window's colour depth: 0 (the display's), 8, 16, 24 or 32 (default 32)")
        ->type_name("N");
    pack_cmd->add_option("--title", pack.title, "The window's title (UTF-8, stored as given)");
    pack_cmd->add_option("--font-size", pack.font_size, "The point size of every text (default 18)")
        ->type_name("N");
    pack_cmd->add_option("--image", pack.image_path, "The image painted at the top-left corner (required)")
        ->type_name("FILE");
    pack_cmd
        ->add_option(
            "--font", pack.font_path,
            "The font to measure texts with, to note those outside the window (default: Consola.ttf in "
            "the working directory, else beside the document, else the system's fixed-width face)")
        ->type_name("PATH");
    std::vector<std::string> text_values;
    std::vector<std::string> texts_files;
    CLI::Option* text_option = pack_cmd->add_option(
        "--text", text_values, "A text at X,Y in the colour #RRGGBB (UTF-8, Latin-1 characters only)");
    text_option->type_name("X,Y,#RRGGBB,TEXT");
    CLI::Option* texts_option = pack_cmd->add_option(
        "--texts", texts_files,
        "A file of texts, one a line in the form of --text; empty lines and lines starting with # are "
        "skipped");
    texts_option->type_name("FILE");
    for (CLI::Option* repeated : {text_option, texts_option}) {
        repeated->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    pack_cmd->footer(
        "Texts are stored, and drawn, in the order they are given. Exit status: 0 when written, "
        "1 for a problem with a file, 2 for a wrong command line.");

    const std::vector<std::string> commands{"info", "render", "pack"};
    for (CLI::App* command : {info, render_cmd, pack_cmd}) command->allow_extras();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        const auto parsed = app.get_subcommands();
        return parse_error(e, parsed.empty() ? "" : parsed.front()->get_name());
    }

    // "--" ends the options: the words after it are arguments, even when they start with '-'.
    const auto remaining = [](const CLI::App& of) {
        std::vector<std::string> extras = of.remaining();
        extras.erase(std::remove(extras.begin(), extras.end(), "--"), extras.end());
        return extras;
    };
    const auto parsed = app.get_subcommands();
    if (parsed.empty()) {
        const auto extras = remaining(app);
        if (!extras.empty()) return unexpected(app, "", extras.front(), commands);
        return usage_error("", "a command is required: info, render or pack");
    }
    // Only the first word can be a command: anything after the command's own words is its.
    const CLI::App& command = *parsed.front();
    const std::string name = command.get_name();
    if (const auto extras = remaining(command); !extras.empty()) {
        return unexpected(command, name, extras.front(), commands);
    }
    if (const auto extras = remaining(app); !extras.empty()) {
        return unexpected(app, "", extras.front(), commands);
    }

    if (name == "info") {
        if (path.empty()) return usage_error(name, "the document to inspect, FILE, is missing");
        return zub::info_command(path, json, info_font);
    }
    if (name == "render") {
        if (render.path.empty()) return usage_error(name, "the document to render, FILE, is missing");
        if (render.out_path.empty()) return usage_error(name, "the PNG to write, OUT.png, is missing");
        if (thumbnail_option->count() > 0) {
            const auto size = zub::whole_number(thumbnail_size);
            if (!size || *size < 1 || *size > 16384)
                return usage_error(name, "--size " + zub::quoted(thumbnail_size, '\'') +
                                             " is not a whole number from 1 to 16384");
            render.size = static_cast<int>(*size);
        }
        const auto sides = zub::sides_of(desktop);
        if (!sides || sides->width < 1 || sides->height < 1) {
            return usage_error(name, "--desktop " + zub::quoted(desktop, '\'') +
                                         " is not WIDTHxHEIGHT with each side from 1 to 16384");
        }
        render.desktop_width = sides->width;
        render.desktop_height = sides->height;
        return zub::render_command(render);
    }
    for (const auto& [value, option] : {std::pair{&pack.out_path, "-o"}, std::pair{&pack.size, "--size"},
                                        std::pair{&pack.image_path, "--image"}}) {
        if (value->empty()) return usage_error(name, std::string(option) + " is required");
    }
    // --text and --texts in the order they were given: later texts are drawn on top.
    std::size_t next_text = 0;
    std::size_t next_file = 0;
    for (const CLI::Option* option : command.parse_order()) {
        if (option == text_option && next_text < text_values.size()) {
            pack.texts.push_back({false, text_values[next_text++]});
        } else if (option == texts_option && next_file < texts_files.size()) {
            pack.texts.push_back({true, texts_files[next_file++]});
        }
    }
    return zub::pack_command(pack);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Reports are written at the end in one piece, so that a failed write is seen with
    // its reason.
    static char output_buffer[1 << 16];
    if (isatty(STDOUT_FILENO) == 0) (void)std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
    int status = zub::status_problem;
    try {
        status = run(argc, argv);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        zub::say("", e.what());
    }
    // What was printed must have arrived: a report cut short is not a success.
    errno = 0;
    std::cout.flush();
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0 || !std::cout) {
        return zub::file_problem(
            "", std::string("cannot write the standard output: ") + std::strerror(errno != 0 ? errno : EIO));
    }
    return status;
}
