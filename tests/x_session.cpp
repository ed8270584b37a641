#include "tests/x_session.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/doc_writer.hpp"
#include "tools/x11_window.hpp"

namespace zub::test {

namespace {

std::string temp_path(const char* what) {
    static int counter = 0;
    return "/tmp/zub-e2e-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + what;
}

}  // namespace

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

xvfb::xvfb(const std::string& screen) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        const std::string fd = std::to_string(fds[1]);
        // -noreset: SDL's first connection closing must not reset the server under it.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-noreset", "-nolisten", "tcp", "-screen", "0",
               screen.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) throw std::runtime_error("Xvfb did not start");
    display_ = ":" + number;
}

xvfb::~xvfb() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

wayland_compositor::wayland_compositor(const std::string& x_display)
    : runtime_dir_(std::filesystem::temp_directory_path() / ("zub-wayland-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(runtime_dir_);
    std::filesystem::permissions(runtime_dir_, std::filesystem::perms::owner_all);
    pid_ = fork();
    if (pid_ == 0) {
        // weston spins when its X server goes away: it goes with the tests.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() == 1) _exit(127);  // the tests went before the line above
        const int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        dup2(devnull, 2);
        setenv("DISPLAY", x_display.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
        unsetenv("WAYLAND_DISPLAY");
        execlp("weston", "weston", "--backend=x11-backend.so", "--use-pixman", "--socket=zub-test",
               "--idle-time=0", "--width=640", "--height=480", static_cast<char*>(nullptr));
        _exit(127);
    }
    // Ready once its socket is there and its output window is mapped.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        std::istringstream found(
            command_output("DISPLAY=" + x_display +
                           " xdotool search --onlyvisible --class 'Weston Compositor' 2>/dev/null"));
        std::string id;
        found >> id;
        if (!id.empty() && std::filesystem::exists(runtime_dir_ / "zub-test")) {
            output_window_ = std::stoul(id);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(runtime_dir_, ignored);
    throw std::runtime_error("weston did not start");
}

wayland_compositor::~wayland_compositor() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(runtime_dir_, ignored);
}

std::vector<std::string> wayland_compositor::environment() const {
    return {"WAYLAND_DISPLAY=zub-test", "XDG_RUNTIME_DIR=" + runtime_dir_.string()};
}

child_process::child_process(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                             const std::string& working_dir)
    : out_path_(temp_path("out")), err_path_(temp_path("err")), pid_(fork()) {
    if (pid_ == 0) {
        if (chdir(working_dir.c_str()) != 0) _exit(126);
        const int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The second SDL 1.2 runtime's runs: the programs under test load it first (an
        // LD_PRELOAD among `extra_env` comes after, and wins).
        if (on_sdl12_compat()) setenv("LD_PRELOAD", std::getenv("ZUB_TEST_SDL_PRELOAD"), 1);
        for (const std::string& kv : extra_env) {
            const auto eq = kv.find('=');
            if (eq == std::string::npos) {
                unsetenv(kv.c_str());
            } else {
                setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
            }
        }
        exec_program(argv);
    }
}

void exec_program(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

child_process::~child_process() {
    if (!status_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
}

std::optional<int> child_process::wait_exit(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!status_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

bool child_process::running() { return !wait_exit(0); }

std::string child_process::out() const { return read_text(out_path_); }
std::string child_process::err() const { return read_text(err_path_); }

std::filesystem::path make_work_folder(const std::string& name) {
    auto dir = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file("Consola.ttf", dir / "Consola.ttf",
                               std::filesystem::copy_options::overwrite_existing);
    return dir;
}

std::string system_face_of(const std::string& zub, const std::string& wrapper) {
    const auto dir = std::filesystem::temp_directory_path() / ("zub-face-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    document_parts parts;
    parts.image = encode_png(pattern(4, 4, false), png_kind::rgb);
    parts.records.push_back(text_at(0, 0, 1, 2, 3, "face"));
    write_file((dir / "doc.zub").string(), write_document(parts));
    const std::string said = command_output("cd " + quote(dir.string()) + " && " + wrapper + " " +
                                            quote(zub) + " info doc.zub 2>&1");
    std::filesystem::remove_all(dir);
    const std::string before = "note: the texts are measured in ";
    const auto from = said.find(before);
    const auto to = said.find(", the system's fixed-width face", from);
    if (from == std::string::npos || to == std::string::npos) return "";
    return said.substr(from + before.size(), to - from - before.size());
}

std::size_t opener_folders_in(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.path().filename().string().starts_with("zub-open.")) ++count;
    return count;
}

command_result run_command(const std::string& command) {
    command_result result;
    FILE* pipe = popen(command.c_str(), "r");  // NOLINT(cert-env33-c): the tests run xdotool and others
    if (pipe == nullptr) return result;
    char buffer[512];
    std::size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string command_output(const std::string& command) { return run_command(command).out; }

bool on_sdl12_compat() {
    const char* preload = std::getenv("ZUB_TEST_SDL_PRELOAD");
    return preload != nullptr && *preload != '\0';
}

bool has_library(pid_t pid, const std::string& name) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto slash = line.rfind('/');
        if (slash != std::string::npos && line.find(name, slash) != std::string::npos) return true;
    }
    return false;
}

std::optional<window_info> find_window(const std::string& display, pid_t pid, double seconds) {
    const std::string env = "DISPLAY=" + display + " ";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        std::string id;
        std::istringstream found(command_output(env + "xdotool search --onlyvisible --pid " +
                                                std::to_string(pid) + " 2>/dev/null"));
        found >> id;
        if (!id.empty()) {
            window_info info;
            info.id = std::stoul(id);
            // Prints WIDTH=, HEIGHT= among other lines.
            std::istringstream geometry(
                command_output(env + "xdotool getwindowgeometry --shell " + id + " 2>/dev/null"));
            for (std::string line; std::getline(geometry, line);) {
                if (line.rfind("WIDTH=", 0) == 0) info.width = std::stoi(line.substr(6));
                if (line.rfind("HEIGHT=", 0) == 0) info.height = std::stoi(line.substr(7));
            }
            std::string title = command_output(env + "xdotool getwindowname " + id + " 2>/dev/null");
            if (!title.empty() && title.back() == '\n') title.pop_back();
            info.title = title;
            // SDL 1.2 over SDL2 may replace its first window at start-up: a window that is
            // gone by the time it is looked at is not the one.
            if (info.width > 0) return info;
        }
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

picture capture_window(const std::string& display, unsigned long window, int width, int height) {
    const rgb_image image = x11::capture_window(display, window);
    picture pic = solid(width, height, rgba{});
    for (int y = 0; y < std::min(height, image.height); ++y) {
        for (int x = 0; x < std::min(width, image.width); ++x) {
            const std::uint8_t* p =
                &image.rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(image.width) +
                            static_cast<std::size_t>(x)) *
                           3];
            pic.at(x, y) = rgba{p[0], p[1], p[2], 255};
        }
    }
    return pic;
}

void send_delete_window(const std::string& display, unsigned long window) {
    x11::send_delete_window(display, window);
}

double cpu_seconds(pid_t pid) {
    std::istringstream stat(read_text("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    // The command name may hold spaces: skip to the closing parenthesis.
    std::getline(stat, field, ')');
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15; ++i) {
        stat >> field;
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long wake_ups(pid_t pid) {
    long total = 0;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::istringstream status(read_text((task.path() / "status").string()));
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::stol(line.substr(line.find(':') + 1));
        }
    }
    return total;
}

}  // namespace zub::test
