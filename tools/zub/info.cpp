// zub info: the header, caption, image and records of a document, and its problems.
#include <SDL.h>
#include <SDL_image.h>
#include <SDL_ttf.h>

#include <iostream>
#include <nlohmann/json.hpp>

#include "app/load_file.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/report.hpp"

namespace zub {

namespace {

nlohmann::json to_json(const std::string& path, const document_report& r) {
    nlohmann::json out;
    out["file"] = path;
    out["file_size"] = r.file_size;
    out["is_document"] = r.is_document;
    if (r.header) {
        const document_header& h = *r.header;
        out["header"] = {{"width", h.width},
                         {"height", h.height},
                         {"bits_per_pixel", h.bits_per_pixel},
                         {"font_size", h.font_size},
                         {"caption_length", h.caption_length},
                         {"record_count", h.record_count},
                         {"image_length", h.image_length}};
        out["caption"] = r.caption;
    }
    if (r.image) {
        out["image"] = {{"offset", r.image->offset},
                        {"length", r.image->length},
                        {"format", r.image->format},
                        {"width", r.image->width},
                        {"height", r.image->height}};
    }
    out["records"] = nlohmann::json::array();
    for (const record_report& rec : r.records) {
        out["records"].push_back({{"number", rec.number},
                                  {"offset", rec.offset},
                                  {"colour", rec.colour},
                                  {"x", rec.x},
                                  {"y", rec.y},
                                  {"length", rec.length},
                                  {"text", rec.text}});
    }
    out["problems"] = nlohmann::json::array();
    for (const problem& p : r.problems)
        out["problems"].push_back({{"offset", p.offset}, {"message", p.message}});
    return out;
}

void print_text(const std::string& path, const document_report& r) {
    std::cout << "file: " << path << " (" << r.file_size << " bytes)\n";
    if (r.header) {
        const document_header& h = *r.header;
        std::cout << "window: " << h.width << "x" << h.height << ", depth " << h.bits_per_pixel << "\n"
                  << "point size: " << h.font_size << "\n"
                  << "caption: " << h.caption_length << " bytes: \"" << r.caption << "\"\n";
    }
    if (r.image) {
        std::cout << "image: " << r.image->length << " bytes at offset " << r.image->offset;
        if (!r.image->format.empty()) std::cout << ", " << r.image->format;
        if (r.image->width > 0) std::cout << ", " << r.image->width << "x" << r.image->height << " pixels";
        std::cout << "\n";
    }
    if (r.header) std::cout << "records: " << r.header->record_count << "\n";
    for (const record_report& rec : r.records) {
        std::cout << "  " << rec.number << " at offset " << rec.offset << ": " << rec.colour << " at ("
                  << rec.x << ", " << rec.y << "), " << rec.length << " bytes: \"" << rec.text << "\"\n";
    }
    if (r.problems.empty()) {
        std::cout << "problems: none\n";
        return;
    }
    std::cout << "problems:\n";
    for (const problem& p : r.problems) std::cout << "  at offset " << p.offset << ": " << p.message << "\n";
}

}  // namespace

int info_command(const std::string& path, bool json, const std::string& font_path) {
    const auto loaded = load_file(path.c_str());
    if (const auto* error = std::get_if<std::string>(&loaded)) {
        std::cerr << "zub: " << path << ": " << *error << '\n';
        return status_problem;
    }
    // The image is decoded and the texts measured as the viewer would; no window opens.
    TTF_Init();
    const document_report report =
        inspect_document(std::get<document_buffer>(loaded).view(), font_path.c_str());
    TTF_Quit();
    if (json) {
        std::cout << to_json(path, report).dump(2) << '\n';
    } else {
        print_text(path, report);
    }
    return report.problems.empty() ? status_ok : status_problem;
}

}  // namespace zub
