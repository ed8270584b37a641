// zub-open: opens a document in zub_reader with a font for its texts, wherever it is
// started from. The desktop entry runs it for a document opened from a file manager.
//
//   zub-open FILE
//
// zub_reader draws the texts in Consola.ttf from its working directory. zub-open gives
// it a private working directory (under $XDG_RUNTIME_DIR, else $TMPDIR, else /tmp) whose
// Consola.ttf is a link to the Consola.ttf beside the document or, without one, to the
// fixed-width face fontconfig gives (the one thumbnails are drawn in), runs the viewer
// there on the document, and removes the directory once the viewer has ended. Its exit
// status is the viewer's. SIGINT, SIGTERM and SIGHUP are passed on to the viewer.
#include <fcntl.h>
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
#include <string>

#include "document/limits.hpp"
#include "document/result.hpp"
#include "document/strings.hpp"
#include "tools/font_lookup.hpp"

namespace {

namespace fs = std::filesystem;

constexpr const char* usage = "usage: zub-open FILE\n";

int fail(const std::string& path, const std::string& what) {
    std::cerr << "zub-open: " << zub::terminal_safe(path) << ": " << zub::terminal_safe(what) << '\n';
    return 1;
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

// Runs the viewer on `document` in `folder` and waits for it, passing the quit signals
// on: its wait status, or why it could not be started.
zub::result<int> run_viewer(const std::string& document, const std::string& folder) {
    // SIGCHLD ignored by whoever started this program would let the kernel reap the
    // viewer unseen: it is taken here, as every other signal waited for.
    (void)std::signal(SIGCHLD, SIG_DFL);
    const sigset_t held = passed_on_signals();
    sigset_t before;
    (void)sigprocmask(SIG_BLOCK, &held, &before);
    // The viewer's exec failing is told through a pipe that the exec closes.
    int told[2];
    if (pipe2(told, O_CLOEXEC) != 0) return zub::failure{std::strerror(errno)};
    const std::string program = viewer_program();
    const pid_t viewer = fork();
    if (viewer == 0) {
        (void)close(told[0]);
        (void)sigprocmask(SIG_SETMASK, &before, nullptr);
        if (chdir(folder.c_str()) == 0) {
            execlp(program.c_str(), "zub_reader", document.c_str(), static_cast<char*>(nullptr));
        }
        const int error = errno;
        (void)write(told[1], &error, sizeof error);
        _exit(127);
    }
    const int fork_error = errno;
    (void)close(told[1]);
    if (viewer < 0) {
        (void)close(told[0]);
        return zub::failure{std::strerror(fork_error)};
    }
    int exec_error = 0;
    const ssize_t got = read(told[0], &exec_error, sizeof exec_error);
    (void)close(told[0]);
    for (;;) {
        int signal = 0;
        if (sigwait(&held, &signal) != 0) continue;
        if (signal != SIGCHLD) {
            (void)kill(viewer, signal);
            continue;
        }
        int status = 0;
        const pid_t ended = waitpid(viewer, &status, WNOHANG);
        if (ended == viewer && got == static_cast<ssize_t>(sizeof exec_error)) {
            return zub::failure{program + ": " + std::strerror(exec_error)};
        }
        if (ended == viewer) return status;
        if (ended < 0 && errno != EINTR) return zub::failure{std::strerror(errno)};
    }
}

}  // namespace

namespace {

int open_document(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        (void)std::fputs(usage, stdout);
        return 0;
    }
    if (argc != 2) {
        (void)std::fputs(usage, stderr);
        return 2;
    }
    const std::string path = argv[1];
    std::error_code failed;
    const std::string document = fs::absolute(path, failed).string();
    if (failed) return fail(path, failed.message());

    std::string folder = scratch_folder() + "/zub-open.XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        return fail(path,
                    "cannot make a working directory in " + scratch_folder() + ": " + std::strerror(errno));
    }
    std::string font = zub::font_beside(document).value_or("");
    if (font.empty()) font = zub::system_fixed_width_face();
    const fs::path link = fs::path(folder) / zub::default_font_name;
    if (!font.empty()) fs::create_symlink(fs::absolute(font, failed), link, failed);
    // Without a font the viewer shows the picture and says which font it missed.
    const zub::result<int> status = run_viewer(document, folder);
    fs::remove(link, failed);
    fs::remove(folder, failed);
    if (!status) return fail(path, "cannot run the viewer: " + status.why());
    if (WIFSIGNALED(*status)) return 128 + WTERMSIG(*status);
    return WEXITSTATUS(*status);
}

}  // namespace

int main(int argc, char* argv[]) {
    try {
        return open_document(argc, argv);
    } catch (const std::exception& e) {  // out of memory, in all likelihood
        return fail(argc == 2 ? argv[1] : "", e.what());
    }
}
