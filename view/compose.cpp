#include "view/compose.hpp"

#include <SDL_ttf.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "document/limits.hpp"
#include "view/sdl_handles.hpp"

namespace zub {

namespace {

// The part of `image` that lands on the screen when it is painted at (0, 0): a surface
// over the same pixels, cut to the screen's size, with the image's palette, colour key
// and alpha settings. Converting it gives exactly the pixels converting the whole image
// would give there, with work and memory in proportion to what is shown.
surface_handle visible_part(SDL_Surface* image, const SDL_Surface* screen) {
    const SDL_PixelFormat* f = image->format;
    surface_handle part{SDL_CreateRGBSurfaceFrom(image->pixels, std::min(image->w, screen->w),
                                                 std::min(image->h, screen->h), f->BitsPerPixel, image->pitch,
                                                 f->Rmask, f->Gmask, f->Bmask, f->Amask)};
    if (!part) return part;
    if (f->palette != nullptr) SDL_SetColors(part.get(), f->palette->colors, 0, f->palette->ncolors);
    SDL_SetColorKey(part.get(), image->flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), f->colorkey);
    SDL_SetAlpha(part.get(), image->flags & (SDL_SRCALPHA | SDL_RLEACCELOK), f->alpha);
    return part;
}

}  // namespace

std::vector<std::string> paint_background(decoded_image decoded, SDL_Surface* screen) {
    if (!decoded.surface) return {"the image is not shown: " + decoded.problem};
    const surface_handle shown = visible_part(decoded.surface.get(), screen);
    if (!shown) return {std::string("the image is not shown: ") + SDL_GetError()};
    const surface_handle background{SDL_DisplayFormat(shown.get())};
    if (!background) return {std::string("the image is not shown: ") + SDL_GetError()};

    SDL_Rect at{0, 0, 0, 0};
    if (SDL_UpperBlit(background.get(), nullptr, screen, &at) < 0) {
        return {std::string("the image is not shown: ") + SDL_GetError()};
    }
    return {};
}

std::vector<std::string> paint_background(bytes_view image, SDL_Surface* screen) {
    return paint_background(decode_image(image, screen->w, screen->h), screen);
}

font_file read_font_file(const char* path) {
    std::error_code ignored;
    font_file font{std::filesystem::absolute(path, ignored).string(), {}, {}};
    if (font.path.empty()) font.path = path;
    if (std::filesystem::is_directory(path, ignored)) {
        font.error = std::strerror(EISDIR);
        return font;
    }
    errno = 0;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{std::fopen(path, "rb"), &std::fclose};
    if (!file) {
        font.error = std::strerror(errno);
        return font;
    }
    std::uint8_t chunk[65536];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        font.bytes.insert(font.bytes.end(), chunk, chunk + got);
    }
    if (std::ferror(file.get()) != 0) {
        font.error = std::strerror(errno != 0 ? errno : EIO);
        font.bytes.clear();
    }
    return font;
}

text_outcome draw_text_record(const text_record& record, int font_size, SDL_Surface* screen,
                              const font_file& font_file) {
    const SDL_Color colour{record.red, record.green, record.blue, 0};
    const display_string text = to_display_string(record.text);

    if (TTF_WasInit() == 0 || font_size < 1 || font_size > max_font_size || !font_file.error.empty()) {
        return text_outcome::font_unavailable;
    }
    // The stream is closed by the font, when the font is closed.
    SDL_RWops* stream = SDL_RWFromConstMem(font_file.bytes.data(), static_cast<int>(font_file.bytes.size()));
    const font_handle font{TTF_OpenFontRW(stream, 1, font_size)};
    if (!font) return text_outcome::font_unavailable;

    // The renderer allocates the whole text's surface, however little of it is shown.
    int width = 0;
    int height = 0;
    if (text[0] != '\0' && TTF_SizeText(font.get(), text.data(), &width, &height) == 0 &&
        std::int64_t{width} * height > max_text_pixels) {
        return text_outcome::too_large;
    }

    const surface_handle rendered{TTF_RenderText_Solid(font.get(), text.data(), colour)};
    if (!rendered) {
        return text[0] == '\0' ? text_outcome::nothing_to_draw : text_outcome::render_failed;
    }
    SDL_Rect at{record.x, record.y, 0, 0};
    if (SDL_UpperBlit(rendered.get(), nullptr, screen, &at) < 0) return text_outcome::render_failed;
    return text_outcome::drawn;
}

namespace {

std::string font_problem(int font_size, const font_file& font, const char* font_hint) {
    if (TTF_WasInit() == 0) {
        return std::string("the texts are not drawn: the font library did not start: ") + TTF_GetError();
    }
    if (font_size < 1) {
        return "the texts are not drawn: the point size " + std::to_string(font_size) + " is below 1";
    }
    if (font_size > max_font_size) {
        return "the texts are not drawn: the point size " + std::to_string(font_size) + " is above " +
               std::to_string(max_font_size);
    }
    return "the texts are not drawn: cannot open the font " + font.path + ": " +
           (font.error.empty() ? std::string(TTF_GetError()) : font.error) + " (" + font_hint + ")";
}

}  // namespace

std::vector<std::string> draw_text_pass(bytes_view document, const document_sections& sections,
                                        SDL_Surface* screen, const char* font_path, const char* font_hint) {
    std::vector<std::string> warnings;
    bool font_warned = false;
    bool render_warned = false;
    bool size_warned = false;
    std::optional<font_file> font;  // read for the first record: no records need no font
    record_walk walk = walk_records(sections);
    while (true) {
        const record_step step = next_record(document, walk);
        if (std::holds_alternative<records_end>(step)) break;
        if (const auto* problem = std::get_if<damage>(&step)) {
            warnings.push_back(problem->message);
            break;
        }
        const auto& record = std::get<text_record>(step);
        const std::string number = std::to_string(walk.done);
        if (!font) font = read_font_file(font_path);
        switch (draw_text_record(record, sections.header.font_size, screen, *font)) {
            case text_outcome::font_unavailable:
                if (!font_warned)
                    warnings.push_back(font_problem(sections.header.font_size, *font, font_hint));
                font_warned = true;
                break;
            case text_outcome::render_failed:
                if (!render_warned)
                    warnings.push_back("text record " + number + " is not drawn: " + TTF_GetError());
                render_warned = true;
                break;
            case text_outcome::too_large:
                if (!size_warned) {
                    warnings.push_back("text record " + number +
                                       " is not drawn: its text would cover more than " +
                                       std::to_string(max_text_pixels) + " pixels");
                }
                size_warned = true;
                break;
            case text_outcome::drawn:
            case text_outcome::nothing_to_draw:
                break;
        }
    }
    return warnings;
}

std::vector<std::string> compose_document(bytes_view document, const document_sections& sections,
                                          SDL_Surface* screen, const char* font_path, const char* font_hint) {
    decoder_job decoding = start_decoding(sections.image, screen->w, screen->h);
    return compose_document(document, sections, screen, decoding, font_path, font_hint);
}

std::vector<std::string> compose_document(bytes_view document, const document_sections& sections,
                                          SDL_Surface* screen, decoder_job& decoding, const char* font_path,
                                          const char* font_hint) {
    std::vector<std::string> warnings = paint_background(finish_decoding(decoding), screen);
    std::vector<std::string> text_warnings = draw_text_pass(document, sections, screen, font_path, font_hint);
    warnings.insert(warnings.end(), text_warnings.begin(), text_warnings.end());
    return warnings;
}

}  // namespace zub
