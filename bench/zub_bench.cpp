// zub_bench: how fast zub_reader paints, how still it sits, how fast it closes and how
// much memory it takes, beside a floor program that does literally the viewer's steps
// and, where installed, feh showing the same image.
//
//   zub_bench [--runs N] [--quick] [--only TEXT] [--against ZUB_READER] [--no-instructions]
//             FOLDER_OF_TOOLS
//
// FOLDER_OF_TOOLS holds zub_reader and its zub-window.so, zub, zub-compose, zub_floor,
// zub_compose_once and zub_timeline with zub_timeline_steps.so. The benchmark starts its
// own Xvfb -noreset, writes its documents into a temporary folder with Consola.ttf, and
// for every document alternates the programs run by run. Prints medians and ratios, the
// start-up timeline with the stages' own phases, what hostile documents cost `zub
// render`, one thumbnail against gdk-pixbuf-thumbnailer, the image loaders in their
// hosts, and the batch: documents per second of `zub render -d` against ImageMagick
// composing the same pictures (--only batch alone).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/x_session.hpp"
#include "tools/x11_window.hpp"

namespace fs = std::filesystem;

constexpr const char* sdl12_compat = "/usr/lib/x86_64-linux-gnu/sdl12-compat/libSDL-1.2.so.0";

// How the viewer's sdl12-compat runs find it: where the system's SDL 1.2 would be
// (its own folder first in the library path, as its shim package installs it), so that
// it is loaded where the classic library is, with the window. A viewer built with a
// sanitizer needs the sanitizer's runtime loaded first: ZUB_BENCH_COMPAT_PRELOAD then
// names both, preloaded.
std::string compat_environment() {
    const char* named = std::getenv("ZUB_BENCH_COMPAT_PRELOAD");
    if (named != nullptr && *named != '\0') return "LD_PRELOAD=" + std::string(named);
    return "LD_LIBRARY_PATH=" + fs::path(sdl12_compat).parent_path().string();
}
using namespace zub::test;
using clock_type = std::chrono::steady_clock;

namespace {

struct bench_document {
    std::string name;
    bytes file;
    bytes image;  // for feh
    int width, height;
};

// A document of `width` x `height` over `image`, its texts stepping down and right, each
// a different string, as users' texts are (a texts stage draws a repeated string once).
document_parts document_of(const std::string& name, int width, int height, const bytes& image, int records) {
    document_parts parts;
    parts.width = width;
    parts.height = height;
    parts.bits_per_pixel = 32;
    parts.font_size = 18;
    parts.caption = to_bytes(name);
    parts.image = image;
    for (int i = 0; i < records; ++i) {
        parts.records.push_back(text_at((i * 37) % std::max(1, width - 100),
                                        (i * 23) % std::max(1, height - 20),
                                        static_cast<std::uint8_t>(i * 50), 255, 255,
                                        "record " + std::to_string(i) + ": the quick brown fox"));
    }
    return parts;
}

bench_document make_document(const std::string& name, int width, int height, const bytes& image,
                             int records) {
    return {name, write_document(document_of(name, width, height, image, records)), image, width, height};
}

struct display_close {
    void operator()(Display* d) const { XCloseDisplay(d); }
};

// The viewable top-level window whose _NET_WM_PID is `pid`, or 0.
unsigned long window_of(Display* d, pid_t pid) {
    const Atom net_wm_pid = XInternAtom(d, "_NET_WM_PID", False);
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned count = 0;
    unsigned long found = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count) == 0) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
        Atom type = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(d, children[i], net_wm_pid, 0, 1, False, XA_CARDINAL, &type, &format, &items,
                               &after, &data) == Success &&
            data != nullptr) {
            XWindowAttributes a{};
            if (items == 1 && static_cast<pid_t>(*reinterpret_cast<unsigned long*>(data)) == pid &&
                XGetWindowAttributes(d, children[i], &a) != 0 && a.map_state == IsViewable) {
                found = children[i];
            }
            XFree(data);
        }
    }
    if (children != nullptr) XFree(children);
    return found;
}

struct run_figures {
    double painted_ms = -1;
    double idle_cpu_percent = -1;
    double idle_wakeups = -1;
    double close_ms = -1;
    double peak_rss_mb = -1;
};

// CPU and wake-ups over 2 s, from 0.5 s on.
void measure_idle_time(pid_t pid, run_figures& f) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu0 = cpu_seconds(pid);
    const long wake0 = wake_ups(pid);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    f.idle_cpu_percent = (cpu_seconds(pid) - cpu0) / 2.0 * 100.0;
    f.idle_wakeups = static_cast<double>(wake_ups(pid) - wake0) / 2.0;
}

long peak_rss_kb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

struct image_destroy {
    void operator()(XImage* image) const { XDestroyImage(image); }
};

// The window's pixels as the server holds them, each the bits of its colour masks, read
// through the connection the run holds. Empty when the window is gone.
std::vector<std::uint32_t> window_pixels(Display* d, unsigned long window) {
    XWindowAttributes a{};
    if (XGetWindowAttributes(d, window, &a) == 0) return {};
    const std::unique_ptr<XImage, image_destroy> image{
        XGetImage(d, window, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes,
                  ZPixmap)};
    if (!image) return {};
    const unsigned long mask = image->red_mask | image->green_mask | image->blue_mask;
    std::vector<std::uint32_t> out{static_cast<std::uint32_t>(a.width), static_cast<std::uint32_t>(a.height)};
    out.reserve(static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height) + 2);
    const bool own_order = (image->byte_order == LSBFirst) == (std::endian::native == std::endian::little);
    for (int y = 0; y < a.height; ++y) {
        if (image->bits_per_pixel == 32 && own_order) {  // the common case, read as it stands
            const std::size_t at = out.size();
            out.resize(at + static_cast<std::size_t>(a.width));
            std::memcpy(&out[at], image->data + static_cast<std::ptrdiff_t>(y) * image->bytes_per_line,
                        static_cast<std::size_t>(a.width) * 4);
            for (std::size_t i = at; i < out.size(); ++i) out[i] &= static_cast<std::uint32_t>(mask);
            continue;
        }
        for (int x = 0; x < a.width; ++x)
            out.push_back(static_cast<std::uint32_t>(XGetPixel(image.get(), x, y) & mask));
    }
    return out;
}

// Waits up to `ms` for the server to report that something was drawn into the window
// since the last report (XDamage); true when it did.
bool damage_within(Display* d, int damage_event_base, Damage damage, int ms) {
    const auto until = clock_type::now() + std::chrono::milliseconds(ms);
    while (true) {
        while (XPending(d) > 0) {
            XEvent event{};
            XNextEvent(d, &event);
            if (event.type == damage_event_base + XDamageNotify) {
                XDamageSubtract(d, damage, None, None);
                XSync(d, False);
                while (XPending(d) > 0) XNextEvent(d, &event);  // reports of the same drawing
                return true;
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - clock_type::now()).count();
        if (left <= 0) return false;
        pollfd connection{ConnectionNumber(d), POLLIN, 0};
        (void)poll(&connection, 1, static_cast<int>(left));
    }
}

// One run: exec, wait until the window shows `reference` (or, without one, until its
// pixels hold still), then idle, peak memory and the close. The window is read only when
// the server reports drawing into it: looking takes nothing from the program looked at
// while it works, on a machine of two cores.
// Whether `pid` has a child process (the viewer's composer, before it has ended).
bool has_children(pid_t pid) {
    std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::string first;
    return static_cast<bool>(children >> first);
}

run_figures run_once(const std::string& display, const std::vector<std::string>& argv,
                     const std::vector<std::string>& env, const std::string& dir,
                     std::optional<std::vector<std::uint32_t>>& reference, bool measure_idle) {
    run_figures f;
    const std::unique_ptr<Display, display_close> d{XOpenDisplay(display.c_str())};
    int damage_event_base = 0;
    int damage_error_base = 0;
    if (XDamageQueryExtension(d.get(), &damage_event_base, &damage_error_base) == 0) {
        (void)std::fputs("zub_bench: the X server has no DAMAGE extension\n", stderr);
        return f;
    }
    const auto start = clock_type::now();
    std::vector<std::string> all{"DISPLAY=" + display, "SDL_VIDEODRIVER=x11"};
    all.insert(all.end(), env.begin(), env.end());
    child_process program(argv, all, dir);
    unsigned long window = 0;
    while (window == 0 && clock_type::now() - start < std::chrono::seconds(30)) {
        window = window_of(d.get(), program.pid());
        if (window == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    if (window == 0) return f;
    const Damage damage = XDamageCreate(d.get(), window, XDamageReportNonEmpty);
    XSync(d.get(), False);
    // Painted: the window holds the finished picture. Without a reference yet, the
    // finished picture is what the window holds once the program has gone idle (its CPU
    // time holds still for 300 ms and its composer has ended): before its one flip, a
    // window can be blank for long, and on a busy machine the viewer can wait for its
    // composer for longer than that.
    double cpu_seen = -1;
    auto still_since = clock_type::now();
    bool look = true;  // what was drawn before the damage was watched is looked at once
    while (clock_type::now() - start < std::chrono::seconds(120)) {
        if (!reference) {
            const double cpu = cpu_seconds(program.pid());
            if (cpu != cpu_seen || has_children(program.pid())) {
                cpu_seen = cpu;
                still_since = clock_type::now();
            }
            if (clock_type::now() - still_since < std::chrono::milliseconds(300)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                continue;
            }
        } else if (!look && !damage_within(d.get(), damage_event_base, damage, 100)) {
            continue;
        }
        look = false;
        std::vector<std::uint32_t> now = window_pixels(d.get(), window);
        if (now.empty()) continue;
        if (!reference) {
            reference = std::move(now);
            break;
        }
        if (now == *reference) {
            f.painted_ms = std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
            break;
        }
    }
    XDamageDestroy(d.get(), damage);
    if (measure_idle) measure_idle_time(program.pid(), f);
    f.peak_rss_mb = static_cast<double>(peak_rss_kb(program.pid())) / 1024.0;
    const auto close_start = clock_type::now();
    zub::x11::send_delete_window(display, window);
    if (program.wait_exit(10)) {
        f.close_ms = std::chrono::duration<double, std::milli>(clock_type::now() - close_start).count();
    }
    return f;
}

// The general image viewers the viewer is set beside: they show the bare image, so their
// finished picture is their own, and a peer that never paints fails nothing.
bool is_peer(const std::string& program) { return program == "feh" || program == "nsxiv"; }

double median(std::vector<double> v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](double x) { return x < 0; }), v.end());
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The viewer on sdl12-compat on a Wayland compositor (weston, drawing into the benchmark's
// X server): idle CPU and wake-ups once the window is up, and the time SIGTERM (which SDL
// turns into a quit request) takes to end it. Medians of `runs`.
run_figures idle_on_wayland(const std::string& x_display, const std::string& viewer, const std::string& file,
                            const std::string& dir, int runs) {
    const wayland_compositor compositor(x_display);
    std::vector<std::string> env = compositor.environment();
    env.insert(env.end(), {"DISPLAY", "SDL_VIDEODRIVER", compat_environment()});
    std::vector<double> cpu, wake, close;
    for (int r = 0; r < runs; ++r) {
        child_process program({viewer, file}, env, dir);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // shown well before
        run_figures f;
        measure_idle_time(program.pid(), f);
        if (!program.running()) continue;  // a viewer that has ended is not idle
        cpu.push_back(f.idle_cpu_percent);
        wake.push_back(f.idle_wakeups);
        const auto close_start = clock_type::now();
        kill(program.pid(), SIGTERM);
        if (program.wait_exit(10) == 0) {
            close.push_back(
                std::chrono::duration<double, std::milli>(clock_type::now() - close_start).count());
        }
    }
    run_figures f;
    f.idle_cpu_percent = median(cpu);
    f.idle_wakeups = median(wake);
    f.close_ms = median(close);
    return f;
}

// The timeline as a picture beside the table of docs/performance.md: each phase a bar
// from where it starts to where it ends, since the exec, on each runtime; the stage's
// own phases end where its report says it was done, beside the viewer's. Drawn by
// gnuplot into docs/timeline.png, beside the page that shows it.
void plot_timeline(const std::vector<std::string>& phases,
                   const std::vector<std::map<std::string, std::vector<double>>>& ms,
                   const std::vector<std::pair<std::string, std::vector<std::string>>>& runtimes,
                   const std::string& dir) {
    if (run_command("command -v gnuplot >/dev/null").status != 0) return;
    const std::string data_path = dir + "/timeline.dat";
    std::ofstream data(data_path);
    std::vector<std::string> rows;
    for (const std::string& phase : phases) {
        if (!phase.ends_with("since the exec")) rows.push_back(phase);
    }
    for (std::size_t k = 0; k < runtimes.size(); ++k) {
        const auto m = [&](const std::string& phase) {
            const auto found = ms[k].find(phase);
            return found == ms[k].end() ? 0.0 : median(found->second);
        };
        double at = 0;
        std::map<std::string, std::pair<double, double>> spans;
        for (const std::string& phase : phases) {
            if (phase.starts_with("| ")) continue;
            spans[phase] = {at, at + m(phase)};
            at += m(phase);
        }
        // A stage's phases, back from where it was done.
        std::map<std::string, double> done;
        for (const std::string& phase : phases) {
            if (phase.starts_with("| ") && phase.ends_with("done, since the exec"))
                done[phase.substr(0, phase.find(": "))] = m(phase);
        }
        const std::vector<std::string> backwards(phases.rbegin(), phases.rend());
        for (const std::string& phase : backwards) {
            if (!phase.starts_with("| ") || phase.ends_with("since the exec")) continue;
            double& end = done[phase.substr(0, phase.find(": "))];
            spans[phase] = {end - m(phase), end};
            end -= m(phase);
        }
        for (std::size_t row = 0; row < rows.size(); ++row) {
            const auto [from, to] = spans[rows[row]];
            const double y = static_cast<double>(rows.size() - row) - 0.2 + 0.4 * static_cast<double>(k);
            data << k << ' ' << from << ' ' << to << ' ' << y << '\n';
        }
        data << "\n\n";
    }
    data.close();
    std::string labels;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        std::string name = rows[row];
        std::replace(name.begin(), name.end(), '"', '\'');
        labels += (row > 0 ? ", \"" : "\"") + name + "\" " + std::to_string(rows.size() - row);
    }
    const std::string picture = std::string(ZUB_SOURCE_DIR) + "/docs/timeline.png";
    std::string script =
        "set terminal pngcairo noenhanced size 960,480 font 'DejaVu Sans,10' background '#ffffff'\n"
        "set output '" +
        picture +
        "'\n"
        "set title 'Start-up of zub_reader, 800x600 PNG with 20 texts (ms since exec, medians)'\n"
        "set xlabel 'ms since exec'\nset ytics (" +
        labels +
        ")\n"
        "set yrange [0.3:" +
        std::to_string(static_cast<double>(rows.size()) + 0.7) +
        "]\nset grid xtics\n"
        "set key bottom right\nset style fill solid 0.8 border -1\nplot ";
    for (std::size_t k = 0; k < runtimes.size(); ++k) {
        script += (k > 0 ? ", " : "") + std::string("'") + data_path + "' index " + std::to_string(k) +
                  " using (($2+$3)/2):4:(($3-$2)/2):(0.18) with boxxyerror title '" + runtimes[k].first + "'";
    }
    const std::string script_path = dir + "/timeline.gnuplot";
    std::ofstream(script_path) << script << '\n';
    if (run_command("gnuplot " + quote(script_path) + " 2>&1").status == 0)
        std::printf("the timeline as a picture: %s\n", picture.c_str());
}

// The viewer's start, phase by phase (zub_timeline on the real display),
// medians of `runs`, on each runtime in `runtimes` (name, extra environment).
// Prints the start-up timeline of each runtime and returns the first runtime's medians, by
// phase.
std::map<std::string, double> print_timeline(
    const std::string& display, const std::string& tools, const std::string& file, const std::string& dir,
    int runs, const std::vector<std::pair<std::string, std::vector<std::string>>>& runtimes) {
    std::vector<std::string> phases;
    std::vector<std::map<std::string, std::vector<double>>> ms(runtimes.size());
    for (int r = 0; r < runs; ++r) {
        for (std::size_t k = 0; k < runtimes.size(); ++k) {
            std::vector<std::string> env{"DISPLAY=" + display, "SDL_VIDEODRIVER=x11"};
            env.insert(env.end(), runtimes[k].second.begin(), runtimes[k].second.end());
            const long long exec_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count();
            child_process program({tools + "/zub_timeline", std::to_string(exec_ns), file}, env, dir);
            if (program.wait_exit(30) != 0) continue;
            std::istringstream lines(program.out());
            for (std::string line; std::getline(lines, line);) {
                const auto space = line.rfind(' ');
                if (space == std::string::npos) continue;
                const std::string phase = line.substr(0, space);
                if (std::find(phases.begin(), phases.end(), phase) == phases.end()) phases.push_back(phase);
                ms[k][phase].push_back(std::stod(line.substr(space + 1)));
            }
        }
    }
    std::printf("\nstart-up timeline, %s (ms, medians of %d)\n%-38s", file.c_str(), runs, "phase");
    for (const auto& runtime : runtimes) std::printf(" %12s", runtime.first.c_str());
    std::printf("\n");
    std::vector<double> total(runtimes.size(), 0);
    std::map<std::string, double> first;
    for (const std::string& phase : phases) {
        std::printf("%-38s", phase.c_str());
        for (std::size_t k = 0; k < runtimes.size(); ++k) {
            const double m = median(ms[k][phase]);
            if (k == 0) first[phase] = m;
            // The stages' own phases ("| ...") run beside the viewer's.
            if (!phase.starts_with("| ")) total[k] += m;
            std::printf(" %12.2f", m);
        }
        std::printf("\n");
    }
    std::printf("%-38s", "sum of the viewer's phases");
    for (const double t : total) std::printf(" %12.2f", t);
    std::printf("\n");
    plot_timeline(phases, ms, runtimes, dir);
    return first;
}

// A command run to its end in `dir`: its wall time, the peak memory of the largest of it
// and the processes it waited for, and the first line of what it said on stderr that
// names what was left out.
struct measured_run {
    double seconds = -1;
    double peak_mb = -1;
    std::string said;
};

// Starts `argv` in `dir`, its standard output dropped and its stderr in `err_path`: the
// child's pid, or -1. With `taken`, the tests' taken composer is told what its stage
// does for this caller ("texts ATTACK").
pid_t start_quietly(const std::vector<std::string>& argv, const std::string& dir, const std::string& err_path,
                    const std::string& taken = "") {
    const pid_t pid = fork();
    if (pid == 0) {
        if (!taken.empty()) std::ofstream("/tmp/zub-taken-" + std::to_string(getpid())) << taken << '\n';
        if (chdir(dir.c_str()) != 0) _exit(127);
        const int out = open("/dev/null", O_WRONLY);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        exec_program(argv);
    }
    return pid;
}

measured_run measure(const std::vector<std::string>& argv, const std::string& dir,
                     const std::string& taken = "") {
    const std::string err_path = dir + "/measured-stderr.txt";
    const auto start = clock_type::now();
    const pid_t pid = start_quietly(argv, dir, err_path, taken);
    if (pid < 0) return {};
    int status = 0;
    rusage usage{};
    const pid_t waited = wait4(pid, &status, 0, &usage);
    if (!taken.empty()) fs::remove("/tmp/zub-taken-" + std::to_string(pid));
    if (waited != pid) return {};
    measured_run run;
    run.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    run.peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    std::ifstream said(err_path);
    for (std::string line; std::getline(said, line);) {
        if (line.find("not drawn") != std::string::npos || line.find("font") != std::string::npos ||
            line.find("handed back") != std::string::npos) {
            run.said = line.substr(line.find(": ", line.find(": ") + 2) + 2);
            break;
        }
    }
    return run;
}

// Documents of a few kilobytes made to cost minutes and gigabytes in the texts, and a
// sparse font of 1 GiB beside a document: `zub render --size 256` of each, its time and
// peak memory, against 2 s and 512 MiB beyond the window's and image's pixels.
void hostile_figures(const std::string& tools, const fs::path& dir, const bytes& png_800x600,
                     std::vector<std::pair<std::string, std::pair<double, double>>>& figures) {
    const fs::path sparse = dir / "sparse";
    fs::create_directories(sparse);
    write_file((sparse / "doc.zub").string(), make_document("sparse font", 800, 600, png_800x600, 20).file);
    { std::ofstream(sparse / "Consola.ttf").close(); }
    fs::resize_file(sparse / "Consola.ttf", std::uintmax_t{1} << 30U);
    write_file((dir / "bomb-different.zub").string(), text_bomb("190 different", different_characters(190)));
    write_file((dir / "bomb-w.zub").string(), text_bomb("300 W", std::vector<std::string>(300, "W")));
    struct hostile {
        std::string name;
        fs::path folder;
        std::string file;
        double pixels_mb;  // the window's and the image's pixels
    };
    const double small = 2.0 * 16 * 16 * 4 / 1048576.0;
    const double large = 2.0 * 800 * 600 * 4 / 1048576.0;
    std::printf("\nhostile documents, zub render --size 256 (one run each)\n%-44s %9s %9s  %s\n", "document",
                "seconds", "peak MB", "what is said");
    for (const hostile& h :
         {hostile{"190 different characters, 9000 pt, 16x16", dir, "bomb-different.zub", small},
          hostile{"300 \"W\", 9000 pt, 16x16", dir, "bomb-w.zub", small},
          hostile{"a 1 GiB sparse Consola.ttf beside it", sparse, "doc.zub", large}}) {
        const measured_run run =
            measure({tools + "/zub", "render", "--size", "256", h.file, "out.png"}, h.folder);
        std::printf("%-44s %9.2f %9.1f  %s\n", h.name.c_str(), run.seconds, run.peak_mb, run.said.c_str());
        figures.push_back({h.name, {run.seconds, run.peak_mb - h.pixels_mb}});
    }
    // A text renderer a hostile font has taken over (the tests' taken composer, beside a
    // copy of zub): 100 texts in a 4096x4096 window, the whole layer filled with a text
    // it was not given. The caller checks the whole layer and refuses it before painting.
    const fs::path taken = dir / "taken";
    fs::create_directories(taken);
    fs::copy_file(tools + "/zub", taken / "zub", fs::copy_options::overwrite_existing);
    fs::copy_file(tools + "/zub-picture.so", taken / "zub-picture.so", fs::copy_options::overwrite_existing);
    fs::remove(taken / "zub-compose");
    fs::create_symlink(ZUB_TAKEN_COMPOSER, taken / "zub-compose");
    fs::copy_file(dir / "Consola.ttf", taken / "Consola.ttf", fs::copy_options::overwrite_existing);
    write_file((taken / "doc.zub").string(), make_document("taken", 4096, 4096, png_800x600, 100).file);
    const std::string name = "taken renderer, 4096x4096 layer past its texts";
    const measured_run run =
        measure({(taken / "zub").string(), "render", "--size", "256", "doc.zub", "out.png"}, taken.string(),
                "texts fills-the-layer-past-its-texts");
    std::printf("%-44s %9.2f %9.1f  %s\n", name.c_str(), run.seconds, run.peak_mb, run.said.c_str());
    figures.push_back({name, {run.seconds, run.peak_mb - 4096.0 * 4096 * 4 / 1048576.0}});  // the window
    (void)std::fflush(stdout);
}

// One thumbnail as a file manager asks for it: `zub render --size 256` of the 800x600
// document with 20 texts (its font beside it) against `gdk-pixbuf-thumbnailer -s 256` of
// the bare PNG, alternating run by run after one run of each that is not counted. Their
// medians, in seconds, or -1 where a program is missing.
std::pair<double, double> thumbnail_figures(const std::string& tools, const fs::path& dir,
                                            const bytes& png_800x600, int runs) {
    write_file((dir / "thumb.zub").string(), make_document("thumbnail", 800, 600, png_800x600, 20).file);
    write_file((dir / "thumb.png").string(), png_800x600);
    const std::string thumbnailer = command_output("command -v gdk-pixbuf-thumbnailer | tr -d '\\n'");
    std::vector<double> zub;
    std::vector<double> gdk;
    for (int r = -1; r < runs; ++r) {
        const measured_run a =
            measure({tools + "/zub", "render", "--size", "256", "thumb.zub", "thumb-zub.png"}, dir.string());
        const measured_run b =
            thumbnailer.empty()
                ? measured_run{}
                : measure({thumbnailer, "-s", "256", "thumb.png", "thumb-gdk.png"}, dir.string());
        if (r < 0) continue;
        zub.push_back(a.seconds);
        gdk.push_back(b.seconds);
    }
    const std::pair<double, double> figures{median(zub), thumbnailer.empty() ? -1 : median(gdk)};
    std::printf("\none thumbnail, 256 pixels, medians of %d\n%-48s %9.1f ms\n%-48s %9.1f ms\n", runs,
                "zub render --size 256 (the document)", figures.first * 1000,
                "gdk-pixbuf-thumbnailer -s 256 (the bare PNG)", figures.second * 1000);
    (void)std::fflush(stdout);
    return figures;
}

// `zub render` of the 800x600 PNG document with 20 different texts and with 10,000, and
// `zub --version`, alternating run by run after one run of each that is not counted:
// medians in milliseconds and the peak memory of each render (zub and its composer).
struct render_figures {
    double few_ms = -1, many_ms = -1, many_peak_mb = -1, version_ms = -1;
};

render_figures render_figures_of(const std::string& tools, const fs::path& dir, const bytes& png_800x600,
                                 int runs) {
    write_file((dir / "render-20.zub").string(), make_document("20 records", 800, 600, png_800x600, 20).file);
    write_file((dir / "render-10000.zub").string(),
               make_document("10000 records", 800, 600, png_800x600, 10000).file);
    std::vector<double> few, many, peak, version;
    for (int r = -1; r < runs; ++r) {
        const measured_run a =
            measure({tools + "/zub", "render", "render-20.zub", "render-20.png"}, dir.string());
        const measured_run b =
            measure({tools + "/zub", "render", "render-10000.zub", "render-10000.png"}, dir.string());
        const measured_run v = measure({tools + "/zub", "--version"}, dir.string());
        if (r < 0) continue;
        few.push_back(a.seconds * 1000);
        many.push_back(b.seconds * 1000);
        peak.push_back(b.peak_mb);
        version.push_back(v.seconds * 1000);
    }
    const render_figures f{median(few), median(many), median(peak), median(version)};
    std::printf("\nzub, medians of %d\n%-48s %9.1f ms\n%-48s %9.1f ms %9.1f MB peak\n%-48s %9.2f ms\n", runs,
                "zub render, 800x600 PNG, 20 records", f.few_ms, "zub render, 800x600 PNG, 10000 records",
                f.many_ms, f.many_peak_mb, "zub --version", f.version_ms);
    (void)std::fflush(stdout);
    return f;
}

// Commands run to their ends in `dir`, at most `at_once` at a time, their output thrown
// away: the wall time of them all, the user and system CPU of them and of the processes
// they waited for, how many did not end with status 0 and the first line the first of
// those wrote on stderr. (The benchmark's other children, its X server, live on
// throughout: any child that ends here is one of these.)
struct pool_run {
    double seconds = -1;
    double cpu_seconds = 0;
    int failed = 0;
    std::string said;
};

pool_run run_pool(const std::vector<std::vector<std::string>>& commands, std::size_t at_once,
                  const fs::path& dir) {
    pool_run run;
    std::map<pid_t, fs::path> running;  // and where its stderr goes
    std::size_t next = 0;
    const auto start = clock_type::now();
    while (next < commands.size() || !running.empty()) {
        if (next < commands.size() && running.size() < at_once) {
            const fs::path err_path = dir / ("pool-stderr-" + std::to_string(next) + ".txt");
            const pid_t pid = start_quietly(commands[next], dir.string(), err_path.string());
            if (pid < 0) return {};
            running[pid] = err_path;
            ++next;
            continue;
        }
        int status = 0;
        rusage usage{};
        const pid_t pid = wait4(-1, &status, 0, &usage);
        if (pid < 0) return {};
        const auto ended = running.find(pid);
        if (ended == running.end()) continue;
        run.cpu_seconds += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            if (run.failed++ == 0) {
                std::ifstream said(ended->second);
                std::getline(said, run.said);
                if (!WIFEXITED(status)) run.said = "ended by signal " + std::to_string(WTERMSIG(status));
            }
        }
        fs::remove(ended->second);
        running.erase(ended);
    }
    run.seconds = std::chrono::duration<double>(clock_type::now() - start).count();
    return run;
}

// Documents per second and CPU seconds of one side of the batch, medians; -1 where it
// failed or was not run.
struct batch_side {
    double per_second = -1;
    double cpu_seconds = -1;
    double wall_seconds = -1;
};

struct batch_figures {
    int documents = 0;
    batch_side zub, magick;
    bool failed = false;  // zub render -d did not write every picture
};

// `zub render -d` of `count` copies of the 800x600 PNG document with 20 texts, in one
// process that uses every core, against ImageMagick composing the same pictures: one
// convert a document, drawing each text with one -annotate, two at a time (one a core).
// Medians of `runs`, the two sides alternating.
batch_figures batch_figures_of(const std::string& tools, const fs::path& dir, const bytes& png_800x600,
                               int count, int runs) {
    batch_figures figures;
    figures.documents = count;
    const fs::path folder = dir / "batch";
    fs::create_directories(folder);
    fs::copy_file(dir / "Consola.ttf", folder / "Consola.ttf");
    const document_parts parts = document_of("800x600 PNG, 20 records", 800, 600, png_800x600, 20);
    const bytes file = write_document(parts);
    write_file((folder / "image.png").string(), png_800x600);
    std::vector<std::string> names;
    for (int n = 0; n < count; ++n) {
        char name[16];
        (void)std::snprintf(name, sizeof name, "doc%04d", n);
        names.emplace_back(name);
        write_file((folder / (names.back() + ".zub")).string(), file);
    }
    std::vector<std::string> zub_argv{tools + "/zub", "render", "-d", "zub-out"};
    for (const std::string& name : names) zub_argv.push_back(name + ".zub");
    // ImageMagick's annotate places a text's baseline at +X+Y; with NorthWest gravity it
    // places the text's top-left there, as zub does. Its glyphs' exact rows and its
    // blending may differ from zub's by a pixel or a shade, which is close enough for a
    // peer that does the same work.
    std::vector<std::string> magick_argv{"/usr/bin/convert", "image.png",  "-font",
                                         "Consola.ttf",      "-pointsize", std::to_string(parts.font_size),
                                         "-gravity",         "NorthWest"};
    for (const record_parts& r : parts.records) {
        char colour[8];
        (void)std::snprintf(colour, sizeof colour, "#%02x%02x%02x", r.red & 0xFFU, r.green & 0xFFU,
                            r.blue & 0xFFU);
        // The texts hold no % or \ that annotate would read as escapes.
        magick_argv.insert(magick_argv.end(), {"-fill", colour, "-annotate",
                                               "+" + std::to_string(r.x) + "+" + std::to_string(r.y),
                                               std::string(r.text.begin(), r.text.end())});
    }
    std::vector<std::vector<std::string>> magick_commands;
    for (const std::string& name : names) {
        magick_commands.push_back(magick_argv);
        magick_commands.back().push_back("magick-out/" + name + ".png");
    }
    const bool have_magick = fs::exists("/usr/bin/convert");
    // Each convert on one thread: two at a time fill the cores, and ImageMagick's own
    // threads over them would only slow it.
    if (have_magick) setenv("MAGICK_THREAD_LIMIT", "1", 1);
    const auto pictures_in = [&](const fs::path& out) {
        return std::count_if(fs::directory_iterator(out), fs::directory_iterator{},
                             [](const fs::directory_entry& e) { return e.path().extension() == ".png"; });
    };
    std::vector<double> zub_rate, zub_cpu, zub_wall, magick_rate, magick_cpu, magick_wall;
    for (int r = 0; r < runs; ++r) {
        fs::remove_all(folder / "zub-out");
        fs::create_directories(folder / "zub-out");
        const pool_run z = run_pool({zub_argv}, 1, folder);
        const auto written = pictures_in(folder / "zub-out");
        if (z.failed == 0 && written == count) {
            zub_rate.push_back(count / z.seconds);
            zub_cpu.push_back(z.cpu_seconds);
            zub_wall.push_back(z.seconds);
        } else {
            std::printf("zub render -d: %ld of %d pictures written%s%s\n", static_cast<long>(written), count,
                        z.said.empty() ? "" : ": ", z.said.c_str());
            figures.failed = true;
        }
        if (!have_magick) continue;
        fs::remove_all(folder / "magick-out");
        fs::create_directories(folder / "magick-out");
        const pool_run m = run_pool(magick_commands, 2, folder);
        if (m.failed == 0) {
            magick_rate.push_back(count / m.seconds);
            magick_cpu.push_back(m.cpu_seconds);
            magick_wall.push_back(m.seconds);
        } else {
            std::printf("ImageMagick: %d of %d failed: %s\n", m.failed, count, m.said.c_str());
        }
    }
    if (have_magick) unsetenv("MAGICK_THREAD_LIMIT");
    figures.zub = {median(zub_rate), median(zub_cpu), median(zub_wall)};
    figures.magick = {median(magick_rate), median(magick_cpu), median(magick_wall)};
    std::printf("\nbatch, %d documents of 800x600 PNG, 20 records (medians of %d)\n%-44s %9s %9s %9s\n",
                count, runs, "program", "docs/s", "wall s", "CPU s");
    const auto row = [](const char* name, const batch_side& side) {
        std::printf("%-44s %9.1f %9.2f %9.2f\n", name, side.per_second, side.wall_seconds, side.cpu_seconds);
    };
    row("zub render -d", figures.zub);
    if (have_magick) {
        row("ImageMagick convert -annotate, 2 at a time", figures.magick);
        if (figures.zub.per_second > 0 && figures.magick.per_second > 0) {
            std::printf("%-44s zub/ImageMagick docs/s: %.2f, CPU: %.2f\n", "",
                        figures.zub.per_second / figures.magick.per_second,
                        figures.zub.cpu_seconds / figures.magick.cpu_seconds);
        }
    } else {
        std::printf("%-44s no /usr/bin/convert\n", "ImageMagick");
    }
    (void)std::fflush(stdout);
    return figures;
}

// A document's picture through each image loader, in its host, against the bare PNG
// through the host's own PNG loader, in the same run: the medians of `runs` loads in one
// host process each, and their ratios.
std::vector<std::pair<std::string, double>> loader_figures(const std::string& tools, const fs::path& dir,
                                                           const bytes& png_800x600, int runs) {
    std::vector<std::pair<std::string, double>> ratios;
    const fs::path work = dir / "loaders";
    fs::create_directories(work / "share/mime/packages");
    fs::create_directories(work / "qt/imageformats");
    write_file((work / "doc.zub").string(), make_document("loaders", 800, 600, png_800x600, 20).file);
    write_file((work / "bare.png").string(), png_800x600);
    fs::copy_file(ZUB_SOURCE_DIR "/desktop/zub_reader.xml", work / "share/mime/packages/zub.xml");
    fs::create_symlink(fs::absolute(tools) / "libqzub.so", work / "qt/imageformats/libqzub.so");
    const std::string w = work.string();
    if (run_command("update-mime-database " + w + "/share/mime >/dev/null 2>&1 && " ZUB_QUERY_LOADERS " " +
                    tools + "/libpixbufloader-zub.so > " + w + "/loaders.cache")
            .status != 0) {
        std::printf("\nloaders: cannot make the test's loaders.cache\n");
        return ratios;
    }
    const std::string hosts =
        "cd " + w + " && XDG_DATA_DIRS=" + w + "/share:/usr/share GDK_PIXBUF_MODULE_FILE=" + w +
        "/loaders.cache QT_PLUGIN_PATH=" + w + "/qt QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + w + " ";
    const std::string n = std::to_string(std::max(runs, 5));
    std::printf(
        "\nimage loaders, 800x600 document with 20 texts against the bare PNG (median of %s loads)\n"
        "%-34s %10s %10s %7s\n",
        n.c_str(), "host", "document", "PNG", "ratio");
    for (const auto& [host, host_command] : std::vector<std::pair<std::string, std::string>>{
             {"gdk-pixbuf (new_from_file)",
              "/usr/bin/python3 " ZUB_SOURCE_DIR "/tests/loaders/pixbuf_host.py time "},
             {"Qt 5 (QImageReader)", tools + "/tests/qt_reader --time "}}) {
        // The median, or 0 when the host printed none.
        const std::string& command = host_command;
        const auto seconds = [&](const std::string& file) {
            return std::strtod(command_output(hosts + command + file + " " + n + " 2>/dev/null").c_str(),
                               nullptr);
        };
        const double doc = seconds("doc.zub");
        const double png = seconds("bare.png");
        const double ratio = doc > 0 && png > 0 ? doc / png : -1;
        std::printf("%-34s %8.1f ms %8.1f ms %7.2f\n", host.c_str(), doc * 1000, png * 1000, ratio);
        ratios.emplace_back(host, ratio);
    }
    return ratios;
}

// One of the targets the figures are held against.
struct target {
    std::string what;
    double value;
    double limit;
    bool at_least = false;  // the value must reach the limit, not stay within it
};

void print_targets(const std::vector<target>& targets) {
    std::printf("\ntargets\n");
    for (const target& t : targets) {
        const bool met = t.value >= 0 && (t.at_least ? t.value >= t.limit : t.value <= t.limit);
        std::printf("  %-58s %9.2f  (%s %g)  %s\n", t.what.c_str(), t.value,
                    t.at_least ? ">=" : "<=", t.limit, met ? "met" : "NOT MET");
    }
}

std::string callgrind_instructions(const std::string& command, const std::string& dir) {
    const std::string out = command_output("cd " + dir + " && SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy " +
                                           "valgrind --tool=callgrind --callgrind-out-file=/dev/null " +
                                           command + " 2>&1 | grep -o 'refs: *[0-9,]*' | tr -dc '0-9'");
    return out.empty() ? "?" : out;
}

}  // namespace

int main(int argc, char* argv[]) {
    int runs = 7;
    bool quick = false;
    bool count_instructions = true;
    std::string tools;
    std::string only;     // run the documents whose names hold this
    std::string against;  // another zub_reader, run beside this one ("other")
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::stoi(argv[++i]);
        } else if (a == "--quick") {
            quick = true;
        } else if (a == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else if (a == "--against" && i + 1 < argc) {
            against = fs::absolute(argv[++i]).string();
        } else if (a == "--no-instructions") {
            count_instructions = false;
        } else {
            tools = a;
        }
    }
    if (tools.empty()) {
        (void)std::fputs(
            "usage: zub_bench [--runs N] [--quick] [--only TEXT] [--against ZUB_READER] [--no-instructions] "
            "FOLDER_OF_TOOLS\n",
            stderr);
        return 2;
    }
    if (quick) count_instructions = false;
    tools = fs::absolute(tools).string();
    const fs::path dir = fs::temp_directory_path() / ("zub-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file("/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", dir / "Consola.ttf");

    std::vector<bench_document> docs;
    if (quick) {
        docs.push_back(make_document("tiny", 64, 48, encode_png(pattern(64, 48, false), png_kind::rgb), 2));
        runs = 1;
    } else {
        const bytes png = encode_png(pattern(800, 600, false), png_kind::rgb);
        docs.push_back(make_document("800x600 PNG, 20 records", 800, 600, png, 20));
        docs.push_back(make_document("1920x1080 JPEG, 200 records", 1920, 1080,
                                     encode_jpeg(pattern(1920, 1080, false), 90), 200));
        docs.push_back(make_document("4000x3000 JPEG in 800x600", 800, 600,
                                     encode_jpeg(pattern(4000, 3000, false), 90), 20));
        docs.push_back(make_document("800x600 PNG, 1000 records", 800, 600, png, 1000));
        docs.push_back(make_document("800x600 PNG, 10000 records", 800, 600, png, 10000));
        std::erase_if(docs, [&](const bench_document& d) { return d.name.find(only) == std::string::npos; });
    }
    const bool have_feh = !command_output("command -v feh").empty();
    const bool have_nsxiv = !command_output("command -v nsxiv").empty();
    const bool have_compat = fs::exists(sdl12_compat);
    const bool have_weston = !command_output("command -v weston").empty();
    const xvfb server("2048x1536x24");  // room for the largest window
    // A window that goes away between two looks is no reason to stop.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });

    bool failed = false;
    std::map<std::string, std::map<std::string, double>> painted_of;  // document, program: painted ms
    std::map<std::string, std::map<std::string, double>> peak_of;     // document, program: peak MB
    std::vector<double> idle_wakeups;  // the viewer's on X11, each runtime, each document
    std::printf("%-30s %-7s %10s %9s %9s %9s %9s %14s\n", "document", "program", "painted ms", "idle cpu%",
                "wakeups/s", "close ms", "peak MB", "instructions");
    for (std::size_t n = 0; n < docs.size(); ++n) {
        const bench_document& doc = docs[n];
        const std::string file = "doc" + std::to_string(n) + ".zub";
        write_file((dir / file).string(), doc.file);
        const std::string image_file = "image" + std::to_string(n) + (doc.image[0] == 0xFF ? ".jpg" : ".png");
        write_file((dir / image_file).string(), doc.image);
        struct program {
            std::string name;
            std::vector<std::string> argv;
            std::vector<std::string> env;
            std::optional<std::vector<std::uint32_t>> reference;
            std::vector<run_figures> figures;
        };
        std::vector<program> programs{{"viewer", {tools + "/zub_reader", file}, {}, {}, {}},
                                      {"floor", {tools + "/zub_floor", file}, {}, {}, {}}};
        // The same viewer on SDL 1.2 over SDL2.
        if (have_compat) {
            programs.push_back({"compat", {tools + "/zub_reader", file}, {compat_environment()}, {}, {}});
        }
        if (!against.empty()) programs.push_back({"other", {against, file}, {}, {}, {}});
        if (have_feh) {
            const std::string geometry = std::to_string(doc.width) + "x" + std::to_string(doc.height);
            programs.push_back({"feh", {"/usr/bin/feh", "--geometry", geometry, image_file}, {}, {}, {}});
        }
        if (have_nsxiv) {
            const std::string geometry = std::to_string(doc.width) + "x" + std::to_string(doc.height);
            programs.push_back(
                {"nsxiv", {"/usr/bin/nsxiv", "-b", "-g", geometry, "-z", "100", image_file}, {}, {}, {}});
        }
        // A first run finds the finished picture; the floor and the other runs of the
        // viewer must show the viewer's very pixels. The timed runs alternate.
        for (program& p : programs) {
            if (!is_peer(p.name) && p.name != "viewer") {
                p.reference = programs[0].reference;
                continue;
            }
            run_once(server.display(), p.argv, p.env, dir.string(), p.reference, false);
        }
        for (int r = 0; r < runs; ++r) {
            for (program& p : programs) {
                p.figures.push_back(
                    run_once(server.display(), p.argv, p.env, dir.string(), p.reference, true));
            }
        }
        std::map<std::string, double> painted;
        for (program& p : programs) {
            std::vector<double> ms, cpu, wake, close, rss;
            for (const run_figures& f : p.figures) {
                ms.push_back(f.painted_ms);
                cpu.push_back(f.idle_cpu_percent);
                wake.push_back(f.idle_wakeups);
                close.push_back(f.close_ms);
                rss.push_back(f.peak_rss_mb);
            }
            painted[p.name] = median(ms);
            painted_of[doc.name][p.name] = median(ms);
            if (p.name == "viewer" || p.name == "compat") idle_wakeups.push_back(median(wake));
            peak_of[doc.name][p.name] = median(rss);
            if (!is_peer(p.name) && median(ms) < 0) failed = true;  // never painted
            std::string instructions = "-";
            // The smoke run skips callgrind.
            if (count_instructions && p.name == "viewer") {
                instructions = callgrind_instructions(tools + "/zub_compose_once " + file, dir);
            } else if (count_instructions && p.name == "floor") {
                instructions = callgrind_instructions(tools + "/zub_floor --compose " + file, dir);
            }
            std::printf("%-30s %-7s %10.1f %9.2f %9.1f %9.1f %9.1f %14s\n", doc.name.c_str(), p.name.c_str(),
                        median(ms), median(cpu), median(wake), median(close), median(rss),
                        instructions.c_str());
        }
        std::printf("%-30s viewer/floor painted: %.2f", "", painted["viewer"] / painted["floor"]);
        if (have_feh) std::printf(", viewer/feh: %.2f", painted["viewer"] / painted["feh"]);
        if (have_nsxiv) std::printf(", viewer/nsxiv: %.2f", painted["viewer"] / painted["nsxiv"]);
        if (have_compat) std::printf(", compat/viewer: %.2f", painted["compat"] / painted["viewer"]);
        if (!against.empty()) std::printf(", viewer/other: %.2f", painted["viewer"] / painted["other"]);
        std::printf("\n");
        (void)std::fflush(stdout);
    }
    std::optional<run_figures> wayland;
    if (have_compat && have_weston && !docs.empty()) {
        try {
            wayland = idle_on_wayland(server.display(), tools + "/zub_reader", "doc0.zub", dir.string(),
                                      quick ? 1 : 3);
            std::printf("\n%-30s %-7s %10s %9.2f %9.1f %9.1f   (SIGTERM to exit)\n", docs[0].name.c_str(),
                        "wayland", "-", wayland->idle_cpu_percent, wayland->idle_wakeups, wayland->close_ms);
        } catch (const std::exception& e) {
            std::printf("\nno figure on Wayland: %s\n", e.what());
            failed = true;
        }
    }
    std::map<std::string, double> timeline;  // the classic runtime's phases
    if (!quick && !docs.empty()) {
        std::vector<std::pair<std::string, std::vector<std::string>>> runtimes{{"classic", {}}};
        if (have_compat) runtimes.push_back({"sdl12-compat", {compat_environment()}});
        timeline = print_timeline(server.display(), tools, "doc0.zub", dir.string(), runs, runtimes);
    }
    std::vector<std::pair<std::string, std::pair<double, double>>> hostile;
    if (!quick && std::string("hostile documents").find(only) != std::string::npos)
        hostile_figures(tools, dir, encode_png(pattern(800, 600, false), png_kind::rgb), hostile);
    std::optional<std::pair<double, double>> thumbnail;
    if (!quick && std::string("thumbnail").find(only) != std::string::npos)
        thumbnail = thumbnail_figures(tools, dir, encode_png(pattern(800, 600, false), png_kind::rgb), runs);
    std::optional<render_figures> render;
    if (!quick && std::string("zub render").find(only) != std::string::npos)
        render = render_figures_of(tools, dir, encode_png(pattern(800, 600, false), png_kind::rgb), runs);
    std::vector<std::pair<std::string, double>> loaders;
    if (!quick && std::string("loaders").find(only) != std::string::npos)
        loaders = loader_figures(tools, dir, encode_png(pattern(800, 600, false), png_kind::rgb), runs);
    std::optional<batch_figures> batch;
    if (std::string("batch").find(only) != std::string::npos) {
        batch = batch_figures_of(tools, dir, encode_png(pattern(800, 600, false), png_kind::rgb),
                                 quick ? 100 : 1000, std::min(runs, 3));
        if (batch->failed) failed = true;
    }
    if (!quick) {
        const auto ratio = [&](const std::string& doc, const std::string& a, const std::string& b) {
            const auto& p = painted_of[doc];
            return p.contains(a) && p.contains(b) && p.at(a) > 0 && p.at(b) > 0 ? p.at(a) / p.at(b) : -1.0;
        };
        const auto ms = [&](const std::string& doc, const std::string& a) {
            return painted_of[doc].contains(a) ? painted_of[doc][a] : -1.0;
        };
        std::vector<target> targets;
        const auto add = [&](const std::string& doc, const std::string& what, double value, double limit) {
            if (painted_of.contains(doc) && value >= 0) targets.push_back({doc + ": " + what, value, limit});
        };
        const std::string few = "800x600 PNG, 20 records";
        const std::string thousand = "800x600 PNG, 1000 records";
        const std::string ten_thousand = "800x600 PNG, 10000 records";
        const std::string jpeg = "4000x3000 JPEG in 800x600";
        add(few, "viewer/feh", ratio(few, "viewer", "feh"), 1.0);
        add(thousand, "viewer/feh", ratio(thousand, "viewer", "feh"), 1.1);
        add(jpeg, "viewer/feh", ratio(jpeg, "viewer", "feh"), 0.5);
        for (const std::string& doc : {few, thousand, jpeg})
            add(doc, "viewer/nsxiv", ratio(doc, "viewer", "nsxiv"), 1.0);
        const double many = ms(ten_thousand, "viewer");
        add(ten_thousand, "viewer / its 20-record figure",
            many > 0 && ms(few, "viewer") > 0 ? many / ms(few, "viewer") : -1, 2.0);
        if (peak_of[ten_thousand].contains("viewer"))
            add(ten_thousand, "viewer's peak MB", peak_of[ten_thousand]["viewer"], 64);
        add(few, "sdl12-compat/classic", ratio(few, "compat", "viewer"), 1.25);
        if (render && render->few_ms > 0 && render->many_ms > 0) {
            targets.push_back(
                {"zub render, 10000 records / 20 records", render->many_ms / render->few_ms, 2.0});
            targets.push_back({"zub render, 10000 records: peak MB", render->many_peak_mb, 64});
        }
        if (render && render->version_ms > 0) targets.push_back({"zub --version: ms", render->version_ms, 2});
        const char* const spawn = "| image stage: spawn to main";
        const char* const confine = "| image stage: load and confine";
        if (timeline.contains(spawn) && timeline.contains(confine)) {
            targets.push_back({"zub-compose, exec to the image stage confined: ms",
                               timeline[spawn] + timeline[confine], 3});
        }
        if (thumbnail && thumbnail->first > 0 && thumbnail->second > 0) {
            targets.push_back({"thumbnail: zub render --size 256 / gdk-pixbuf-thumbnailer -s 256",
                               thumbnail->first / thumbnail->second, 1.0});
        }
        if (!idle_wakeups.empty()) {
            targets.push_back({"idle on X11: wake-ups/s, the most of any document",
                               *std::max_element(idle_wakeups.begin(), idle_wakeups.end()), 0});
        }
        for (const auto& [name, figure] : hostile) {
            targets.push_back({name + ": seconds", figure.first, 2});
            targets.push_back({name + ": peak MB beyond the pixels", figure.second, 512});
        }
        for (const auto& [host, figure] : loaders)
            targets.push_back({"loaders: " + host + " document/PNG", figure, 2});
        if (batch && batch->zub.per_second > 0 && batch->magick.per_second > 0) {
            targets.push_back({"batch: zub render -d docs/s / ImageMagick's",
                               batch->zub.per_second / batch->magick.per_second, 5, true});
        }
        if (wayland) {
            targets.push_back({"idle on Wayland: wake-ups/s", wayland->idle_wakeups, 0});
            targets.push_back({"idle on Wayland: CPU %", wayland->idle_cpu_percent, 0.1});
        }
        print_targets(targets);
    }
    fs::remove_all(dir);
    return failed ? 1 : 0;
}
