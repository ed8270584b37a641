#include "loaders/picture_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>

#include "document/document.hpp"
#include "document/limits.hpp"
#include "files/descriptor.hpp"
#include "tools/scale.hpp"
#include "wall/handback.hpp"
#include "wall/job.hpp"

namespace zub {

namespace {

// zub render's own bound on a run of the composer, and a little for its start and the
// picture's write.
constexpr std::chrono::seconds render_deadline{stage_wall_seconds + 2};

// What is kept of zub render's words on stderr for a failure's message.
constexpr std::size_t kept_error_bytes = 4096;

std::string reason(int error) { return std::strerror(error); }

// Above the standard descriptors, so that placing them cannot close one before it is placed.
int above_standard(int fd) { return fd < 0 ? -1 : fcntl(fd, F_DUPFD_CLOEXEC, 3); }

// The folder zub render runs in: the document's, where Consola.ttf beside it is a
// regular file (zub's font rule takes the working directory's first), else the root,
// where the rule goes on to the system's fixed-width face.
std::string render_folder(const std::string& document_path) {
    if (!document_path.empty()) {
        const std::filesystem::path folder = std::filesystem::path(document_path).parent_path();
        struct stat font {};
        if (!folder.empty() && stat((folder / default_font_name).c_str(), &font) == 0 &&
            S_ISREG(font.st_mode))
            return folder.string();
    }
    return "/";
}

// The first line zub said on stderr, without its "zub: -: ".
std::string first_line(const std::string& said) {
    std::string line = said.substr(0, said.find('\n'));
    for (const char* prefix : {"zub: -: ", "zub: "}) {
        if (line.rfind(prefix, 0) == 0) {
            line.erase(0, std::strlen(prefix));
            break;
        }
    }
    return line;
}

// The picture in zub render's PPM, exactly `size` and nothing after it; else nothing.
bool read_ppm(const std::vector<std::uint8_t>& bytes, loader_size size, loader_picture& picture) {
    const std::string header =
        "P6\n" + std::to_string(size.width) + " " + std::to_string(size.height) + "\n255\n";
    const auto pixels = static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3;
    if (bytes.size() != header.size() + pixels || !std::equal(header.begin(), header.end(), bytes.begin()))
        return false;
    picture.width = size.width;
    picture.height = size.height;
    picture.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(header.size()), bytes.end());
    return true;
}

// Reads both pipes until each ends: at most `limit` bytes of the picture and the first
// bytes of zub render's words. Why it stopped short, or nothing.
std::string drain(int out, int err, std::size_t limit, std::chrono::steady_clock::time_point deadline,
                  std::vector<std::uint8_t>& picture, std::string& said) {
    std::array<pollfd, 2> ends{pollfd{out, POLLIN, 0}, pollfd{err, POLLIN, 0}};
    std::vector<std::uint8_t> chunk(std::size_t{1} << 16U);
    while (ends[0].fd >= 0 || ends[1].fd >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return "zub render was stopped after " + std::to_string(render_deadline.count()) + " s";
        const int ready = poll(ends.data(), ends.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return "cannot read what zub render gives: " + reason(errno);
        for (pollfd& end : ends) {
            if (end.fd < 0 || end.revents == 0) continue;
            const ssize_t n = read(end.fd, chunk.data(), chunk.size());
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) {
                end.fd = -1;
                continue;
            }
            const auto got = static_cast<std::size_t>(n);
            if (&end == ends.data()) {
                if (picture.size() + got > limit) return "zub render gave more than the picture's bytes";
                picture.insert(picture.end(), chunk.begin(), chunk.begin() + n);
            } else if (said.size() < kept_error_bytes) {
                said.append(reinterpret_cast<const char*>(chunk.data()),
                            std::min(got, kept_error_bytes - said.size()));
            }
        }
    }
    return {};
}

}  // namespace

result<loader_size> picture_size_of(bytes_view header) {
    const document doc = parse_document(header.first(std::min<std::size_t>(header.size(), header_size)));
    if (!doc.is_document) return failure{"not a ZUB document"};
    if (!doc.header_read) return failure{describe(doc.problems.front())};
    const document_header& h = doc.header;
    const std::int64_t depth = exact_depth(h.bits_per_pixel) ? h.bits_per_pixel : 32;
    if (const auto refused = window_size_problem(h.width, h.height, h.bits_per_pixel))
        return failure{describe(*refused)};
    const loader_size size{h.width == 0 ? loader_desktop_width : h.width,
                           h.height == 0 ? loader_desktop_height : h.height};
    if (const auto refused = window_size_problem(size.width, size.height, depth))
        return failure{describe(*refused)};
    if (std::int64_t{size.width} * size.height > max_loader_pixels) {
        return failure{"the window " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                       " is too large for an image loader (at most " + std::to_string(max_loader_pixels) +
                       " pixels)"};
    }
    return size;
}

std::string zub_program(const char* program_from_loader) {
    return program_beside("zub", program_from_loader);
}

result<loader_picture> compose_picture(bytes_view bytes, const picture_order& order) {
    if (bytes.size() > max_document_bytes) {
        return failure{"the file is larger than " + std::to_string(max_document_bytes) +
                       " bytes, the most a document may have"};
    }
    const document doc = parse_document(bytes);
    if (!doc.is_document) return failure{"not a ZUB document"};
    if (const problem* error = doc.error()) return failure{describe(*error)};
    const result<loader_size> whole = picture_size_of(bytes);
    if (!whole) return failure{whole.why()};
    loader_size size = *whole;
    if (order.box > 0) {
        const picture_size fitted = fit_within(size.width, size.height, order.box);
        size = {fitted.width, fitted.height};
    }

    // The document on zub render's standard input, read from its start.
    const descriptor input{above_standard(sealed_input(bytes))};
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    if (input.fd < 0 || lseek(input.fd, 0, SEEK_SET) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0)
        return failure{"cannot start zub render: " + reason(errno)};
    const descriptor out_read{out_pipe[0]};
    descriptor out_write{above_standard(out_pipe[1])};
    (void)close(out_pipe[1]);
    if (pipe2(err_pipe, O_CLOEXEC) != 0) return failure{"cannot start zub render: " + reason(errno)};
    const descriptor err_read{err_pipe[0]};
    descriptor err_write{above_standard(err_pipe[1])};
    (void)close(err_pipe[1]);
    if (out_write.fd < 0 || err_write.fd < 0) return failure{"cannot start zub render: " + reason(errno)};

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

    std::vector<std::uint8_t> ppm;
    std::string said;
    const std::size_t limit =
        static_cast<std::size_t>(size.width) * static_cast<std::size_t>(size.height) * 3 + 64;
    const std::string cut_short =
        drain(out_read.fd, err_read.fd, limit, run.started + render_deadline, ppm, said);
    if (!cut_short.empty()) (void)kill(run.pid, SIGKILL);
    wait_once(run, render_deadline);
    if (!cut_short.empty()) return failure{cut_short};
    if (!run.ended)
        return failure{"zub render was stopped after " + std::to_string(render_deadline.count()) + " s"};
    // A host that reaps every child (or ignores SIGCHLD) leaves no status: a whole picture
    // is then taken as it came.
    const bool status_known = run.wait_error == 0;
    if (status_known && !(WIFEXITED(run.wait_status) && WEXITSTATUS(run.wait_status) == 0)) {
        const std::string line = first_line(said);
        return failure{line.empty() ? "zub render failed" : line};
    }
    loader_picture picture;
    if (!read_ppm(ppm, size, picture)) {
        const std::string line = first_line(said);
        return failure{"zub render gave no picture of the document's size" +
                       (line.empty() ? "" : ": " + line)};
    }
    return picture;
}

}  // namespace zub
