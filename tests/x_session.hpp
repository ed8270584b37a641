// End-to-end helpers: an Xvfb of the tests' own, the real zub_reader run in it, and the
// window looked at and closed as a window manager would.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/images.hpp"

namespace zub::test {

// A private X server on a free display, stopped (by its own pid) when destroyed.
class xvfb {
public:
    explicit xvfb(const std::string& screen = "1280x1024x24");
    ~xvfb();
    xvfb(const xvfb&) = delete;
    xvfb& operator=(const xvfb&) = delete;

    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// A Wayland compositor (weston, drawing its output into a window on an X server) with a
// runtime folder of its own, stopped when destroyed.
class wayland_compositor {
public:
    explicit wayland_compositor(const std::string& x_display);
    ~wayland_compositor();
    wayland_compositor(const wayland_compositor&) = delete;
    wayland_compositor& operator=(const wayland_compositor&) = delete;

    // What a client needs to find it: WAYLAND_DISPLAY=..., XDG_RUNTIME_DIR=...
    std::vector<std::string> environment() const;
    // The X window weston draws its output into.
    unsigned long output_window() const { return output_window_; }

private:
    pid_t pid_ = -1;
    std::filesystem::path runtime_dir_;
    unsigned long output_window_ = 0;
};

// A program started with its stdout and stderr kept in files. `extra_env` holds
// NAME=VALUE settings, and bare NAMEs to unset.
// In a child: runs the program `argv` names (argv[0], a path), or ends with status 127.
[[noreturn]] void exec_program(const std::vector<std::string>& argv);

class child_process {
public:
    child_process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                  const std::string& working_dir);
    ~child_process();
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    pid_t pid() const { return pid_; }
    // Waits up to `seconds` for the exit status; nothing if it is still running then.
    std::optional<int> wait_exit(double seconds);
    bool running();
    std::string out() const;
    std::string err() const;

private:
    std::string out_path_, err_path_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct window_info {
    unsigned long id = 0;
    int width = 0;
    int height = 0;
    std::string title;
};

// A new folder of this process's own under /tmp, holding a copy of the Consola.ttf in the
// working directory: a place to run a program as a user would.
std::filesystem::path make_work_folder(const std::string& name);

// The face the system's fixed-width face is for `zub` (a path), as it says in its note on
// a document with a text in a folder without a font: `wrapper` stands before the command
// (`env -i`, say). Empty when it names none.
std::string system_face_of(const std::string& zub, const std::string& wrapper = "");

// How many working directories zub-open has made in `folder` (zub-open.*): other programs
// leave what they make there too (a session bus, its services).
std::size_t opener_folders_in(const std::filesystem::path& folder);

// A file's bytes, or nothing when it cannot be read.
std::string read_text(const std::string& path);

// `text` as one word for the shell, in single quotes.
std::string quote(const std::string& text);

// Runs a shell command: its exit status and what it printed on stdout.
struct command_result {
    int status = -1;
    std::string out;
};
command_result run_command(const std::string& command);

// Runs a command and returns what it printed on stdout.
std::string command_output(const std::string& command);

// The visible window of process `pid` on `display` (found with xdotool), once it is
// there, or nothing after `seconds`.
std::optional<window_info> find_window(const std::string& display, pid_t pid, double seconds);

// The window's pixels as the X server holds them.
picture capture_window(const std::string& display, unsigned long window, int width, int height);

// Sends the window the WM_DELETE_WINDOW request a window manager sends when the user
// closes it.
void send_delete_window(const std::string& display, unsigned long window);

// True when the tests' programs run on SDL 1.2 over SDL2 (sdl12-compat) instead of the
// classic library: ZUB_TEST_SDL_PRELOAD names the libraries they are given first.
bool on_sdl12_compat();

// True when process `pid` has a library whose file name contains `name` mapped.
bool has_library(pid_t pid, const std::string& name);

// CPU time (user + system) the process has used so far, in seconds.
double cpu_seconds(pid_t pid);

// How often the process's threads have been woken so far: their context switches.
long wake_ups(pid_t pid);

}  // namespace zub::test
