#include "loaders/picture_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/descriptor.hpp"
#include "tools/font_lookup.hpp"
#include "tools/picture_file.hpp"
#include "tools/scale.hpp"
#include "wall/handback.hpp"
#include "wall/job.hpp"

namespace zub {

namespace {

// zub render's own bound on a run of the composer, and a little for its start and the
// picture's write.
constexpr std::chrono::seconds render_deadline{2 * stage_wall_seconds + 2};

// What is kept of zub render's words on stderr for a failure's message.
constexpr std::size_t kept_error_bytes = 4096;

std::string reason(int error) { return std::strerror(error); }

// The folder zub render runs in: the document's, where Consola.ttf is beside it (zub's
// font rule takes the working directory's first), else the root, where the rule goes on
// to the system's fixed-width face.
std::string render_folder(const std::string& document_path) {
    if (document_path.empty()) return "/";
    const std::optional<std::string> beside = font_beside(document_path);
    return beside ? std::filesystem::path(*beside).parent_path().string() : "/";
}

// The last line zub said on stderr (its failure comes after any note), without its
// "zub: -: ".
std::string last_line(std::string said) {
    while (!said.empty() && said.back() == '\n') said.pop_back();
    std::string line = said.substr(said.rfind('\n') + 1);
    for (const char* prefix : {"zub: -: ", "zub: "}) {
        if (line.starts_with(prefix)) {
            line.erase(0, std::strlen(prefix));
            break;
        }
    }
    return line;
}

// The pipes zub render writes, read until both end, or until zub render has ended and
// what it left is read: at most `limit` bytes of the picture and the first bytes of its
// words. Why it stopped short, or nothing.
struct render_output {
    std::vector<std::uint8_t> picture;
    std::string said;
};
std::string drain(const composer_run& run, int out, int err, std::size_t limit, render_output& got) {
    const auto deadline = run.started + render_deadline;
    std::array<pollfd, 3> ends{pollfd{out, POLLIN, 0}, pollfd{err, POLLIN, 0}, pollfd{run.pidfd, POLLIN, 0}};
    std::array<std::uint8_t, 1U << 16U> chunk{};
    bool ended = false;
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return "zub render was stopped after " + std::to_string(render_deadline.count()) + " s";
        // Once zub render has ended, what it wrote is all in the pipes: a pipe still open
        // is held by another process of the host's, and is not waited for.
        const int ready = ended ? 1 : poll(ends.data(), ends.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return "cannot read what zub render gives: " + reason(errno);
        if (ends[2].fd >= 0 && ends[2].revents != 0) ended = true;
        for (std::size_t i = 0; i < 2; ++i) {
            pollfd& end = ends[i];
            if (end.fd < 0 || (!ended && end.revents == 0)) continue;
            const ssize_t n = read(end.fd, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {  // the end, or nothing more after zub render's (EAGAIN)
                end.fd = -1;
                continue;
            }
            const auto bytes = static_cast<std::size_t>(n);
            if (i == 0) {
                if (got.picture.size() + bytes > limit)
                    return "zub render gave more than the picture's bytes";
                got.picture.insert(got.picture.end(), chunk.begin(), chunk.begin() + n);
            } else if (got.said.size() < kept_error_bytes) {
                got.said.append(reinterpret_cast<const char*>(chunk.data()),
                                std::min(bytes, kept_error_bytes - got.said.size()));
            }
        }
    }
    return {};
}

// The picture in zub render's PPM, exactly `size`: the pixels taken over, the header dropped.
bool take_ppm(std::vector<std::uint8_t>& bytes, loader_size size, loader_picture& picture) {
    const std::string header = ppm_header(size.width, size.height);
    const auto pixels = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3;
    if (bytes.size() != header.size() + pixels || !std::equal(header.begin(), header.end(), bytes.begin()))
        return false;
    bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(header.size()));
    picture = {size.width, size.height, std::move(bytes)};
    return true;
}

// A pipe whose ends are close-on-exec, its reading end not blocking (what is left once
// zub render has ended is read without waiting).
bool make_pipe(descriptor& reading, descriptor& writing) {
    int ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    const descriptor read_end{ends[0]};
    const descriptor write_end{ends[1]};
    if (fcntl(read_end.fd, F_SETFL, O_NONBLOCK) != 0) return false;
    reading.fd = fcntl(read_end.fd, F_DUPFD_CLOEXEC, 3);
    writing.fd = fcntl(write_end.fd, F_DUPFD_CLOEXEC, 3);  // above the standard ones it is placed at
    return reading.fd >= 0 && writing.fd >= 0;
}

result<loader_picture> compose_with_zub(bytes_view bytes, const picture_order& order) {
    const result<loader_size> whole = picture_size_of(bytes);
    if (!whole) return failure{whole.why()};
    loader_size size = *whole;
    if (order.box > 0) {
        const picture_size fitted = fit_within(size.width, size.height, order.box);
        size = {fitted.width, fitted.height};
    }

    // The document on zub render's standard input, read from its start.
    const descriptor sealed{sealed_input(bytes)};
    const descriptor input{sealed.fd < 0 ? -1 : fcntl(sealed.fd, F_DUPFD_CLOEXEC, 3)};
    descriptor out_read;
    descriptor out_write;
    descriptor err_read;
    descriptor err_write;
    if (input.fd < 0 || lseek(input.fd, 0, SEEK_SET) != 0 || !make_pipe(out_read, out_write) ||
        !make_pipe(err_read, err_write))
        return failure{"cannot start zub render: " + reason(errno)};

    const std::string program = zub_program(order.program_from_loader);
    std::vector<std::string> words{program, "render", "-", "-", "--format", "ppm"};
    if (order.box > 0) {
        words.emplace_back("--size");
        words.push_back(std::to_string(order.box));
    }
    const std::array<placed_descriptor, 3> placed{placed_descriptor{input.fd, 0},
                                                  placed_descriptor{out_write.fd, 1},
                                                  placed_descriptor{err_write.fd, 2}};
    const std::string folder = render_folder(order.document_path);
    composer_run run;
    run.started = std::chrono::steady_clock::now();
    int error = 0;
    run.pid = spawn_afresh(program, std::move(words), placed, folder.c_str(), error);
    if (run.pid < 0) return failure{"cannot start " + program + ": " + reason(error)};
    run.pidfd = static_cast<int>(syscall(SYS_pidfd_open, run.pid, 0));
    // Only zub render holds the writing ends now: the pipes end when it does.
    (void)close(out_write.release());
    (void)close(err_write.release());

    render_output got;
    const std::size_t limit =
        static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3 + 64;
    got.picture.reserve(limit);
    const std::string cut_short = drain(run, out_read.fd, err_read.fd, limit, got);
    if (!cut_short.empty()) kill_run(run);
    wait_once(run, render_deadline);
    if (!cut_short.empty()) return failure{cut_short};
    if (!run.ended)
        return failure{"zub render was stopped after " + std::to_string(render_deadline.count()) + " s"};
    // A host that reaps every child (or ignores SIGCHLD) leaves no status: a whole picture
    // is then taken as it came.
    const bool status_known = run.wait_error == 0;
    if (status_known && !(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0)) {
        const std::string line = last_line(got.said);
        return failure{line.empty() ? "zub render failed" : line};
    }
    loader_picture picture;
    if (!take_ppm(got.picture, size, picture)) {
        const std::string line = last_line(got.said);
        return failure{"zub render gave no picture of the document's size" +
                       (line.empty() ? "" : ": " + line)};
    }
    return picture;
}

}  // namespace

result<loader_size> picture_size_of(bytes_view header) {
    const document doc = parse_document(header.first(std::min<std::size_t>(header.size(), header_size)));
    if (!doc.is_document) return failure{"not a ZUB document"};
    if (!doc.header_read) return failure{describe(doc.problems.front())};
    const document_header& h = doc.header;
    if (const auto refused = window_size_problem(h.width, h.height, h.bits_per_pixel))
        return failure{describe(*refused)};
    // A caption and an image that the header declares past the documents' bound are
    // refused as soon as the header is in, before the rest is fed in.
    const std::uint64_t declared = header_size + std::uint64_t{h.caption_length} +
                                   static_cast<std::uint64_t>(std::max<std::int32_t>(h.image_length, 0));
    if (declared > max_document_bytes) {
        return failure{"the document declares " + std::to_string(declared) +
                       " bytes of header, caption and image, more than the " +
                       std::to_string(max_document_bytes) + " bytes a document may have"};
    }
    const loader_size size{h.width == 0 ? default_desktop_width : h.width,
                           h.height == 0 ? default_desktop_height : h.height};
    if (std::int64_t{size.width} * size.height > max_thumbnail_pixels) {
        return failure{"the window " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                       " is too large for an image loader (at most " + std::to_string(max_thumbnail_pixels) +
                       " pixels)"};
    }
    return size;
}

int thumbnail_box(loader_size whole, loader_size asked) {
    const int box = std::max(asked.width, asked.height);
    const picture_size fitted = fit_within(whole.width, whole.height, box);
    const bool smaller = box > 0 && box < std::max(whole.width, whole.height);
    return smaller && fitted.width == asked.width && fitted.height == asked.height ? box : 0;
}

std::vector<std::uint8_t>* pixels_to_hand_over(loader_picture&& picture) {
    return new std::vector<std::uint8_t>(std::move(picture.rgb));  // NOLINT(cppcoreguidelines-owning-memory)
}

void release_handed_pixels(void* pixels) {
    delete static_cast<std::vector<std::uint8_t>*>(pixels);  // NOLINT(cppcoreguidelines-owning-memory)
}

std::string zub_program(const char* program_from_loader) {
    return program_beside("zub", program_from_loader);
}

result<loader_picture> compose_picture(bytes_view bytes, const picture_order& order) {
    try {
        return compose_with_zub(bytes, order);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        return failure{std::string("cannot compose the picture: ") + e.what()};
    }
}

}  // namespace zub
