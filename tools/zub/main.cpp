// zub: the companion tool of zub_reader. Inspects documents, renders them without a
// display, and writes new ones.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>

#include <unistd.h>

#include "document/strings.hpp"
#include "tools/stop_signals.hpp"
#include "tools/zub/batch.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/suggest.hpp"
#include "wall/composition.hpp"

#ifndef ZUB_VERSION
#define ZUB_VERSION "unknown"
#endif

namespace zub {

int usage_error(const std::string& command, const std::string& what) {
    const std::string name = command.empty() ? "zub" : "zub " + command;
    write_report_line(name + ": " + terminal_safe(what) + "; see '" + name + " --help'\n");
    return status_usage;
}

void say(const std::string& subject, const std::string& what) {
    write_report_line("zub: " + (subject.empty() ? "" : terminal_safe(subject) + ": ") + terminal_safe(what) +
                      '\n');
}

void say_once(const std::string& what) {
    static std::mutex lock;
    static std::set<std::string> said;
    {
        const std::lock_guard<std::mutex> held(lock);
        if (!said.insert(what).second) return;
    }
    say("", what);
}

int file_problem(const std::string& subject, const std::string& what) {
    say(subject, what);
    return status_problem;
}

}  // namespace zub

namespace {

using zub::usage_error;

using zub::closest;

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

// Every command's options, as the command line gives them.
struct command_line {
    CLI::App app{"zub: inspect, render and write ZUB documents, the documents zub_reader shows."};
    CLI::App* info = nullptr;
    CLI::App* render = nullptr;
    CLI::App* pack = nullptr;
    CLI::App* unpack = nullptr;

    zub::info_options info_options;

    zub::render_options render_options;
    std::vector<std::string> render_files;
    CLI::Option* quality_option = nullptr;
    std::string quality;
    CLI::Option* thumbnail_option = nullptr;
    std::string thumbnail_size;
    std::string desktop =
        std::to_string(zub::default_desktop_width) + "x" + std::to_string(zub::default_desktop_height);

    zub::pack_options pack_options;
    CLI::Option* text_option = nullptr;
    CLI::Option* texts_option = nullptr;
    std::vector<std::string> text_values;
    std::vector<std::string> texts_files;

    std::string unpack_path;
    std::string unpack_folder;
};

const char* const default_font_rule =
    "(default: Consola.ttf in the working directory, else beside the document, else the system's fixed-width "
    "face)";

// Every value is named in the help for what it takes (CLI11 would call each TEXT); the
// arguments name themselves.
void add_info(command_line& c) {
    c.info = c.app.add_subcommand("info", "Show what is inside a document and every problem with it.");
    zub::info_options& o = c.info_options;
    c.info->add_option("DOC", o.paths, "The documents (- for standard input)")->type_name("");
    c.info->add_flag("-r,--recursive", o.recursive,
                     "Inspect the documents (*.zub) in the folders given, and below");
    CLI::Option* json = c.info->add_flag(
        "--json", o.json, "Print one JSON object; with several documents, one a line (JSON Lines)");
    c.info
        ->add_flag("--texts", o.texts,
                   "Print only the texts, a line each as RECORD:TEXT (FILE:RECORD:TEXT with several "
                   "documents or -r), Latin-1 read, control characters as \\xHH")
        ->excludes(json);
    c.info->add_option("--font", o.font, std::string("The font to measure texts with ") + default_font_rule)
        ->type_name("PATH");
    c.info->footer(
        "Each problem has a severity: error (the viewer does not show the document), warning (it shows it "
        "without something), note (it shows it, but not as stored). Several documents are inspected on "
        "every core, with a progress bar when stderr is a terminal, and reported in the order given. Exit "
        "status: 0 when the viewer would show every document whole and as stored, 1 for one with problems "
        "or not a document, 2 for a wrong command line. With --texts: 0 when every document's records "
        "could all be read, 1 when one could not (its readable texts are printed, then its error).");
}

void add_render(command_line& c) {
    c.render =
        c.app.add_subcommand("render", "Compose the picture zub_reader shows and save it as a picture.");
    zub::render_options& o = c.render_options;
    c.render
        ->add_option(
            "DOC OUT", c.render_files,
            "The document (- for standard input) and the picture to write, .png, .jpg, .webp or .ppm (- "
            "for standard output); with -d, every DOC")
        ->type_name("");
    c.render
        ->add_option("-d,--output-dir", o.out_dir,
                     "Render every DOC given into this folder, each as its name with the format's extension")
        ->type_name("DIR");
    c.render->add_flag("-r,--recursive", o.recursive,
                       "With -d: render the documents (*.zub) in the folders given, and below, keeping the "
                       "sub-folders");
    c.render->add_option("--format", o.format, "png, jpeg, webp or ppm (default: OUT's extension, else png)")
        ->type_name("NAME");
    c.quality_option = c.render->add_option(
        "--quality", c.quality,
        "JPEG or lossy WebP quality, 1 to 100 (default: JPEG 90, WebP lossless; PNG and PPM are lossless)");
    c.quality_option->type_name("N");
    c.render->add_option("--font", o.font_path, std::string("The font ") + default_font_rule)
        ->type_name("PATH");
    c.thumbnail_option = c.render->add_option(
        "--size", c.thumbnail_size,
        "Scale the picture down to fit N x N pixels, keeping its proportions: a thumbnail");
    c.thumbnail_option->type_name("N");
    c.render
        ->add_option("--desktop", c.desktop,
                     "The desktop's size, WIDTHxHEIGHT, for a document whose width or height is 0 (default " +
                         c.desktop + ")")
        ->type_name("WxH");
}

void add_pack(command_line& c) {
    c.pack = c.app.add_subcommand("pack", "Write a document from an image, a title and texts.");
    zub::pack_options& o = c.pack_options;
    c.pack->add_option("-o,--output", o.out_path, "The document to write (required)")->type_name("OUT.zub");
    c.pack
        ->add_option("--from", o.from_path,
                     "Start from this document, or a folder zub unpack wrote: the options change only what "
                     "they name")
        ->type_name("DOC");
    c.pack
        ->add_option("--size", o.size,
                     "The window's size, WIDTHxHEIGHT (default: --from's, else the image's own)")
        ->type_name("WxH");
    c.pack
        ->add_option("--depth", o.depth,
                     "The window's colour depth: 0 (the display's), 8, 16, 24 or 32 (default 32)")
        ->type_name("N");
    c.pack->add_option("--title", o.title, "The window's title (UTF-8, stored as given)");
    c.pack->add_option("--font-size", o.font_size, "The point size of every text (default 18)")
        ->type_name("N");
    c.pack
        ->add_option("--image", o.image_path,
                     "The image painted at the top-left corner (required without --from)")
        ->type_name("FILE");
    c.pack
        ->add_option("--font", o.font_path,
                     std::string("The font to measure texts with, to note those outside the window ") +
                         default_font_rule)
        ->type_name("PATH");
    c.text_option = c.pack->add_option(
        "--text", c.text_values, "A text at X,Y in the colour #RRGGBB (UTF-8, Latin-1 characters only)");
    c.text_option->type_name("X,Y,#RRGGBB,TEXT");
    c.texts_option = c.pack->add_option(
        "--texts", c.texts_files,
        "A file of texts, one a line in the form of --text; empty lines and lines starting with # are "
        "skipped. Texts given replace --from's");
    c.texts_option->type_name("FILE");
    for (CLI::Option* repeated : {c.text_option, c.texts_option}) {
        repeated->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    }
    c.pack->footer(
        "Texts are stored, and drawn, in the order they are given. Exit status: 0 when written, "
        "1 for a problem with a file, 2 for a wrong command line.");
}

void add_unpack(command_line& c) {
    c.unpack = c.app.add_subcommand(
        "unpack", "Write a document's image, texts and header as files to edit, for zub pack --from.");
    c.unpack->add_option("DOC", c.unpack_path, "The document")->type_name("");
    c.unpack->add_option("DIR", c.unpack_folder, "The folder to write, new or empty")->type_name("");
    c.unpack->footer(
        "DIR gets the image as it is stored (image.png, image.jpg, ..., image.bin for a format that is not "
        "known), texts.txt (a --texts file) and document.json (the size, depth, title and point size). "
        "zub pack --from DIR -o OUT.zub writes the document again. Exit status: 0 when written, 1 for a "
        "problem with a file, 2 for a wrong command line.");
}

int run_info(const command_line& c) {
    if (c.info_options.paths.empty()) return usage_error("info", "the document to inspect, DOC, is missing");
    return zub::info_command(c.info_options);
}

int run_render(command_line& c) {
    const std::string name = "render";
    zub::render_options& o = c.render_options;
    // The positional words: DOC OUT, or with -d every one a document.
    const std::vector<std::string>& words = c.render_files;
    if (!o.out_dir.empty()) {
        if (words.empty()) return usage_error(name, "the documents to render, DOC..., are missing");
        o.paths = words;
    } else {
        if (o.recursive) return usage_error(name, "-r walks folders for -d DIR");
        if (words.empty()) return usage_error(name, "the document to render, DOC, is missing");
        if (words.size() == 1) return usage_error(name, "the picture to write, OUT, is missing");
        if (words.size() > 2) {
            return usage_error(name, "unexpected argument " + zub::quoted(words[2], '\'') +
                                         ": several documents are rendered with -d DIR");
        }
        o.path = words[0];
        o.out_path = words[1];
    }
    if (c.quality_option->count() > 0) {
        const auto quality = zub::whole_number(c.quality);
        if (!quality || *quality < 1 || *quality > 100)
            return usage_error(
                name, "--quality " + zub::quoted(c.quality, '\'') + " is not a whole number from 1 to 100");
        o.quality = static_cast<int>(*quality);
    }
    if (c.thumbnail_option->count() > 0) {
        const auto size = zub::whole_number(c.thumbnail_size);
        if (!size || *size < 1 || *size > 16384)
            return usage_error(name, "--size " + zub::quoted(c.thumbnail_size, '\'') +
                                         " is not a whole number from 1 to 16384");
        o.size = static_cast<int>(*size);
    }
    const auto sides = zub::sides_of(c.desktop);
    if (!sides || sides->width < 1 || sides->height < 1) {
        return usage_error(name, "--desktop " + zub::quoted(c.desktop, '\'') +
                                     " is not WIDTHxHEIGHT with each side from 1 to 16384");
    }
    o.desktop_width = sides->width;
    o.desktop_height = sides->height;
    return zub::render_command(o);
}

int run_pack(command_line& c) {
    zub::pack_options& o = c.pack_options;
    if (o.out_path.empty()) return usage_error("pack", "-o is required");
    // --text and --texts in the order they were given: later texts are drawn on top.
    std::size_t next_text = 0;
    std::size_t next_file = 0;
    for (const CLI::Option* option : c.pack->parse_order()) {
        if (option == c.text_option && next_text < c.text_values.size()) {
            o.texts.push_back({false, c.text_values[next_text++]});
        } else if (option == c.texts_option && next_file < c.texts_files.size()) {
            o.texts.push_back({true, c.texts_files[next_file++]});
        }
    }
    return zub::pack_command(o);
}

int run_unpack(const command_line& c) {
    if (c.unpack_path.empty()) return usage_error("unpack", "the document to unpack, DOC, is missing");
    if (c.unpack_folder.empty()) return usage_error("unpack", "the folder to write, DIR, is missing");
    return zub::unpack_command(c.unpack_path, c.unpack_folder);
}

// "--" ends the options: the words after it are arguments, even when they start with '-'.
std::vector<std::string> remaining(const CLI::App& of) {
    std::vector<std::string> extras = of.remaining();
    extras.erase(std::remove(extras.begin(), extras.end(), "--"), extras.end());
    return extras;
}

int run(int argc, char* argv[]) {
    command_line c;
    CLI::App& app = c.app;
    app.set_version_flag("--version", std::string("zub ") + ZUB_VERSION);
    app.allow_extras();
    // An option given twice takes its last value, as in most tools; the commands inherit this.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.footer(
        "Exit status: 0 on success, 1 for a problem with a document or another file, 2 for a wrong command "
        "line.");
    add_info(c);
    add_render(c);
    add_pack(c);
    add_unpack(c);
    const std::vector<std::string> commands{"info", "render", "pack", "unpack"};
    for (CLI::App* command : {c.info, c.render, c.pack, c.unpack}) command->allow_extras();

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

    const auto parsed = app.get_subcommands();
    if (parsed.empty()) {
        const auto extras = remaining(app);
        if (!extras.empty()) return unexpected(app, "", extras.front(), commands);
        return usage_error("", "a command is required: info, render, pack or unpack");
    }
    // Only the first word can be a command: anything after the command's own words is its.
    const CLI::App& command = *parsed.front();
    if (const auto extras = remaining(command); !extras.empty()) {
        return unexpected(command, command.get_name(), extras.front(), commands);
    }
    if (const auto extras = remaining(app); !extras.empty())
        return unexpected(app, "", extras.front(), commands);
    if (&command == c.info) return run_info(c);
    if (&command == c.render) return run_render(c);
    if (&command == c.unpack) return run_unpack(c);
    return run_pack(c);
}

}  // namespace

int main(int argc, char* argv[]) {
    // Reports are written at the end in one piece, so that a failed write is seen with
    // its reason.
    // Before SDL starts, which then leaves these signals to this program.
    zub::end_on_stop_signals();
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
