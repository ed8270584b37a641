#include "tools/font_lookup.hpp"

#include <fontconfig/fontconfig.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string_view>

#include "document/limits.hpp"
#include "files/read_file.hpp"

namespace zub {

namespace {

using pattern_handle = std::unique_ptr<FcPattern, void (*)(FcPattern*)>;

// fontconfig told only where the system's fonts are: no configuration file of the
// machine's or the user's and no variable changes the choice, so that it is the same in a
// desktop session, under an empty environment and in a sandbox that shows /usr alone.
constexpr const char* fixed_configuration = R"(<?xml version="1.0"?>
<fontconfig><dir>/usr/share/fonts</dir><cachedir>/var/cache/fontconfig</cachedir></fontconfig>)";

// Of the fixed-width upright regular faces in the system's font folder, a TrueType one
// first, then by path: the same choice wherever the same fonts are installed.
std::string first_fixed_width_face() {
    const std::unique_ptr<FcConfig, void (*)(FcConfig*)> config{FcConfigCreate(), &FcConfigDestroy};
    if (!config ||
        FcConfigParseAndLoadFromMemory(config.get(), reinterpret_cast<const FcChar8*>(fixed_configuration),
                                       FcFalse) == FcFalse ||
        FcConfigBuildFonts(config.get()) == FcFalse)
        return {};
    const pattern_handle wanted{FcPatternCreate(), &FcPatternDestroy};
    if (!wanted) return {};
    FcPatternAddInteger(wanted.get(), FC_SPACING, FC_MONO);
    FcPatternAddInteger(wanted.get(), FC_SLANT, FC_SLANT_ROMAN);
    FcPatternAddInteger(wanted.get(), FC_WEIGHT, FC_WEIGHT_REGULAR);
    const std::unique_ptr<FcObjectSet, void (*)(FcObjectSet*)> fields{
        FcObjectSetBuild(FC_FILE, FC_FONTFORMAT, nullptr), &FcObjectSetDestroy};
    const std::unique_ptr<FcFontSet, void (*)(FcFontSet*)> faces{
        fields ? FcFontList(config.get(), wanted.get(), fields.get()) : nullptr, &FcFontSetDestroy};
    if (!faces) return {};
    std::string best;
    bool best_is_truetype = false;
    for (int i = 0; i < faces->nfont; ++i) {
        FcChar8* file = nullptr;
        FcChar8* format = nullptr;
        if (FcPatternGetString(faces->fonts[i], FC_FILE, 0, &file) != FcResultMatch) continue;
        const bool truetype =
            FcPatternGetString(faces->fonts[i], FC_FONTFORMAT, 0, &format) == FcResultMatch &&
            std::string_view(reinterpret_cast<const char*>(format)) == "TrueType";
        const std::string path = reinterpret_cast<const char*>(file);
        if (best.empty() || (truetype && !best_is_truetype) ||
            (truetype == best_is_truetype && path < best)) {
            best = path;
            best_is_truetype = truetype;
        }
    }
    return best;
}

bool readable_file(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::is_regular_file(path, ignored) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

std::string system_fixed_width_face() {
    if (readable_file(system_face_path)) return system_face_path;
    return first_fixed_width_face();
}

std::optional<std::string> font_beside(const std::string& document_path) {
    std::error_code failed;
    const std::filesystem::path beside =
        std::filesystem::absolute(std::filesystem::path(document_path).parent_path() / default_font_name,
                                  failed)
            .lexically_normal();
    if (failed || !readable_file(beside)) return std::nullopt;
    return beside.string();
}

found_font find_font(const std::string& named, const std::string& document_path) {
    if (!named.empty()) return {named, "--font must name a TrueType font file", font_source::named};
    const std::string here = default_font_name;
    const std::string expected =
        "a TrueType font named Consola.ttf is expected in the working directory or beside the document, or "
        "the system's fixed-width face (" +
        std::string(system_face_path) + ", from fonts-dejavu-core); --font names another";
    if (readable_file(here)) return {here, expected, font_source::working_directory};
    if (const auto beside = font_beside(document_path))
        return {*beside, expected, font_source::beside_document};
    // Asked once a run, however many documents it takes (and whichever thread asks first).
    static const std::string system = system_fixed_width_face();
    if (system.empty()) return {here, expected, font_source::working_directory};
    return {system, expected, font_source::system_face};
}

std::string font_note(const found_font& font, const char* done_to_texts) {
    const std::string drawn = std::string("note: the texts are ") + done_to_texts + " in " + font.path;
    switch (font.source) {
        case font_source::named:
        case font_source::working_directory:
            return {};
        case font_source::beside_document:
            return drawn + ", beside the document: there is no Consola.ttf in the working directory";
        case font_source::system_face:
            return drawn +
                   ", the system's fixed-width face: there is no Consola.ttf in the working directory or "
                   "beside "
                   "the document";
    }
    return {};
}

outcome check_font_file(const std::string& path) {
    const result<file_bytes> read = read_file(path, font_bound("the font"));
    if (!read) return failure{read.why()};
    return done{};
}

}  // namespace zub
