// What crosses the wall: the layouts the caller and zub-compose share, and the caller's
// reading of what comes back.
//
// The caller hands each stage its input in a sealed memfd (the image's bytes; or the
// font and the texts) and a memfd for the stage's hand-back, sized and sealed against
// growing and shrinking before the stage maps it. A stage writes a report of how far it
// got, then what it made: the image's visible part, or the texts laid into one layer. Everything
// in a hand-back is written by a process a hostile image or font may have taken over, so
// the caller reads it as untrusted bytes: every size, offset, mask and count is checked
// against the hand-back's own size before a byte it names is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "document/byte_reader.hpp"
#include "document/limits.hpp"
#include "document/result.hpp"

namespace zub {

// The most CPU time a stage may take, and the most memory it may add to what it has when
// it is confined, beyond the window's and the image's pixels.
inline constexpr int stage_cpu_seconds = 2;
inline constexpr std::uint64_t stage_memory_bytes = std::uint64_t{512} << 20U;
// How long the caller waits for a stage that does not use its CPU time, on a busy
// machine: the CPU limit stops a stage that spins long before this.
inline constexpr int stage_wall_seconds = 10;

// The stages' exit statuses.
enum stage_exit : int {
    exit_done = 0,
    exit_failed = 10,        // the library gave nothing: the report's error says why
    exit_not_confined = 11,  // the wall could not be built: the report's error says why
    exit_out_of_memory = 12,
    exit_crashed = 13,  // a fatal signal: the report's crash_signal
    exit_orphaned = 14,
    exit_usage = 15,  // a command line zub-compose does not take
};

// The descriptors a stage is given.
inline constexpr int stage_input_fd = 3;
inline constexpr int stage_handback_fd = 4;

// What zub-compose says of each stage it ran, slot k for stage k, in a status memfd no
// stage holds: whether the stage's process ended (or could not be started), wait4's
// status for it and the CPU time it used.
enum stage_status_said : std::int32_t { status_unsaid = 0, status_ended = 1, status_not_started = 2 };
struct stage_status {
    std::int32_t ended;        // a stage_status_said
    std::int32_t wait_status;  // when it ended
    std::int32_t start_error;  // errno of the fork that failed, when it was not started
    std::int32_t unused;
    std::int64_t cpu_ns;  // user and system time, when it ended
};
// The most stages a run takes: the image and the texts of 8 documents. Their descriptors
// and the status stay below 64, where each stage moves its own before closing the rest.
inline constexpr std::size_t max_stages = 16;
static_assert(stage_input_fd + 2 * max_stages < 64);

// The hand-back's first page holds its header; what the stage made follows it.
inline constexpr std::size_t handback_header_bytes = 4096;

// How far a stage got.
enum stage_progress : std::uint32_t {
    progress_started = 1,
    progress_confined,
    progress_working,
    progress_done
};

// At the start of every hand-back.
struct stage_report {
    std::uint32_t progress;
    std::uint32_t memory_exhausted;  // the stage found its memory used up
    std::int32_t crash_signal;       // the signal a crash was reported with
    std::int32_t crash_sent;         // 1 when another process sent it (kill), not the kernel
    std::int32_t cpu_limit_seconds;  // the CPU limit it was confined with
    std::int32_t memory_inherited;   // 1 when its memory limit is a lower one it was started with
    char error[256];                 // why the stage failed, in the library's words
    // CLOCK_REALTIME in ns when the stage's main began, when its wall was up and when its
    // work ended: read by the benchmark's timeline alone.
    std::int64_t started_ns;
    std::int64_t confined_ns;
    std::int64_t done_ns;
};

// CLOCK_REALTIME in nanoseconds.
std::int64_t realtime_ns();

// A colour of a palette: red, green, blue and a byte that is not used, as SDL keeps them.
struct handback_colour {
    std::uint8_t r, g, b, unused;
};

// A picture as the caller makes an SDL surface of it.
struct surface_layout {
    std::int32_t width;
    std::int32_t height;
    std::int32_t pitch;
    std::int32_t bits_per_pixel;
    std::uint32_t masks[4];  // red, green, blue, alpha
    std::uint32_t flags;     // colour key, alpha and RLE flags, SDL 1.2's values
    std::uint32_t colorkey;
    std::uint32_t alpha;
    std::int32_t colour_count;
    handback_colour colours[256];
};

// SDL 1.2's surface flags a hand-back may carry.
inline constexpr std::uint32_t surface_colorkey = 0x00001000;  // SDL_SRCCOLORKEY
inline constexpr std::uint32_t surface_rle = 0x00004000;       // SDL_RLEACCELOK
inline constexpr std::uint32_t surface_alpha = 0x00010000;     // SDL_SRCALPHA

// The image stage's hand-back: this header, then the pixels of the part a window of the
// size asked for shows (none when only the picture's description was asked for).
struct image_handback {
    stage_report report;
    char format[16];  // the image library's name for the format
    std::int32_t image_width;
    std::int32_t image_height;  // the whole decoded picture's size
    surface_layout picture;     // the part handed back
    std::uint64_t pixel_bytes;
};
static_assert(sizeof(image_handback) <= handback_header_bytes);

// What happened to one text.
enum class text_outcome : std::uint32_t {
    drawn = 1,        // rendered, and laid into the layer
    nothing_to_draw,  // empty, or starting with a zero byte
    outside,          // wholly outside the window: not rendered
    too_large,        // its rendering would cover more than max_text_pixels
    past_budget,      // the texts before it used the document's budget of rendered pixels
    not_rendered,     // the renderer gave no picture of two colours: the entry's error says why
    measured,         // measured only: the caller asked for no pixels
};

// One text's entry in the texts stage's hand-back.
struct text_entry {
    std::uint32_t number;  // the record's, from 1
    text_outcome outcome;
    std::int32_t text_width;  // the rendered text's size, as the font measures it (0 unknown)
    std::int32_t text_height;
    char error[64];
};

// The texts stage's hand-back: this header, then `entry_capacity` entries, then the
// layer. Entries are written in order; `entries_done` counts the finished ones, so that
// what a stage finished before it was stopped is still shown.
//
// The layer is the window's size, one value a pixel (2 bytes for fewer than 65536 texts,
// else 4): 0 where no text is, else k where the k-th text handed over (from 1) is the
// last in order to paint that pixel in its colour. Each text is laid over the ones before
// it as blitting its rendering (colour key 0) lays it, so the caller paints the whole
// layer in one pass, each value in its text's colour, whatever the number of texts.
struct texts_handback {
    stage_report report;
    std::uint32_t font_opened;
    char font_error[256];
    std::uint32_t entry_capacity;
    std::uint32_t entries_done;
    std::int32_t layer_width;
    std::int32_t layer_height;
    std::int32_t layer_value_bytes;
    // The part of the layer the finished texts were laid into: columns [left, right),
    // rows [top, bottom).
    std::int32_t drawn_left;
    std::int32_t drawn_top;
    std::int32_t drawn_right;
    std::int32_t drawn_bottom;
};
static_assert(sizeof(texts_handback) <= handback_header_bytes);

// The texts stage's input: this header, the font's bytes, then each text: its record's
// number, colour, position, and its shown string (at most 255 bytes).
struct texts_request_header {
    std::uint32_t text_count;
    std::uint32_t font_bytes;
};
inline constexpr std::size_t text_request_head_bytes = 12;  // number, r, g, b, length, x, y

struct text_to_render {
    std::uint32_t number = 0;
    std::uint8_t red = 0, green = 0, blue = 0;
    std::int16_t x = 0, y = 0;
    bytes_view text;
};

// The texts stage's input, as the caller lays it out.
std::vector<std::uint8_t> texts_request(bytes_view font, std::span<const text_to_render> texts);

// Its reading in the stage: the font's bytes and each text, or nothing when the input is
// not laid out so (bounds-checked: the input crosses the wall too).
struct texts_input {
    bytes_view font;
    std::vector<text_to_render> texts;
};
std::optional<texts_input> read_texts_request(bytes_view input);

struct image_ask {
    int visible_width = 0;  // the part of the picture a window shows; 0: no bound there
    int visible_height = 0;
    bool pixels = true;  // false: only the picture's description (format, size, layout)
};

struct texts_ask {
    int window_width = 0;  // the window the texts are drawn in; 0 on a side: not known
    int window_height = 0;
    int points = 0;
    bool pixels = true;  // false: each text measured and rendered, but no pixels handed back
    // The texts this stage lays, [first, end) of those handed over: the ones before
    // `first` are measured only, to count them against the document's budget as a stage
    // that drew them would. Many texts are so split over several stages.
    std::uint32_t first = 0;
    std::uint32_t end = UINT32_MAX;
};

// The bytes the image stage's hand-back needs for `image`: the header, and the pixels of
// the visible part at the most bytes a pixel: the window's side where the window bounds
// it, else the side the image's header declares (where the probe knows it).
std::uint64_t image_handback_bytes(bytes_view image, const image_ask& ask);

// The layer a texts stage lays `count` texts (its slice) into for `ask`: its size (none when no pixels
// are asked; a side the window does not give: the most a window has) and bytes a value.
struct layer_shape {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t value_bytes = 2;
    [[nodiscard]] std::uint64_t bytes() const {
        return std::uint64_t{static_cast<std::uint32_t>(width)} * static_cast<std::uint32_t>(height) *
               static_cast<std::uint32_t>(value_bytes);
    }
};
layer_shape texts_layer_shape(std::uint64_t count, const texts_ask& ask);

// The size of a texts hand-back for `count` texts: the header, the entries, the layer.
std::uint64_t texts_handback_bytes(std::uint64_t count, const texts_ask& ask);
// Where the layer starts in it.
std::uint64_t texts_layer_offset(std::uint64_t count);

// A picture a hand-back describes, checked: its layout, and its pixels within the
// hand-back.
struct checked_picture {
    surface_layout layout;
    const std::uint8_t* pixels = nullptr;
};

// The image stage's hand-back, checked. Its report and pixels lie in `handback`, but for
// a picture the caller has laid out again (`relaid`).
struct checked_image {
    std::string format;
    int image_width = 0;
    int image_height = 0;
    bool has_pixels = false;
    checked_picture picture;
    std::shared_ptr<const std::vector<std::uint8_t>> relaid;  // shared by copies, as the pixels they point to
};
result<checked_image> read_image_handback(std::span<const std::uint8_t> handback, bool pixels_asked);

// The texts stage's hand-back, checked: the entries it finished, in order, and the layer
// their drawn pixels lie in, each value within it a finished text that was drawn (the
// values of texts it had not finished when it was stopped are left out).
struct checked_text {
    text_entry entry;
    std::string error;  // printable ASCII
};
struct text_colour {
    std::uint8_t r = 0, g = 0, b = 0;
};
struct checked_layer {
    layer_shape shape;
    const std::uint8_t* values = nullptr;          // rows of shape.width values, none when nothing was drawn
    int left = 0, top = 0, right = 0, bottom = 0;  // where values other than 0 may be
    std::uint32_t most = 0;                        // values above it are not shown
    std::vector<text_colour> colours;              // the colour of value k at k - 1: the caller's own
};

// Calls `each(x, y, value)` for every value other than 0 in the layer's drawn part, row by
// row.
template <class Each>
void each_layer_value(const checked_layer& layer, Each each) {
    const auto width = static_cast<std::size_t>(layer.shape.width);
    const auto bytes = static_cast<std::size_t>(layer.shape.value_bytes);
    for (int y = layer.top; y < layer.bottom; ++y) {
        const std::uint8_t* row = layer.values + static_cast<std::size_t>(y) * width * bytes;
        for (int x = layer.left; x < layer.right; ++x) {
            std::uint32_t value = 0;
            if (bytes == 2) {
                std::uint16_t v = 0;
                std::memcpy(&v, row + static_cast<std::size_t>(x) * 2, sizeof v);
                value = v;
            } else {
                std::memcpy(&value, row + static_cast<std::size_t>(x) * 4, sizeof value);
            }
            if (value != 0) each(x, y, value);
        }
    }
}
struct checked_texts {
    bool font_opened = false;
    std::string font_error;
    std::vector<checked_text> texts;
    std::vector<checked_layer> layers;  // painted in order, each over the ones before
};
// `asked`: the texts of the stage's slice.
result<checked_texts> read_texts_handback(std::span<const std::uint8_t> handback,
                                          std::span<const text_to_render> asked, const texts_ask& ask);

// A text a stage wrote, cut at its end and kept to printable ASCII: it reaches the
// user's terminal.
std::string stage_text(const char* text, std::size_t size);

}  // namespace zub
