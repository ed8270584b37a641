// zub: the companion tool of zub_reader. Inspects documents, renders them without a
// display, and writes new ones.
#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "tools/zub/commands.hpp"

#ifndef ZUB_VERSION
#define ZUB_VERSION "unknown"
#endif

namespace {

int run(int argc, char* argv[]) {
    CLI::App app{"zub: inspect, render and write ZUB documents, the documents zub_reader shows."};
    app.set_version_flag("--version", std::string("zub ") + ZUB_VERSION);
    app.require_subcommand(1);

    std::string path;
    std::string font_path = "Consola.ttf";

    bool json = false;
    CLI::App* info = app.add_subcommand("info", "Show what is inside a document and every problem with it.");
    info->add_option("FILE", path, "The document")->required();
    info->add_flag("--json", json, "Print one JSON object");
    info->add_option("--font", font_path, "The font to measure texts with (default: Consola.ttf here)");
    info->footer(
        "Exit status: 0 for a clean document, 1 for one with problems or not a document, 2 for a wrong "
        "command line.");

    std::string out_path;
    CLI::App* render =
        app.add_subcommand("render", "Compose the picture zub_reader shows and save it as a PNG.");
    render->add_option("FILE", path, "The document")->required();
    render->add_option("OUT.png", out_path, "The PNG to write")->required();
    render->add_option("--font", font_path, "The font (default: Consola.ttf in the working directory)");

    zub::pack_options pack;
    CLI::App* pack_cmd = app.add_subcommand("pack", "Write a document from an image, a title and texts.");
    pack_cmd->add_option("-o,--output", pack.out_path, "The document to write")->required();
    pack_cmd->add_option("--size", pack.size, "The window's size, WIDTHxHEIGHT")->required();
    pack_cmd
        ->add_option("--depth", pack.depth, "The window's colour depth: 0 (the display's), 8, 16, 24 or 32")
        ->default_val(32);
    pack_cmd->add_option("--title", pack.title, "The window's title (UTF-8, stored as given)");
    pack_cmd->add_option("--font-size", pack.font_size, "The point size of every text")->default_val(18);
    pack_cmd->add_option("--image", pack.image_path, "The image painted at the top-left corner")->required();
    pack_cmd->add_option("--text", pack.texts,
                         "A text, \"X,Y,#RRGGBB,TEXT\" (UTF-8, Latin-1 characters only)");
    pack_cmd->add_option("--texts", pack.texts_path, "A file of texts, one a line, in the form of --text");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        (void)app.exit(e);
        return zub::status_usage;
    }

    if (info->parsed()) return zub::info_command(path, json, font_path);
    if (render->parsed()) return zub::render_command(path, out_path, font_path);
    return zub::pack_command(pack);
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "zub: " << e.what() << '\n';
        return zub::status_problem;
    }
}
