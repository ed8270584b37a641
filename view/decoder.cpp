#include "view/decoder.hpp"

#include <SDL_image.h>
#include <fcntl.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "document/image_probe.hpp"
#include "document/limits.hpp"
#include "view/jpeg_rows.hpp"

// Present in sanitizer builds only.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the runtime's own name
extern "C" void __sanitizer_set_death_callback(void (*callback)()) __attribute__((weak));

namespace zub {

namespace {

// What the child hands back, at the start of the shared memory; the pixels follow at
// `result_header_bytes`. The parent checks every field before it uses one: a child
// that a hostile image has taken over could write anything here.
struct result_header {
    std::uint32_t stage;             // how far the child got
    std::uint32_t memory_exhausted;  // the child found its memory used up
    std::int32_t crash_signal;       // the signal a crash was reported with
    char format[16];                 // the image library's name for the format
    char error[256];                 // why decoding or confining failed
    std::int32_t image_width;        // the whole decoded picture's size
    std::int32_t image_height;
    std::int32_t width;  // the part handed back: what a window of the asked size shows
    std::int32_t height;
    std::int32_t pitch;
    std::int32_t bits_per_pixel;
    std::uint32_t masks[4];  // red, green, blue, alpha
    std::uint32_t flags;     // SDL_SRCCOLORKEY, SDL_SRCALPHA and SDL_RLEACCELOK, as set
    std::uint32_t colorkey;
    std::uint32_t alpha;
    std::int32_t colour_count;
    SDL_Color colours[256];
    std::uint64_t pixel_bytes;
};
// Half a page, so that a fuzz target's inputs need not fill the rest.
static_assert(sizeof(result_header) <= result_header_bytes / 2);

enum stage : std::uint32_t { stage_started = 1, stage_confined, stage_decoding, stage_decoded };

// The child's exit statuses.
constexpr int exit_decoded = 0;
constexpr int exit_not_decoded = 10;   // the library gave no picture: `error` says why
constexpr int exit_not_confined = 11;  // the wall could not be built: `error` says why
constexpr int exit_out_of_memory = 12;
constexpr int exit_crashed = 13;  // a fatal signal: `crash_signal`
constexpr int exit_orphaned = 14;

// How long the parent waits for a child that is not using its CPU time, when the
// machine is busy: the CPU limit stops a child that spins long before this.
constexpr int wall_seconds = 10;

SDL_Surface* load_with_library(SDL_RWops* stream) { return IMG_Load_RW(stream, 1); }

decode_function decoder = load_with_library;
confine_function confiner = confine_decoder;

// The child's result header, for its signal handlers.
result_header* child_header = nullptr;

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
    std::strncpy(to, from, N - 1);
    to[N - 1] = '\0';
}

// A text the child wrote, cut at its end and kept to printable ASCII: it reaches the
// user's terminal.
template <std::size_t N>
std::string read_text(const char (&from)[N]) {
    std::string text(from, strnlen(from, N));
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E) c = '?';
    }
    return text;
}

// The child's last words run after a fault, on a stack of their own: a sanitizer's
// bookkeeping there would look for the stack's bounds in files the filter forbids.
#define ZUB_LAST_WORDS __attribute__((no_sanitize("address", "undefined")))

// Whether the address space is used up: a moderate mapping no longer fits.
ZUB_LAST_WORDS bool memory_used_up() {
    void* probe =
        mmap(nullptr, std::size_t{64} << 20U, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (probe == MAP_FAILED) return errno == ENOMEM;
    munmap(probe, std::size_t{64} << 20U);
    return false;
}

ZUB_LAST_WORDS void on_crash(int signal) {
    child_header->crash_signal = signal;
    child_header->memory_exhausted = memory_used_up() ? 1 : 0;
    _exit(exit_crashed);
}

// A sanitizer build's runtime ends the process itself on a fault it finds and when its
// allocator runs out of memory; it calls this first.
ZUB_LAST_WORDS void on_sanitizer_death() {
    child_header->memory_exhausted = memory_used_up() ? 1 : 0;
    _exit(child_header->memory_exhausted != 0 ? exit_out_of_memory : exit_crashed);
}

ZUB_LAST_WORDS void on_new_failure() {
    child_header->memory_exhausted = 1;
    _exit(exit_out_of_memory);
}

// Signals the child reports rather than dies of, on a stack of their own: a stack
// overflow is a crash too.
void catch_crashes() {
    static std::uint8_t stack[65536];
    stack_t alternate{};
    alternate.ss_sp = stack;
    alternate.ss_size = sizeof stack;
    sigaltstack(&alternate, nullptr);
    struct sigaction action {};
    action.sa_handler = on_crash;
    action.sa_flags = SA_ONSTACK;
    for (const int signal : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL, SIGTRAP})
        sigaction(signal, &action, nullptr);
    std::set_new_handler(on_new_failure);
    if (__sanitizer_set_death_callback != nullptr) __sanitizer_set_death_callback(on_sanitizer_death);
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

// The decoder's work, in the child or in process: decodes `image`, describes the picture
// in `header` and copies its pixels to the memory `place(bytes)` gives (nullptr when it
// cannot). Returns the decoder's exit status.
template <class Place>
int decode_to(result_header& header, bytes_view image, int visible_width, int visible_height, Place place) {
    copy_text(header.format, image_format(image));
    header.stage = stage_decoding;
    surface_handle surface;
    int image_width = 0;
    int image_height = 0;
    if (decoder == load_with_library && visible_height != whole_picture && library_takes_as_jpeg(image)) {
        // A JPEG is decoded only down to the last row the window shows.
        jpeg_top top = decode_jpeg_top(image, visible_height);
        surface = std::move(top.rows);
        image_width = top.width;
        image_height = top.height;
    } else {
        stream_handle stream{SDL_RWFromConstMem(image.data(), static_cast<int>(image.size()))};
        if (!stream) {
            copy_text(header.error, SDL_GetError());
            return exit_not_decoded;
        }
        surface.reset(decoder(stream.release()));  // the decoder closes the stream
        if (surface) {
            image_width = surface->w;
            image_height = surface->h;
        }
    }
    if (!surface) {
        copy_text(header.error, IMG_GetError());
        header.memory_exhausted = memory_used_up() ? 1 : 0;
        return header.memory_exhausted != 0 ? exit_out_of_memory : exit_not_decoded;
    }
    SDL_Surface* s = surface.get();
    const SDL_PixelFormat* f = s->format;
    const std::int64_t row = std::int64_t{s->w} * f->BytesPerPixel;
    if (image_width < 1 || image_height < 1 || image_width > max_image_side ||
        image_height > max_image_side || s->pitch < row) {
        char why[128];
        (void)std::snprintf(why, sizeof why, "the image library made a %dx%d picture it cannot hold",
                            image_width, image_height);
        copy_text(header.error, why);
        return exit_not_decoded;
    }
    // Only the part the window shows is handed back: what lies right of or below it is
    // never converted or painted.
    const int width = std::min(s->w, visible_width);
    const int height = std::min(s->h, visible_height);
    const auto row_bytes = static_cast<std::size_t>(width) * f->BytesPerPixel;
    const std::size_t pitch = (row_bytes + 3) & ~std::size_t{3};
    const std::size_t bytes = pitch * static_cast<std::size_t>(height);
    auto* pixels = static_cast<std::uint8_t*>(place(bytes));
    if (pixels == nullptr || SDL_LockSurface(s) != 0) {
        header.memory_exhausted = 1;
        return exit_out_of_memory;
    }
    for (int y = 0; y < height; ++y) {
        std::memcpy(
            pixels + pitch * static_cast<std::size_t>(y),
            static_cast<const std::uint8_t*>(s->pixels) + std::size_t{s->pitch} * static_cast<std::size_t>(y),
            row_bytes);
    }
    SDL_UnlockSurface(s);

    header.image_width = image_width;
    header.image_height = image_height;
    header.width = width;
    header.height = height;
    header.pitch = static_cast<std::int32_t>(pitch);
    header.bits_per_pixel = f->BitsPerPixel;
    header.masks[0] = f->Rmask;
    header.masks[1] = f->Gmask;
    header.masks[2] = f->Bmask;
    header.masks[3] = f->Amask;
    header.flags = s->flags & (SDL_SRCCOLORKEY | SDL_SRCALPHA | SDL_RLEACCELOK);
    header.colorkey = f->colorkey;
    header.alpha = f->alpha;
    header.colour_count = 0;
    if (f->palette != nullptr) {
        header.colour_count = std::clamp(f->palette->ncolors, 0, 256);
        std::copy_n(f->palette->colors, header.colour_count, header.colours);
    }
    header.pixel_bytes = bytes;
    header.stage = stage_decoded;
    return exit_decoded;
}

std::int64_t address_space_in_use() {
    // The first field of statm is the address space in pages.
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[64] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    return std::strtoll(text, nullptr, 10) * sysconf(_SC_PAGESIZE);
}

[[noreturn]] void run_child(int result_fd, result_header* header, bytes_view image, int visible_width,
                            int visible_height, pid_t parent) {
    // Killed with the parent, whatever way the parent ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(exit_orphaned);
    child_header = header;
    header->stage = stage_started;
    // Every descriptor but the result's: the X connection, the document, stdout and
    // stderr. A library's message to stderr goes nowhere.
    if (result_fd > 0) close_range(0, static_cast<unsigned>(result_fd) - 1, 0);
    close_range(static_cast<unsigned>(result_fd) + 1, ~0U, 0);

    // Everything decoding needs is loaded and set up before the wall goes up.
    IMG_Init(IMG_INIT_JPG | IMG_INIT_PNG | IMG_INIT_TIF | IMG_INIT_WEBP);
    SDL_FreeSurface(SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 8, 0, 0, 0, 0));
    SDL_FreeSurface(SDL_CreateRGBSurface(SDL_SWSURFACE, 1, 1, 32, 0xFF, 0xFF00, 0xFF0000, 0));
    SDL_SetError("%s", "");
    catch_crashes();

    const std::string refused = confiner(result_fd);
    if (!refused.empty()) {
        copy_text(header->error, refused.c_str());
        _exit(exit_not_confined);
    }
    header->stage = stage_confined;
    _exit(decode_to(*header, image, visible_width, visible_height, [&](std::size_t bytes) -> void* {
        if (ftruncate(result_fd, static_cast<off_t>(result_header_bytes + bytes)) != 0) return nullptr;
        void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, result_fd, result_header_bytes);
        return at == MAP_FAILED ? nullptr : at;
    }));
}

void kill_and_reap(decoder_job& job) {
    if (job.pid > 0) {
        kill(job.pid, SIGKILL);
        while (waitpid(job.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        job.pid = -1;
    }
}

void close_fds(decoder_job& job) {
    for (int* fd : {&job.pidfd, &job.result_fd}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

// Waits until the child has ended or the deadline has passed; true when it ended.
bool wait_for_end(const decoder_job& job) {
    const auto deadline = job.started + std::chrono::seconds(wall_seconds);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd end{job.pidfd, POLLIN, 0};
        const int ready = poll(&end, 1, static_cast<int>(left.count()));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

std::string stopped_message(int seconds) {
    return "the decoder was stopped after " + std::to_string(seconds) + " s";
}

// The child's fate in words, or nothing when it handed back a picture.
std::string fate(int status, bool timed_out, const result_header& header) {
    if (timed_out) return stopped_message(wall_seconds);
    const bool out_of_memory = header.memory_exhausted != 0;
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGSYS) return "the decoder tried a forbidden system call";
        if (signal == SIGXCPU || signal == SIGKILL) return stopped_message(decoder_cpu_seconds);
        return "the decoder crashed (signal " + std::to_string(signal) + ")";
    }
    if (!WIFEXITED(status)) return "the decoder ended in an unknown way";
    switch (WEXITSTATUS(status)) {
        case exit_decoded:
            return "";
        case exit_not_decoded:
            return read_text(header.error);
        case exit_not_confined:
            return "the decoder cannot be confined: " + read_text(header.error);
        case exit_out_of_memory:
            return "the decoder went over its memory limit";
        case exit_crashed:
            if (out_of_memory) return "the decoder went over its memory limit";
            if (header.crash_signal == 0) return "the decoder crashed (a sanitizer stopped it)";
            return "the decoder crashed (signal " + std::to_string(header.crash_signal) + ")";
        default:
            return "the decoder ended with status " + std::to_string(WEXITSTATUS(status));
    }
}

}  // namespace

void mapping_release::operator()(void* at) const { munmap(at, size); }

decoder_job::decoder_job(decoder_job&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      pidfd(std::exchange(other.pidfd, -1)),
      result_fd(std::exchange(other.result_fd, -1)),
      result(std::move(other.result)),
      started(other.started),
      problem(std::move(other.problem)),
      format(std::move(other.format)) {}

decoder_job& decoder_job::operator=(decoder_job&& other) noexcept {
    if (this != &other) {
        kill_and_reap(*this);
        close_fds(*this);
        pid = std::exchange(other.pid, -1);
        pidfd = std::exchange(other.pidfd, -1);
        result_fd = std::exchange(other.result_fd, -1);
        result = std::move(other.result);
        started = other.started;
        problem = std::move(other.problem);
        format = std::move(other.format);
    }
    return *this;
}

decoder_job::~decoder_job() {
    kill_and_reap(*this);
    close_fds(*this);
}

void set_decode_function(decode_function decode) { decoder = decode != nullptr ? decode : load_with_library; }

void set_confine_function(confine_function confine) {
    confiner = confine != nullptr ? confine : confine_decoder;
}

std::string confine_decoder(int result_fd) {
    // No core dump, and no way back to privileges.
    const rlimit no_core{0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    prctl(PR_SET_DUMPABLE, 0);
    const rlimit cpu{decoder_cpu_seconds, decoder_cpu_seconds + 1};
    if (setrlimit(RLIMIT_CPU, &cpu) != 0)
        return std::string("cannot limit its CPU time: ") + std::strerror(errno);
    // Memory on top of what the program has mapped already: a sanitizer build has
    // terabytes of address space reserved before the first allocation.
    const std::int64_t in_use = address_space_in_use();
    if (in_use < 0) return "cannot read its memory use";
    const rlimit memory{static_cast<rlim_t>(in_use) + decoder_memory_bytes,
                        static_cast<rlim_t>(in_use) + decoder_memory_bytes};
    if (setrlimit(RLIMIT_AS, &memory) != 0)
        return std::string("cannot limit its memory: ") + std::strerror(errno);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        return std::string("cannot give up privileges: ") + std::strerror(errno);
    }

    const scmp_filter_ctx filter = seccomp_init(SCMP_ACT_KILL_PROCESS);
    if (filter == nullptr) return "cannot make a seccomp filter";
    const auto allow = [&](int call, auto... conditions) {
        return seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, sizeof...(conditions), conditions...) == 0;
    };
    // libseccomp's SCMP_A* macros are C compound literals.
    const auto arg = [](unsigned index, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0) {
        return scmp_arg_cmp{index, op, a, b};
    };
    const auto no_exec = arg(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0);
    const auto result = static_cast<scmp_datum_t>(result_fd);
    const auto self = static_cast<scmp_datum_t>(getpid());
    bool built = seccomp_attr_set(filter, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_KILL_PROCESS) == 0;
    // Memory, private or the result's; never executable.
    built = built && allow(SCMP_SYS(brk)) && allow(SCMP_SYS(munmap)) && allow(SCMP_SYS(mremap)) &&
            allow(SCMP_SYS(madvise)) && allow(SCMP_SYS(mprotect), no_exec) &&
            allow(SCMP_SYS(mmap), no_exec, arg(3, SCMP_CMP_MASKED_EQ, MAP_ANONYMOUS, MAP_ANONYMOUS)) &&
            allow(SCMP_SYS(mmap), no_exec, arg(4, SCMP_CMP_EQ, result)) &&
            allow(SCMP_SYS(ftruncate), arg(0, SCMP_CMP_EQ, result));
    // Ending, signals to itself (abort), and what the C library asks about itself.
    built = built && allow(SCMP_SYS(exit)) && allow(SCMP_SYS(exit_group)) && allow(SCMP_SYS(rt_sigreturn)) &&
            allow(SCMP_SYS(rt_sigprocmask)) && allow(SCMP_SYS(rt_sigaction)) &&
            allow(SCMP_SYS(sigaltstack)) && allow(SCMP_SYS(getpid)) && allow(SCMP_SYS(gettid)) &&
            allow(SCMP_SYS(tgkill), arg(0, SCMP_CMP_EQ, self)) && allow(SCMP_SYS(sysinfo)) &&
            allow(SCMP_SYS(clock_gettime)) && allow(SCMP_SYS(gettimeofday));
    // The libraries' messages to stderr, which is closed, fail as they would anyway.
    for (const int call : {SCMP_SYS(write), SCMP_SYS(writev)}) {
        built =
            built && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EBADF), call, 1, arg(0, SCMP_CMP_EQ, 2)) == 0;
    }
    for (const int call : {SCMP_SYS(fstat), SCMP_SYS(newfstatat)}) {
        built = built && seccomp_rule_add(filter, SCMP_ACT_ERRNO(EBADF), call, 0) == 0;
    }
    const int loaded = built ? seccomp_load(filter) : -1;
    seccomp_release(filter);
    if (!built) return "cannot build its seccomp filter";
    if (loaded != 0) return std::string("cannot install its seccomp filter: ") + std::strerror(-loaded);
    return "";
}

decoder_job start_decoding(bytes_view image, int visible_width, int visible_height) {
    decoder_job job;
    job.started = std::chrono::steady_clock::now();
    // An absurd declared size costs the time and memory of decoding it: refused here.
    if (const auto declared = probe_image_size(image)) {
        job.format = declared->format;
        if (const auto problem = image_size_problem(*declared)) {
            job.problem = *problem;
            return job;
        }
    }
    job.result_fd = memfd_create("zub-decoded-image", MFD_CLOEXEC);
    if (job.result_fd < 0 || ftruncate(job.result_fd, result_header_bytes) != 0) {
        job.problem = std::string("cannot make memory for the decoder: ") + std::strerror(errno);
        return job;
    }
    void* header = mmap(nullptr, result_header_bytes, PROT_READ | PROT_WRITE, MAP_SHARED, job.result_fd, 0);
    if (header == MAP_FAILED) {
        job.problem = std::string("cannot map memory for the decoder: ") + std::strerror(errno);
        return job;
    }
    job.result = mapping_handle(header, mapping_release{result_header_bytes});
    // libseccomp probes what the kernel offers once per process; done here, every child
    // finds the answer made.
    (void)seccomp_api_get();
    const pid_t parent = getpid();
    (void)std::fflush(nullptr);  // nothing buffered is written twice
    job.pid = fork();
    if (job.pid == 0) {
        run_child(job.result_fd, static_cast<result_header*>(header), image, visible_width, visible_height,
                  parent);
    }
    if (job.pid < 0) {
        job.problem = std::string("cannot start the decoder: ") + std::strerror(errno);
        return job;
    }
    job.pidfd = static_cast<int>(syscall(SYS_pidfd_open, job.pid, 0));
    return job;
}

decoded_image finish_decoding(decoder_job& job) {
    const auto not_decoded = [&](std::string format, std::string why) {
        close_fds(job);
        return decoded_image{std::move(format), failure{std::move(why)}};
    };
    if (!job.problem.empty() || job.pid < 0) {
        return not_decoded(job.format, job.problem.empty() ? "the decoder was not started" : job.problem);
    }
    // Without a pidfd (an old kernel), the wait has no deadline but the CPU limit.
    const bool timed_out = job.pidfd >= 0 && !wait_for_end(job);
    if (timed_out) kill(job.pid, SIGKILL);
    int status = 0;
    while (waitpid(job.pid, &status, 0) < 0 && errno == EINTR) {
    }
    job.pid = -1;
    // The child has ended: nothing writes to the shared memory any more.
    const result_header header = *static_cast<const result_header*>(job.result.get());
    const std::string format = header.stage >= stage_confined ? read_text(header.format) : job.format;
    if (std::string why = fate(status, timed_out, header); !why.empty()) return not_decoded(format, why);
    struct stat size {};
    if (fstat(job.result_fd, &size) != 0 || size.st_size < 0) {
        return not_decoded(format, std::string("cannot read the decoded picture: ") + std::strerror(errno));
    }
    const auto bytes = static_cast<std::size_t>(size.st_size);
    void* region = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, job.result_fd, 0);
    if (region == MAP_FAILED) {
        return not_decoded(format, std::string("cannot map the decoded picture: ") + std::strerror(errno));
    }
    close_fds(job);
    return read_result(mapping_handle(region, mapping_release{bytes}));
}

decoded_image decode_image(bytes_view image, int visible_width, int visible_height) {
    decoder_job job = start_decoding(image, visible_width, visible_height);
    return finish_decoding(job);
}

decoded_image decode_in_process(bytes_view image, int visible_width, int visible_height) {
    result_header header{};
    mapping_handle region;
    const int status =
        decode_to(header, image, visible_width, visible_height, [&](std::size_t bytes) -> void* {
            const std::size_t size = result_header_bytes + bytes;
            void* at = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (at == MAP_FAILED) return nullptr;
            region = mapping_handle(at, mapping_release{size});
            return static_cast<std::uint8_t*>(at) + result_header_bytes;
        });
    if (status != exit_decoded)
        return decoded_image{read_text(header.format), failure{fate(status << 8, false, header)}};
    std::memcpy(region.get(), &header, sizeof header);
    return read_result(std::move(region));
}

decoded_image read_result(mapping_handle region) {
    const std::size_t size = region.get_deleter().size;
    if (!region || size < result_header_bytes)
        return decoded_image{"", failure{"the decoder handed back too few bytes"}};
    result_header header{};
    std::memcpy(&header, region.get(), sizeof header);
    const std::string format = read_text(header.format);
    const auto refuse = [&](const char* why) {
        return decoded_image{format, failure{std::string("the decoder handed back ") + why}};
    };
    if (header.stage != stage_decoded) return refuse("no picture");
    const int bpp = header.bits_per_pixel;
    if (bpp != 8 && bpp != 15 && bpp != 16 && bpp != 24 && bpp != 32)
        return refuse("an unknown pixel format");
    const std::int64_t bytes_per_pixel = (bpp + 7) / 8;
    if (header.width < 1 || header.height < 1 || header.width > header.image_width ||
        header.height > header.image_height || header.image_width > max_image_side ||
        header.image_height > max_image_side) {
        return refuse("a picture of an impossible size");
    }
    // SDL keeps a row's length in 16 bits.
    if (header.pitch < header.width * bytes_per_pixel || header.pitch > 65535)
        return refuse("rows of a wrong length");
    const std::uint64_t bytes =
        std::uint64_t{static_cast<std::uint32_t>(header.pitch)} * static_cast<std::uint32_t>(header.height);
    if (header.pixel_bytes != bytes || bytes > size - result_header_bytes)
        return refuse("fewer pixels than it says");
    if (header.colour_count < 0 || header.colour_count > 256) return refuse("an impossible palette");
    // Each channel's mask a run of bits, the channels apart. (A palette picture may carry
    // masks too: SDL_image gives grey PNGs the RGB masks, and SDL goes by the palette.)
    std::uint32_t seen = 0;
    for (const std::uint32_t mask : header.masks) {
        const bool contiguous = (mask & (mask + (mask & (~mask + 1U)))) == 0;
        if (!contiguous || (mask & seen) != 0) return refuse("an impossible pixel format");
        seen |= mask;
    }
    // The colour key is a pixel value: SDL looks it up in the palette.
    if (bpp < 32 && header.colorkey >> static_cast<unsigned>(bpp) != 0)
        return refuse("an impossible colour key");

    decoded_picture picture;
    void* pixels = static_cast<std::uint8_t*>(region.get()) + result_header_bytes;
    picture.surface.reset(SDL_CreateRGBSurfaceFrom(pixels, header.width, header.height, bpp, header.pitch,
                                                   header.masks[0], header.masks[1], header.masks[2],
                                                   header.masks[3]));
    if (!picture.surface) return decoded_image{format, failure{SDL_GetError()}};
    picture.pixels = std::move(region);
    picture.width = header.image_width;
    picture.height = header.image_height;
    SDL_Surface* s = picture.surface.get();
    if (s->format->palette != nullptr && header.colour_count > 0) {
        SDL_SetColors(s, header.colours, 0, header.colour_count);
    }
    SDL_SetColorKey(s, header.flags & (SDL_SRCCOLORKEY | SDL_RLEACCELOK), header.colorkey);
    SDL_SetAlpha(s, header.flags & (SDL_SRCALPHA | SDL_RLEACCELOK), static_cast<Uint8>(header.alpha));
    return decoded_image{format, std::move(picture)};
}

}  // namespace zub
