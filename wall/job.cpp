#include "wall/job.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "files/descriptor.hpp"
#include "wall/handback.hpp"

#ifndef ZUB_COMPOSER_FROM_PROGRAM
#define ZUB_COMPOSER_FROM_PROGRAM "../libexec/zub-reader"
#endif
#ifndef ZUB_MODULES_FROM_PROGRAM
#define ZUB_MODULES_FROM_PROGRAM "../lib/x86_64-linux-gnu/zub-reader"
#endif

namespace zub {

namespace {

// The runs of zub-compose going, by pid, for a signal handler to kill: plain atomics,
// which a handler may touch.
constexpr std::size_t most_runs = 64;
std::array<std::atomic<pid_t>, most_runs> running_runs{};

void note_running(pid_t pid) {
    for (std::atomic<pid_t>& slot : running_runs) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, pid)) return;
    }
}

void note_ended(pid_t pid) {
    for (std::atomic<pid_t>& slot : running_runs) {
        pid_t mine = pid;
        if (slot.compare_exchange_strong(mine, 0)) return;
    }
}

// Whether zub-compose leads a process group of its own.
std::atomic<bool> composer_groups{false};

// The composer a test names, or empty.
std::string& named_composer() {
    static std::string path;
    return path;
}

std::string reason(int error) { return std::strerror(error); }

// The file this code was loaded from: the program (the kernel's word for it, never
// argv[0], which whoever starts the program chooses and dladdr hands back for the
// program's own code), or the library a host loaded, by the path it was loaded from.
std::filesystem::path own_file() {
    Dl_info mine{};
    link_map* mine_map = nullptr;
    link_map* program_map = nullptr;
    if (void* program = dlopen(nullptr, RTLD_LAZY); program != nullptr) {
        (void)dlinfo(program, RTLD_DI_LINKMAP, &program_map);
        (void)dlclose(program);
    }
    const bool in_library = dladdr1(reinterpret_cast<void*>(&program_beside), &mine,
                                    reinterpret_cast<void**>(&mine_map), RTLD_DL_LINKMAP) != 0 &&
                            mine_map != nullptr && mine_map != program_map;
    std::error_code ignored;
    if (in_library && mine.dli_fname != nullptr && mine.dli_fname[0] == '/') {
        std::filesystem::path file = std::filesystem::canonical(mine.dli_fname, ignored);
        if (!file.empty()) return file;
    }
    return std::filesystem::read_symlink("/proc/self/exe", ignored);
}

// The hand-back: a memfd of `bytes`, sealed against growing and shrinking.
int sealed_handback(std::uint64_t bytes) {
    descriptor memory{memfd_create("zub-compose-handback", MFD_CLOEXEC | MFD_ALLOW_SEALING)};
    if (memory.fd < 0 || ftruncate(memory.fd, static_cast<off_t>(bytes)) != 0) return -1;
    if (fcntl(memory.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return -1;
    return memory.release();
}

// A descriptor above the ones the stage is given, so that placing them cannot close one
// before it is placed.
int above_stage_descriptors(int fd) {
    return fcntl(fd, F_DUPFD_CLOEXEC, stage_input_fd + 2 * static_cast<int>(max_stages) + 1);
}

void close_fd(int& fd) {
    if (fd >= 0) (void)close(fd);
    fd = -1;
}

// Waits until the composer has ended or the deadline has passed; true when it ended.
// With a pidfd it sleeps until then; without one it looks every 10 ms.
bool wait_for_end(const composer_run& job, std::chrono::seconds within) {
    const auto deadline = job.started + within;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        if (job.pidfd >= 0) {
            pollfd end{job.pidfd, POLLIN, 0};
            const int ready = poll(&end, 1, static_cast<int>(left.count()));
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) return false;
        } else {
            siginfo_t info{};
            if (waitid(P_PID, static_cast<id_t>(job.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
                return true;  // gone already: waitpid says how
            if (info.si_pid == job.pid) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

std::string stopped_after(const char* name, int seconds) {
    return std::string(name) + " was stopped after " + std::to_string(seconds) + " s";
}

std::string signal_words(int signal) {
    const char* name = sigabbrev_np(signal);
    return "signal " + std::to_string(signal) + (name != nullptr ? std::string(" SIG") + name : "");
}

// The stage's fate, or nothing said when it ended as it should: from wait4's status for
// it, the CPU time it used and its own report.
stage_end fate(const char* name, const stage_status& said, const stage_report& report) {
    const std::string who = name;
    const int status = said.wait_status;
    // A memory limit lower than the stage's own, which the caller was started with (under
    // `ulimit -v`), is the caller's doing.
    const auto over_memory = [&] {
        const std::string words = who + " went over its memory limit";
        return report.memory_inherited != 0 ? run_error(words + ", which its caller was started with")
                                            : stage_end{words};
    };
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        // The filter kills with SIGSYS; the CPU limit with SIGKILL once the time is used
        // (a lower one the caller was started with counts as its own). The kernel holds
        // the limit to the time its ticks count, while the time wait4 reports (the
        // scheduler's) comes in below it on a virtual machine whose host is busy: 1.86 to
        // 1.96 s of 2 s, and below 1.8 s under the tests' load. Half of it counts as used.
        if (signal == SIGSYS) return {who + " tried a forbidden system call"};
        const int limit = report.cpu_limit_seconds > 0 ? std::min(report.cpu_limit_seconds, stage_cpu_seconds)
                                                       : stage_cpu_seconds;
        const bool limit_used = said.cpu_ns >= std::int64_t{limit} * 500'000'000;
        if ((signal == SIGXCPU || signal == SIGKILL) && limit_used) return {stopped_after(name, limit)};
        return run_error(who + " was killed by " + signal_words(signal) + " from outside");
    }
    if (!WIFEXITED(status)) return run_error(who + " ended in an unknown way");
    const std::string error = stage_text(report.error, sizeof report.error);
    switch (WEXITSTATUS(status)) {
        case exit_done:
            return {};
        case exit_failed:
            return {error.empty() ? who + " failed without saying why" : error};
        case exit_not_confined:
            return run_error(who + " cannot be confined: " + error);
        case exit_out_of_memory:
            return over_memory();
        case exit_crashed:
            if (report.crash_sent != 0)
                return run_error(who + " was killed by " + signal_words(report.crash_signal) +
                                 " from outside");
            if (report.memory_exhausted != 0) return over_memory();
            if (report.crash_signal == 0) return {who + " crashed (a sanitizer stopped it)"};
            return {who + " crashed (signal " + std::to_string(report.crash_signal) + ")"};
        default:
            return run_error(who + " ended with status " + std::to_string(WEXITSTATUS(status)));
    }
}

// What became of zub-compose itself, when it did not say how a stage ended.
std::string composer_end(const composer_run& run) {
    if (run.wait_error != 0) return "zub-compose was not seen to end: " + reason(run.wait_error);
    if (WIFSIGNALED(run.wait_status))
        return "zub-compose was killed by " + signal_words(WTERMSIG(run.wait_status));
    if (WIFEXITED(run.wait_status))
        return "zub-compose ended with status " + std::to_string(WEXITSTATUS(run.wait_status));
    return "zub-compose ended in an unknown way";
}

stage_report read_report(int handback_fd) {
    stage_report report{};
    if (pread(handback_fd, &report, sizeof report, 0) != static_cast<ssize_t>(sizeof report)) return {};
    return report;
}

// Reaps the run's process: waitpid's status in `status`, or the errno of a wait that saw
// no end (a host that ignores SIGCHLD or reaps every child itself). Through the pidfd
// where there is one, so that a pid the system has given to another process since is
// never waited for.
int reap(const composer_run& run, int& status) {
    siginfo_t info{};
    int waited = -1;
    while (run.pidfd >= 0 && (waited = waitid(P_PIDFD, static_cast<id_t>(run.pidfd), &info, WEXITED)) < 0 &&
           errno == EINTR) {
    }
    // A kernel that gives pidfds but cannot wait on them (Linux 5.3) waits by pid.
    if (run.pidfd < 0 || (waited < 0 && errno == EINVAL)) {
        while (waitpid(run.pid, &status, 0) < 0) {
            if (errno != EINTR) return errno;
        }
        return 0;
    }
    if (waited < 0) return errno;
    switch (info.si_code) {
        case CLD_EXITED:
            status = (info.si_status & 0xff) << 8;
            break;
        case CLD_DUMPED:
            status = info.si_status | 0x80;
            break;
        default:
            status = info.si_status;
    }
    return 0;
}

}  // namespace

void kill_run(const composer_run& run) {
    if (run.pidfd >= 0) {
        (void)syscall(SYS_pidfd_send_signal, run.pidfd, SIGKILL, nullptr, 0);
    } else if (run.pid > 0) {
        (void)kill(run.pid, SIGKILL);
    }
}

namespace {
// A run's deadline: each of its stages brings its own.
int deadline_seconds(const composer_run& run) { return stage_wall_seconds * static_cast<int>(run.stages); }
}  // namespace

void wait_once(composer_run& run) { wait_once(run, std::chrono::seconds(deadline_seconds(run))); }

void wait_once(composer_run& run, std::chrono::seconds within) {
    if (run.waited) return;
    run.waited = true;
    run.ended = wait_for_end(run, within);
    if (!run.ended) kill_run(run);
    // Off the list before it is reaped: until then its pid is its own (a zombie's).
    note_ended(run.pid);
    run.wait_error = reap(run, run.wait_status);
    run.pid = -1;
    close_fd(run.pidfd);
}

void start_composers_in_groups_of_their_own() { composer_groups.store(true); }

void kill_composers_now() noexcept {
    for (std::atomic<pid_t>& slot : running_runs) {
        const pid_t pid = slot.exchange(0);
        if (pid <= 0) continue;
        // Its process group: zub-compose and the stages it forked.
        (void)kill(-pid, SIGKILL);
        (void)kill(pid, SIGKILL);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

int sealed_input(bytes_view bytes) {
    descriptor memory{memfd_create("zub-compose-input", MFD_CLOEXEC | MFD_ALLOW_SEALING)};
    if (memory.fd < 0) return -1;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(memory.fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        written += static_cast<std::size_t>(n);
    }
    if (fcntl(memory.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)
        return -1;
    return memory.release();
}

void mapping_release::operator()(void* at) const { (void)munmap(at, size); }

composer_run::~composer_run() {
    if (pid > 0) {
        kill_run(*this);
        note_ended(pid);
        int status = 0;
        (void)reap(*this, status);
    }
    close_fd(pidfd);
    close_fd(status_fd);
}

stage_job::stage_job(stage_job&& other) noexcept
    : name(other.name),
      run(std::move(other.run)),
      slot(other.slot),
      handback_fd(std::exchange(other.handback_fd, -1)),
      handback_bytes(other.handback_bytes),
      problem(std::move(other.problem)) {}

stage_job& stage_job::operator=(stage_job&& other) noexcept {
    if (this != &other) {
        close_fd(handback_fd);
        name = other.name;
        run = std::move(other.run);
        slot = other.slot;
        handback_fd = std::exchange(other.handback_fd, -1);
        handback_bytes = other.handback_bytes;
        problem = std::move(other.problem);
    }
    return *this;
}

stage_job::~stage_job() { close_fd(handback_fd); }

std::string program_beside(const char* name, const char* installed_from_here) {
    const std::filesystem::path folder = own_file().parent_path();
    std::error_code ignored;
    for (const std::filesystem::path& candidate :
         {folder / name, (folder / installed_from_here / name).lexically_normal()}) {
        if (std::filesystem::is_regular_file(candidate, ignored)) return candidate.string();
    }
    return (folder / name).string();
}

result<void*> load_module(const char* name, const char* entry, const std::string& what) {
    const std::string path = program_beside(name, ZUB_MODULES_FROM_PROGRAM);
    // Lazy binding: of SDL's libraries only the functions the module calls are bound.
    void* module = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) return failure{"cannot load " + what + ": " + std::string(dlerror())};
    void* found = dlsym(module, entry);
    if (found == nullptr) return failure{"cannot load " + what + ": " + std::string(dlerror())};
    return found;
}

std::string composer_path() {
    if (!named_composer().empty()) return named_composer();
    return program_beside("zub-compose", ZUB_COMPOSER_FROM_PROGRAM);
}

void set_composer_path(const std::string& path) { named_composer() = path; }

pid_t spawn_afresh(const std::string& program, std::vector<std::string> words,
                   std::span<const placed_descriptor> placed, const char* folder, int& error,
                   bool own_group) {
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char* no_environment[] = {nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    int highest = 2;
    for (const placed_descriptor& p : placed) {
        posix_spawn_file_actions_adddup2(&actions, p.from, p.to);
        highest = std::max(highest, p.to);
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, highest + 1);
    for (const int standard : {0, 1, 2}) {
        if (std::none_of(placed.begin(), placed.end(),
                         [&](const placed_descriptor& p) { return p.to == standard; }))
            posix_spawn_file_actions_addclose(&actions, standard);
    }
    if (folder != nullptr) posix_spawn_file_actions_addchdir_np(&actions, folder);
    // No signal held, none ignored or caught: as a program started afresh.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&attributes, 0);
        flags = static_cast<short>(flags | POSIX_SPAWN_SETPGROUP);
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = -1;
    error = posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), no_environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return error == 0 ? pid : -1;
}

std::vector<stage_job> start_stages(std::span<const stage_request> requests) {
    std::vector<stage_job> jobs(requests.size());
    for (std::size_t k = 0; k < requests.size(); ++k) jobs[k].name = requests[k].name;
    // Each job says why in the words of its own stage.
    const auto refuse = [&](const auto& why) {
        for (stage_job& job : jobs) {
            job.problem = run_error(why(job.name));
            job.run.reset();
        }
        return std::move(jobs);
    };
    const auto cannot = [](const char* doing, int error, const std::string& after = "") {
        return [=](const char* stage) {
            return std::string("cannot ") + doing + stage + after + ": " + reason(error);
        };
    };
    if (requests.empty() || requests.size() > max_stages)
        return refuse([](const char*) { return std::string("no stage was asked for"); });
    auto run = std::make_shared<composer_run>();
    run->started = std::chrono::steady_clock::now();
    run->stages = requests.size();
    std::vector<descriptor> inputs;  // above the descriptors zub-compose is given
    std::vector<descriptor> handbacks;
    inputs.reserve(requests.size());
    handbacks.reserve(requests.size());
    for (std::size_t k = 0; k < requests.size(); ++k) {
        const stage_request& asked = requests[k];
        stage_job& job = jobs[k];
        job.name = asked.name;
        job.run = run;
        job.slot = k;
        job.handback_bytes = asked.handback_bytes;
        const descriptor in{sealed_input(asked.input)};
        job.handback_fd = sealed_handback(asked.handback_bytes);
        if (in.fd < 0 || job.handback_fd < 0) return refuse(cannot("make memory for ", errno));
        inputs.emplace_back(above_stage_descriptors(in.fd));
        handbacks.emplace_back(above_stage_descriptors(job.handback_fd));
        if (inputs.back().fd < 0 || handbacks.back().fd < 0) return refuse(cannot("start ", errno));
    }
    run->status_fd = sealed_handback(sizeof(stage_status) * max_stages);
    const descriptor status_high{run->status_fd < 0 ? -1 : above_stage_descriptors(run->status_fd)};
    if (status_high.fd < 0) return refuse(cannot("start ", errno));

    const std::string program = composer_path();
    std::vector<std::string> words{program, std::to_string(getpid())};
    for (const stage_request& asked : requests)
        words.insert(words.end(), asked.arguments.begin(), asked.arguments.end());
    // Each stage's input and hand-back, the status, and no other descriptor.
    std::vector<placed_descriptor> placed;
    int next = stage_input_fd;
    for (std::size_t k = 0; k < requests.size(); ++k) {
        placed.push_back({inputs[k].fd, next++});
        placed.push_back({handbacks[k].fd, next++});
    }
    placed.push_back({status_high.fd, next++});
    int error = 0;
    // A process group of its own: a terminal's Ctrl-C reaches the caller alone, which
    // decides what becomes of the composer.
    run->pid = spawn_afresh(program, std::move(words), placed, nullptr, error, composer_groups.load());
    if (run->pid < 0) {
        return refuse(cannot("start ", error, " (" + program + ")"));
    }
    note_running(run->pid);
    run->pidfd = static_cast<int>(syscall(SYS_pidfd_open, run->pid, 0));
    return jobs;
}

stage_end finish_stage(stage_job& job) {
    if (!job.problem.said.empty()) return job.problem;
    if (!job.run) return run_error(std::string(job.name) + " was not started");
    composer_run& run = *job.run;
    wait_once(run);
    // Once the run has ended or been killed, nothing writes to the hand-back any more; a
    // stage that ended before the deadline keeps its own fate.
    const stage_report report = read_report(job.handback_fd);
    stage_status said{};
    const bool told = pread(run.status_fd, &said, sizeof said, static_cast<off_t>(job.slot * sizeof said)) ==
                      static_cast<ssize_t>(sizeof said);
    if (told && said.ended == status_ended) return fate(job.name, said, report);
    if (told && said.ended == status_not_started)
        return run_error(std::string("cannot start ") + job.name + ": " + reason(said.start_error));
    if (!run.ended)
        return run_error(stopped_after(job.name, deadline_seconds(run)) + ", the machine being too busy");
    return run_error(std::string(job.name) + " ended unseen: " + composer_end(run));
}

result<mapping_handle> map_handback(const stage_job& job, std::uint64_t bytes) {
    const std::uint64_t size = std::min(bytes, job.handback_bytes);
    if (job.handback_fd < 0 || size == 0) return failure{std::string(job.name) + " handed back nothing"};
    // A private copy: SDL may write to a surface's pixels (undoing its RLE), never back to the stage.
    void* at = mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                    job.handback_fd, 0);
    if (at == MAP_FAILED)
        return failure{std::string("cannot map what ") + job.name + " handed back: " + reason(errno)};
    return mapping_handle(at, mapping_release{static_cast<std::size_t>(size)});
}

}  // namespace zub
