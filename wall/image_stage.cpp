// The image stage: the embedded image decoded with SDL_image, as the viewer always has,
// and the part of it a window of the size asked for shows handed back.
#include <SDL_image.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "document/limits.hpp"
#include "wall/jpeg_rows.hpp"
#include "wall/sdl_handles.hpp"
#include "wall/stages.hpp"

// Present in sanitizer builds only.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's own name
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace zub {

namespace {

// The stage's report, for its signal handlers.
stage_report* crash_report = nullptr;

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
    std::strncpy(to, from, N - 1);
    to[N - 1] = '\0';
}

// The image's bytes as a stream the image library reads, as SDL's read-only memory
// stream reads them, but for what a read asks for past the end: SDL_image's PNG reader
// does not look at how much a read gave, so at the end libpng would find the chunk it read
// last still in its buffer and read it again for ever. Past the end a read finds 0xFF
// bytes, which no chunk's length can be, and the image is refused at once ("Error reading
// the PNG file.") as an image cut short is.
struct image_bytes {
    const std::uint8_t* data;
    int size;
    int at;
};

int image_bytes_seek(SDL_RWops* stream, int offset, int whence) {
    auto* bytes = static_cast<image_bytes*>(stream->hidden.unknown.data1);
    std::int64_t to = offset;
    if (whence == RW_SEEK_CUR) {
        to += bytes->at;
    } else if (whence == RW_SEEK_END) {
        to += bytes->size;
    } else if (whence != RW_SEEK_SET) {
        SDL_SetError("Unknown value for 'whence'");
        return -1;
    }
    bytes->at = static_cast<int>(std::clamp<std::int64_t>(to, 0, bytes->size));
    return bytes->at;
}

int image_bytes_read(SDL_RWops* stream, void* to, int size, int count) {
    auto* bytes = static_cast<image_bytes*>(stream->hidden.unknown.data1);
    if (size <= 0 || count <= 0) return 0;
    const std::int64_t asked = std::int64_t{size} * count;
    const std::int64_t given = std::min<std::int64_t>(asked, bytes->size - bytes->at);
    std::memcpy(to, bytes->data + bytes->at, static_cast<std::size_t>(given));
    std::memset(static_cast<std::uint8_t*>(to) + given, 0xFF, static_cast<std::size_t>(asked - given));
    bytes->at += static_cast<int>(given);
    return static_cast<int>(given / size);
}

int image_bytes_write(SDL_RWops*, const void*, int, int) {
    SDL_SetError("Can't write to read-only memory");
    return -1;
}

int image_bytes_close(SDL_RWops* stream) {
    delete static_cast<image_bytes*>(stream->hidden.unknown.data1);
    SDL_FreeRW(stream);
    return 0;
}

SDL_RWops* image_stream(bytes_view image) {
    SDL_RWops* stream = SDL_AllocRW();
    if (stream == nullptr) return nullptr;
    stream->seek = image_bytes_seek;
    stream->read = image_bytes_read;
    stream->write = image_bytes_write;
    stream->close = image_bytes_close;
    stream->hidden.unknown.data1 = new image_bytes{image.data(), static_cast<int>(image.size()), 0};
    return stream;
}

// The last words run after a fault, on a stack of their own: a sanitizer's bookkeeping
// there would look for the stack's bounds in files the filter forbids.
#define ZUB_LAST_WORDS __attribute__((no_sanitize("address", "undefined")))

// Whether the address space is used up: a moderate mapping no longer fits.
ZUB_LAST_WORDS bool memory_used_up() {
    void* probe =
        mmap(nullptr, std::size_t{64} << 20U, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return errno == ENOMEM;
    munmap(probe, std::size_t{64} << 20U);
    return false;
}

// A fault the kernel raised on the stage's own access, or its own abort(), is the
// document's doing; the same signal sent by another process (kill) is not.
ZUB_LAST_WORDS void on_crash(int signal, siginfo_t* info, void* /*context*/) {
    crash_report->crash_signal = signal;
    // Another process can queue any signal with any sender, but not as tgkill (SI_TKILL),
    // whose sender the kernel fills in.
    const bool own_abort = info != nullptr && info->si_code == SI_TKILL && info->si_pid == getpid();
    crash_report->crash_sent = info != nullptr && info->si_code <= 0 && !own_abort ? 1 : 0;
    crash_report->memory_exhausted = memory_used_up() ? 1 : 0;
    _exit(exit_crashed);
}

// A sanitizer build's runtime ends the process itself on a fault it finds and when its
// allocator runs out of memory; it calls this first.
ZUB_LAST_WORDS void on_sanitizer_death() {
    crash_report->memory_exhausted = memory_used_up() ? 1 : 0;
    _exit(crash_report->memory_exhausted != 0 ? exit_out_of_memory : exit_crashed);
}

ZUB_LAST_WORDS void on_new_failure() {
    crash_report->memory_exhausted = 1;
    _exit(exit_out_of_memory);
}

// The image library's name for the format, tried in the order it tries them itself.
const char* image_format(bytes_view image) {
    using is_format = int (*)(SDL_RWops*);
    const std::pair<const char*, is_format> formats[] = {
        {"CUR", IMG_isCUR}, {"ICO", IMG_isICO}, {"BMP", IMG_isBMP}, {"GIF", IMG_isGIF},   {"JPEG", IMG_isJPG},
        {"LBM", IMG_isLBM}, {"PCX", IMG_isPCX}, {"PNG", IMG_isPNG}, {"PNM", IMG_isPNM},   {"TIFF", IMG_isTIF},
        {"XCF", IMG_isXCF}, {"XPM", IMG_isXPM}, {"XV", IMG_isXV},   {"WEBP", IMG_isWEBP},
    };
    for (const auto& [name, is] : formats) {
        const stream_handle stream{SDL_RWFromConstMem(image.data(), static_cast<int>(image.size()))};
        if (stream && is(stream.get()) != 0) return name;
    }
    return "";
}

int failed(stage_report& report, const char* why) {
    copy_text(report.error, why);
    return exit_failed;
}

}  // namespace

void report_crashes(stage_report* report) {
    crash_report = report;
    static std::uint8_t stack[65536];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_sigaction = on_crash;
    action.sa_flags = SA_ONSTACK | SA_SIGINFO;
    for (const int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP})
        sigaction(signal, &action, nullptr);
    std::set_new_handler(on_new_failure);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(on_sanitizer_death);
}

void prepare_image_stage() {
    IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
    SDL_FreeSurface(SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 8, 0, 0, 0, 0));
    SDL_FreeSurface(SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 32, 0xFF, 0xFF00, 0xFF0000, 0));
    SDL_SetError("%s", "");
}

int run_image_stage(bytes_view image, const image_ask& ask, std::span<std::uint8_t> handback) {
    if (handback.size() < handback_header_bytes) return exit_failed;
    image_handback header{};
    std::memcpy(&header, handback.data(), sizeof header.report);
    stage_report& report = header.report;
    const auto done = [&](int status) {
        std::memcpy(handback.data(), &header, sizeof header);
        return status;
    };
    copy_text(header.format, image_format(image));
    report.progress = progress_working;
    surface_handle surface;
    int image_width = 0;
    int image_height = 0;
    if (ask.pixels && ask.visible_height > 0 && library_takes_as_jpeg(image)) {
        // A JPEG is decoded only down to the last row and across to the last column the
        // window shows.
        jpeg_top top = decode_jpeg_top(image, ask.visible_height, ask.visible_width);
        surface = std::move(top.rows);
        image_width = top.width;
        image_height = top.height;
    } else {
        stream_handle stream{image_stream(image)};
        if (!stream) return done(failed(report, SDL_GetError()));
        surface.reset(IMG_Load_RW(stream.release(), 1));  // the decoder closes the stream
        if (surface) {
            image_width = surface->w;
            image_height = surface->h;
        }
    }
    if (!surface) {
        copy_text(report.error, IMG_GetError());
        report.memory_exhausted = memory_used_up() ? 1 : 0;
        return done(report.memory_exhausted != 0 ? exit_out_of_memory : exit_failed);
    }
    SDL_Surface* s = surface.get();
    const SDL_PixelFormat* f = s->format;
    const std::int64_t row = std::int64_t{s->w} * f->BytesPerPixel;
    if (image_width < 1 || image_height < 1 || image_width > max_image_width ||
        image_height > max_image_height || s->pitch < row) {
        char why[128];
        (void)std::snprintf(why, sizeof why, "the image library made a %dx%d picture it cannot hold",
                            image_width, image_height);
        return done(failed(report, why));
    }
    header.image_width = image_width;
    header.image_height = image_height;
    surface_layout& out = header.picture;
    // Only the part the window shows is handed back: what lies right of or below it is
    // never converted or painted.
    const int width = ask.visible_width > 0 ? std::min(s->w, ask.visible_width) : s->w;
    const int height = ask.visible_height > 0 ? std::min(s->h, ask.visible_height) : s->h;
    const auto row_bytes = static_cast<std::size_t>(width) * f->BytesPerPixel;
    const std::size_t pitch = (row_bytes + 3) & ~std::size_t{3};
    const std::size_t bytes = pitch * static_cast<std::size_t>(height);
    out.width = width;
    out.height = height;
    out.pitch = static_cast<std::int32_t>(pitch);
    out.bits_per_pixel = f->BitsPerPixel;
    out.masks[0] = f->Rmask;
    out.masks[1] = f->Gmask;
    out.masks[2] = f->Bmask;
    out.masks[3] = f->Amask;
    out.flags = s->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA | SDL_RLEACCELOK);
    out.colorkey = f->colorkey;
    out.alpha = f->alpha;
    out.colour_count = 0;
    if (f->palette != nullptr) {
        out.colour_count = std::clamp(f->palette->ncolors, 0, 256);
        for (int i = 0; i < out.colour_count; ++i) {
            const SDL_Color& c = f->palette->colors[i];
            out.colours[i] = handback_colour{c.r, c.g, c.b, c.unused};
        }
    }
    if (ask.pixels) {
        if (bytes > handback.size() - handback_header_bytes)
            return done(failed(report, "the picture is larger than its header declares"));
        if (SDL_LockSurface(s) != 0) return done(failed(report, SDL_GetError()));
        std::uint8_t* pixels = handback.data() + handback_header_bytes;
        make_pages(std::span(pixels, bytes));
        for (int y = 0; y < height; ++y) {
            std::memcpy(pixels + pitch * static_cast<std::size_t>(y),
                        static_cast<const std::uint8_t*>(s->pixels) +
                            std::size_t{s->pitch} * static_cast<std::size_t>(y),
                        row_bytes);
        }
        SDL_UnlockSurface(s);
        header.pixel_bytes = bytes;
    }
    report.progress = progress_done;
    return done(exit_done);
}

}  // namespace zub
