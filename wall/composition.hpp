// A document's composition started behind the wall, for a window of a given size: the
// stages' requests, the font read once, and the stages started as one run of the
// composer. No SDL here: a program starts composing before it loads SDL.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/read_file.hpp"
#include "wall/caller.hpp"

namespace zub {

// The font the texts are drawn in, and what the user is told when it cannot be opened.
struct font_choice {
    std::string path = default_font_name;  // looked up in the working directory
    std::string hint = "a TrueType font named Consola.ttf is expected in the working directory";
};

// The font file's full path, as the messages name it.
std::string font_file_path(const std::string& path);

// The font file's bytes, read once; a file that cannot be read is a font that cannot be
// opened ("cannot open the font PATH: ..."). Only a regular file of at most
// max_font_bytes is read.
[[nodiscard]] result<file_bytes> read_font_file(const std::string& path);

// What a composition is for: a window of `width` x `height` (0 on a side: the desktop's,
// not known yet), the pictures' pixels or only what the stages find, and the image too
// or only the texts.
struct composing_ask {
    int width = 0;
    int height = 0;
    bool pixels = true;
    bool image = true;
    bool font_named = false;  // the font is opened even for a document without texts
    // Stages the texts are split over: 0 as the machine's cores and the texts' number
    // make worth it.
    int text_stages = 0;
};

// A document's composition, started: its image stage and its texts stages, each laying a
// slice of the texts (many texts are split over the cores). There is no texts stage for
// a document without texts or with a point size out of range (the document says so
// itself), nor when the font cannot be read.
struct composition {
    image_ask image_asked;
    stage_job image;
    texts_ask texts_asked;  // for all the texts; each stage's slice is in its own ask
    std::vector<text_to_render> texts;
    std::vector<texts_ask> text_slices;
    std::vector<stage_job> text_stages;
    font_choice font;
    result<file_bytes> font_read = failure{"the font was not read"};
    bool texts_wanted = false;
    std::string font_error;  // once composed: the font library's words when the font did not open
};
[[nodiscard]] composition start_composition(const document& doc, const composing_ask& ask,
                                            const font_choice& font = {});

// Several documents' compositions started at once, max_stages stages to a run of the
// composer: the tools compose many documents so. Each document must outlive its
// composition.
struct composition_order {
    const document* doc = nullptr;
    composing_ask ask;
    font_choice font;
};
[[nodiscard]] std::vector<composition> start_compositions(std::span<const composition_order> orders);

// The texts stages' ends, in order, as one: their texts and layers one after another, up
// to the first stage that did not finish its slice (the texts from there on are not
// drawn), and that stage's fate.
[[nodiscard]] finished_texts finish_texts(composition& c);

// The problems of a finished texts stage: a font that did not open, a text not rendered,
// too large or past the budget (each kind once), texts a stopped stage did not reach; or
// the one error of a stage whose end was not the document's doing.
std::vector<problem> text_problems(const document& doc, const composition& c, const finished_texts& done);

// What composing for a window of `width` x `height` asks (a side of 0: the desktop's):
// only the part of the image the window shows is handed back.
composing_ask composing_ask_for_window(std::int32_t width, std::int32_t height, bool font_named = false);

}  // namespace zub
