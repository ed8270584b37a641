// zub-open: opens a document in zub_reader with a font for its texts, wherever it is
// started from. The desktop entry runs it for a document opened from a file manager.
//
//   zub-open FILE
//
// zub_reader draws the texts in Consola.ttf from its working directory. zub-open gives
// it a private working directory (under $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp) whose
// Consola.ttf is a link to the Consola.ttf beside the document or, without one, to the
// system's fixed-width face (the one thumbnails are drawn in), runs the viewer there on
// the document, and removes the directory once the viewer has ended. Its exit status is
// the viewer's. SIGINT, SIGTERM and SIGHUP are passed on to the viewer.
//
// Nobody reads a file manager's stderr: when the viewer ends with an error, or the file
// is not a document at all (which the viewer passes over in silence), zub-open says so
// as a desktop notification too, besides the line on stderr, which it passes on.
#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "document/limits.hpp"
#include "document/result.hpp"
#include "document/strings.hpp"
#include "tools/font_lookup.hpp"
#include "tools/notify.hpp"

#ifndef ZUB_VERSION
#define ZUB_VERSION "unknown"
#endif

namespace {

namespace fs = std::filesystem;

constexpr const char* usage = "usage: zub-open FILE\n";

void say(const std::string& path, const std::string& what) {
    std::cerr << "zub-open: " << zub::terminal_safe(path) << ": " << zub::terminal_safe(what) << '\n';
}

int fail(const std::string& path, const std::string& what) {
    say(path, what);
    return 1;
}

// The document's name as the desktop shows it.
std::string shown_name(const std::string& path) {
    const std::string name = fs::path(path).filename().string();
    return zub::terminal_safe(name.empty() ? path : name);
}

// Says `what` on the screen as well, for a person who opened the document from the
// desktop; where there is no session bus, stderr alone has said it.
void notify(const std::string& path, const std::string& what) {
    // Valid UTF-8 whatever the viewer or a library said, as the session bus takes it.
    (void)zub::notify_desktop("Cannot show " + shown_name(path), zub::terminal_safe(what));
}

// Whether the file is a document by its first bytes, as the viewer tells: the reason it
// is not, or nothing. A file that cannot be read is the viewer's to report; a FIFO or a
// device is not read here, so that the viewer gets all of it.
std::optional<std::string> not_a_document(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    char head[3] = {};
    const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const ssize_t n = regular ? pread(fd, head, sizeof head, 0) : -1;
    (void)close(fd);
    if (!regular || n < 0) return std::nullopt;
    if (n == sizeof head && std::memcmp(head, "ZUB", sizeof head) == 0) return std::nullopt;
    return std::string("not a ZUB document: it does not start with the bytes \"ZUB\"");
}

// The folder private working directories are made in.
std::string scratch_folder() {
    for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
        const char* folder = std::getenv(name);
        std::error_code ignored;
        if (folder != nullptr && *folder == '/' && fs::is_directory(folder, ignored)) return folder;
    }
    return "/tmp";
}

// zub_reader beside this program (the build tree, an install), else the one PATH finds.
std::string viewer_program() {
    std::error_code ignored;
    const fs::path beside = fs::read_symlink("/proc/self/exe", ignored).parent_path() / "zub_reader";
    if (!ignored && access(beside.c_str(), X_OK) == 0) return beside.string();
    return "zub_reader";
}

sigset_t passed_on_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, signal);
    return set;
}

// How the viewer ended, and what it said on stderr last (its error, when it ended with one).
struct viewer_end {
    int status = 0;          // waitpid's
    bool passed_on = false;  // a quit signal was passed on to it
    std::string last_line;   // its last line on stderr
};

// Keeps the last line of what the viewer says, whose bytes it passes on as they come.
class stderr_tail {
public:
    void take(const char* bytes, std::size_t count) {
        for (std::size_t sent = 0; sent < count;) {
            const ssize_t n = write(STDERR_FILENO, bytes + sent, count - sent);
            if (n <= 0 && errno != EINTR) break;  // stderr gone: the line still goes to the desktop
            if (n > 0) sent += static_cast<std::size_t>(n);
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (bytes[i] == '\n') {
                if (!current_.empty()) last_ = std::move(current_);
                current_.clear();
            } else if (current_.size() < max_line) {
                current_ += bytes[i];
            }
        }
    }
    std::string last() const { return current_.empty() ? last_ : current_; }

private:
    static constexpr std::size_t max_line = 4096;  // a notification shows a few lines at most
    std::string current_;
    std::string last_;
};

// Reads what is there to read from `fd`, into `tail`: false at its end.
bool read_some(int fd, stderr_tail& tail) {
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) tail.take(buffer, static_cast<std::size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
}

// Runs the viewer on `document` in `folder` and waits for it, passing the quit signals
// on and its stderr through: how it ended, or why it could not be started.
zub::result<viewer_end> run_viewer(const std::string& document, const std::string& folder) {
    // SIGCHLD ignored by whoever started this program would let the kernel reap the
    // viewer unseen: it is taken here, as every other signal waited for.
    (void)std::signal(SIGCHLD, SIG_DFL);
    // A stderr nobody reads any more must not end this program before it has cleaned up
    // and said so on the desktop: a write there fails instead (the viewer gets SIGPIPE's
    // default back).
    (void)std::signal(SIGPIPE, SIG_IGN);
    const sigset_t held = passed_on_signals();
    sigset_t before;
    (void)sigprocmask(SIG_BLOCK, &held, &before);
    const int signals = signalfd(-1, &held, SFD_CLOEXEC);
    if (signals < 0) return zub::failure{std::strerror(errno)};
    // The viewer's exec failing is told through a pipe that the exec closes; its stderr
    // comes through another.
    int told[2] = {-1, -1};
    int said[2] = {-1, -1};
    if (pipe2(told, O_CLOEXEC) != 0 || pipe2(said, O_CLOEXEC) != 0) {
        const int error = errno;
        for (const int fd : {told[0], told[1], said[0], said[1], signals}) {
            if (fd >= 0) (void)close(fd);
        }
        return zub::failure{std::strerror(error)};
    }
    const std::string program = viewer_program();
    const pid_t viewer = fork();
    if (viewer == 0) {
        (void)sigprocmask(SIG_SETMASK, &before, nullptr);
        (void)std::signal(SIGPIPE, SIG_DFL);
        if (dup2(said[1], STDERR_FILENO) >= 0 && chdir(folder.c_str()) == 0) {
            execlp(program.c_str(), "zub_reader", document.c_str(), static_cast<char*>(nullptr));
        }
        const int error = errno;
        (void)!write(told[1], &error, sizeof error);
        _exit(127);
    }
    const int fork_error = errno;
    (void)close(told[1]);
    (void)close(said[1]);
    if (viewer < 0) {
        for (const int fd : {told[0], said[0], signals}) (void)close(fd);
        return zub::failure{std::strerror(fork_error)};
    }
    int exec_error = 0;
    const ssize_t got = read(told[0], &exec_error, sizeof exec_error);
    (void)close(told[0]);
    viewer_end end;
    stderr_tail tail;
    bool reading = true;
    for (;;) {
        pollfd looked[2] = {{signals, POLLIN, 0}, {said[0], POLLIN, 0}};
        if (poll(looked, reading ? 2 : 1, -1) < 0 && errno != EINTR) {
            // Nothing more can be watched: the viewer is ended, not left running alone.
            const int error = errno;
            (void)kill(viewer, SIGKILL);
            while (waitpid(viewer, &end.status, 0) < 0 && errno == EINTR) {
            }
            (void)close(said[0]);
            (void)close(signals);
            return zub::failure{std::string("cannot wait for the viewer: ") + std::strerror(error)};
        }
        if (reading && (looked[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0)
            reading = read_some(said[0], tail);
        if ((looked[0].revents & POLLIN) == 0) continue;
        signalfd_siginfo info{};
        if (read(signals, &info, sizeof info) != sizeof info) continue;
        if (info.ssi_signo != SIGCHLD) {
            (void)kill(viewer, static_cast<int>(info.ssi_signo));
            end.passed_on = true;
            continue;
        }
        const pid_t ended = waitpid(viewer, &end.status, WNOHANG);
        if (ended != viewer) continue;
        // What it said last is read to its end, but not waited for: a program it started
        // could hold the pipe open.
        (void)fcntl(said[0], F_SETFL, O_NONBLOCK);
        char rest[4096];
        for (ssize_t n = 0; reading && (n = read(said[0], rest, sizeof rest)) > 0;)
            tail.take(rest, static_cast<std::size_t>(n));
        break;
    }
    (void)close(said[0]);
    (void)close(signals);
    if (got == static_cast<ssize_t>(sizeof exec_error))
        return zub::failure{program + ": " + std::strerror(exec_error)};
    end.last_line = tail.last();
    return end;
}

// The viewer's error line without its "zub_reader: FILE: ", for a notification that
// names the document already.
std::string what_went_wrong(const std::string& line, const std::string& document) {
    for (const std::string& prefix :
         {"zub_reader: " + zub::terminal_safe(document) + ": ", std::string("zub_reader: ")}) {
        if (line.starts_with(prefix)) return line.substr(prefix.size());
    }
    return line;
}

}  // namespace

namespace {

int open_document(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        (void)std::fputs(usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        (void)std::fputs("zub-open " ZUB_VERSION "\n", stdout);
        return 0;
    }
    std::error_code failed;
    // An option it does not know, unless a file has that name.
    if (argc != 2 || (argv[1][0] == '-' && argv[1][1] != '\0' && !fs::exists(argv[1], failed))) {
        if (argc == 2) std::cerr << "zub-open: unknown option '" << zub::terminal_safe(argv[1]) << "'\n";
        (void)std::fputs(usage, stderr);
        return 2;
    }
    const std::string path = argv[1];
    const std::string document = fs::absolute(path, failed).string();
    if (failed) return fail(path, failed.message());
    if (const auto why = not_a_document(document)) {
        notify(path, "It is " + *why + ".");
        return fail(path, *why);
    }

    std::string folder = scratch_folder() + "/zub-open.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        const std::string why =
            "cannot make a working directory in " + scratch_folder() + ": " + std::strerror(errno);
        notify(path, why);
        return fail(path, why);
    }
    std::string font = zub::font_beside(document).value_or("");
    if (font.empty()) font = zub::system_fixed_width_face();
    const fs::path link = fs::path(folder) / zub::default_font_name;
    if (!font.empty()) fs::create_symlink(fs::absolute(font, failed), link, failed);
    // Without a font the viewer shows the picture and says which font it missed.
    const zub::result<viewer_end> end = run_viewer(document, folder);
    fs::remove(link, failed);
    fs::remove(folder, failed);
    if (!end) {
        const std::string why = "cannot run the viewer: " + end.why();
        notify(path, why);
        return fail(path, why);
    }
    const int status = WIFSIGNALED(end->status) ? 128 + WTERMSIG(end->status) : WEXITSTATUS(end->status);
    // A viewer ended by the quit signal passed on to it ended as asked.
    if (status != 0 && !end->passed_on) {
        notify(path, end->last_line.empty() ? "the viewer ended with status " + std::to_string(status)
                                            : what_went_wrong(end->last_line, document));
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        return open_document(argc, argv);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        return fail(argc == 2 ? argv[1] : "", e.what());
    }
}
