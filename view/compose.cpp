#include "view/compose.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

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

std::vector<std::string> image_not_shown(const std::string& why) {
    return {"the image is not shown: " + why};
}

}  // namespace

std::vector<std::string> paint_background(decoded_image decoded, SDL_Surface* screen) {
    if (!decoded.picture) return image_not_shown(decoded.picture.why());
    const surface_handle shown = visible_part(decoded.picture->surface.get(), screen);
    if (!shown) return image_not_shown(SDL_GetError());
    const surface_handle background{SDL_DisplayFormat(shown.get())};
    if (!background) return image_not_shown(SDL_GetError());
    SDL_Rect at{0, 0, 0, 0};
    if (SDL_UpperBlit(background.get(), nullptr, screen, &at) < 0) return image_not_shown(SDL_GetError());
    return {};
}

std::vector<std::string> paint_background(bytes_view image, SDL_Surface* screen) {
    return paint_background(decode_image(image, screen->w, screen->h), screen);
}

font_file read_font_file(const std::string& path) {
    std::error_code ignored;
    font_file font{std::filesystem::absolute(path, ignored).string(), {}, {}};
    if (font.path.empty()) font.path = path;
    if (std::filesystem::is_directory(path, ignored)) {
        font.error = std::strerror(EISDIR);
        return font;
    }
    errno = 0;
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file{std::fopen(path.c_str(), "rb"), &std::fclose};
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

font_handle open_font(const font_file& file, int points) {
    stream_handle stream{SDL_RWFromConstMem(file.bytes.data(), static_cast<int>(file.bytes.size()))};
    if (!stream) return font_handle{};
    // The font closes the stream, when it is closed itself (or fails to open).
    return font_handle{TTF_OpenFontRW(stream.release(), 1, points)};
}

text_outcome draw_text(const text_record& record, TTF_Font* font, SDL_Surface* screen, std::string* error) {
    const SDL_Color colour{record.red, record.green, record.blue, 0};
    const display_string text = to_display_string(record.text);
    // The renderer allocates the whole text's surface, however little of it is shown.
    int width = 0;
    int height = 0;
    if (text[0] != '\0' && TTF_SizeText(font, text.data(), &width, &height) == 0 &&
        std::int64_t{width} * height > max_text_pixels) {
        return text_outcome::too_large;
    }
    const surface_handle rendered{TTF_RenderText_Solid(font, text.data(), colour)};
    if (!rendered) {
        if (text[0] == '\0') return text_outcome::nothing_to_draw;
        if (error != nullptr) *error = TTF_GetError();
        return text_outcome::render_failed;
    }
    SDL_Rect at{record.x, record.y, 0, 0};
    if (SDL_UpperBlit(rendered.get(), nullptr, screen, &at) < 0) {
        if (error != nullptr) *error = SDL_GetError();
        return text_outcome::render_failed;
    }
    return text_outcome::drawn;
}

text_outcome draw_text_record(const text_record& record, int font_size, SDL_Surface* screen,
                              const font_file& font) {
    if (TTF_WasInit() == 0 || font_size < 1 || font_size > max_font_size || !font.error.empty()) {
        return text_outcome::font_unavailable;
    }
    const font_handle opened = open_font(font, font_size);
    if (!opened) return text_outcome::font_unavailable;
    return draw_text(record, opened.get(), screen);
}

namespace {

std::string texts_not_drawn(const std::string& why) { return "the texts are not drawn: " + why; }

// A font opened from its file's bytes, which it reads from as long as it is open.
struct opened_font {
    font_file file;
    font_handle font;  // closed before the bytes go
};

// The font for a pass, or why the texts cannot be drawn.
result<opened_font> font_for_pass(int font_size, const font_choice& choice) {
    if (TTF_WasInit() == 0) return failure{texts_not_drawn("the font library did not start")};
    if (font_size < 1)
        return failure{texts_not_drawn("the point size " + std::to_string(font_size) + " is below 1")};
    if (font_size > max_font_size) {
        return failure{texts_not_drawn("the point size " + std::to_string(font_size) + " is above " +
                                       std::to_string(max_font_size))};
    }
    opened_font opened{read_font_file(choice.path), {}};
    const font_file& file = opened.file;
    if (file.error.empty()) opened.font = open_font(file, font_size);
    if (!opened.font) {
        // The font library's reason is read at once, before any other call can replace it.
        const std::string why = file.error.empty() ? std::string(TTF_GetError()) : file.error;
        return failure{
            texts_not_drawn("cannot open the font " + file.path + ": " + why + " (" + choice.hint + ")")};
    }
    return opened;
}

}  // namespace

std::vector<std::string> draw_text_pass(const document& doc, SDL_Surface* screen, const font_choice& font) {
    std::vector<std::string> warnings;
    // No records need no font.
    if (!doc.records.empty()) {
        result<opened_font> opened = font_for_pass(doc.header.font_size, font);
        if (!opened) warnings.push_back(opened.why());
        bool render_warned = false;
        bool size_warned = false;
        for (std::size_t i = 0; opened && i < doc.records.size(); ++i) {
            std::string error;
            const std::string record = "text record " + std::to_string(i + 1);
            switch (draw_text(doc.records[i], opened->font.get(), screen, &error)) {
                case text_outcome::render_failed:
                    if (!render_warned) warnings.push_back(record + " is not drawn: " + error);
                    render_warned = true;
                    break;
                case text_outcome::too_large:
                    if (!size_warned) {
                        warnings.push_back(record + " is not drawn: its text would cover more than " +
                                           std::to_string(max_text_pixels) + " pixels");
                    }
                    size_warned = true;
                    break;
                case text_outcome::drawn:
                case text_outcome::nothing_to_draw:
                case text_outcome::font_unavailable:
                    break;
            }
        }
    }
    for (const problem& p : doc.problems) {
        if (p.code == problem_code::record_past_end) warnings.push_back(describe(p));
    }
    return warnings;
}

std::vector<std::string> compose_document(const document& doc, SDL_Surface* screen, decoder_job& decoding,
                                          const font_choice& font) {
    std::vector<std::string> warnings = paint_background(finish_decoding(decoding), screen);
    for (std::string& warning : draw_text_pass(doc, screen, font)) warnings.push_back(std::move(warning));
    return warnings;
}

std::vector<std::string> compose_document(const document& doc, SDL_Surface* screen, const font_choice& font) {
    decoder_job decoding = start_decoding(doc.image, screen->w, screen->h);
    return compose_document(doc, screen, decoding, font);
}

}  // namespace zub
