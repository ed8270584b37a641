#include "wall/job.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "wall/handback.hpp"

#ifndef ZUB_COMPOSER_FROM_PROGRAM
#define ZUB_COMPOSER_FROM_PROGRAM "../libexec/zub-reader"
#endif

namespace zub {

namespace {

// The composer a test names, or empty.
std::string& named_composer() {
    static std::string path;
    return path;
}

std::string reason(int error) { return std::strerror(error); }

// A descriptor closed when it goes.
struct descriptor {
    int fd = -1;
    explicit descriptor(int opened = -1) : fd(opened) {}
    descriptor(const descriptor&) = delete;
    descriptor& operator=(const descriptor&) = delete;
    ~descriptor() {
        if (fd >= 0) (void)close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// The file this code was loaded from: the program, or a library a host loaded.
std::filesystem::path own_file() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&composer_path), &info) != 0 && info.dli_fname != nullptr &&
        info.dli_fname[0] == '/') {
        std::error_code ignored;
        std::filesystem::path file = std::filesystem::canonical(info.dli_fname, ignored);
        if (!file.empty() && file != std::filesystem::canonical("/proc/self/exe", ignored)) return file;
    }
    std::error_code ignored;
    return std::filesystem::read_symlink("/proc/self/exe", ignored);
}

// The input: a memfd holding `bytes`, sealed against every change.
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

// The hand-back: a memfd of `bytes`, sealed against growing and shrinking.
int sealed_handback(std::uint64_t bytes) {
    descriptor memory{memfd_create("zub-compose-handback", MFD_CLOEXEC | MFD_ALLOW_SEALING)};
    if (memory.fd < 0 || ftruncate(memory.fd, static_cast<off_t>(bytes)) != 0) return -1;
    if (fcntl(memory.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) return -1;
    return memory.release();
}

// A descriptor above the ones the stage is given, so that placing them cannot close one
// before it is placed.
int above_stage_descriptors(int fd) { return fcntl(fd, F_DUPFD_CLOEXEC, 10); }

void kill_and_reap(stage_job& job) {
    if (job.pid > 0) {
        (void)kill(job.pid, SIGKILL);
        while (waitpid(job.pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        job.pid = -1;
    }
}

void close_fds(stage_job& job) {
    for (int* fd : {&job.pidfd, &job.handback_fd}) {
        if (*fd >= 0) (void)close(*fd);
        *fd = -1;
    }
}

// Waits until the stage has ended or the deadline has passed; true when it ended. With
// a pidfd it sleeps until then; without one it looks every 10 ms.
bool wait_for_end(const stage_job& job) {
    const auto deadline = job.started + std::chrono::seconds(stage_wall_seconds);
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

// The stage's fate in words, or nothing when it ended as it should.
std::string fate(const char* name, int status, const stage_report& report) {
    const std::string who = name;
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        if (signal == SIGSYS) return who + " tried a forbidden system call";
        if (signal == SIGXCPU || signal == SIGKILL) return stopped_after(name, stage_cpu_seconds);
        return who + " crashed (signal " + std::to_string(signal) + ")";
    }
    if (!WIFEXITED(status)) return who + " ended in an unknown way";
    switch (WEXITSTATUS(status)) {
        case exit_done:
            return "";
        case exit_failed:
            return stage_text(report.error, sizeof report.error);
        case exit_not_confined:
            return who + " cannot be confined: " + stage_text(report.error, sizeof report.error);
        case exit_out_of_memory:
            return who + " went over its memory limit";
        case exit_crashed:
            if (report.memory_exhausted != 0) return who + " went over its memory limit";
            if (report.crash_signal == 0) return who + " crashed (a sanitizer stopped it)";
            return who + " crashed (signal " + std::to_string(report.crash_signal) + ")";
        default:
            return who + " ended with status " + std::to_string(WEXITSTATUS(status));
    }
}

stage_report read_report(int handback_fd) {
    stage_report report{};
    if (pread(handback_fd, &report, sizeof report, 0) != static_cast<ssize_t>(sizeof report)) return {};
    return report;
}

}  // namespace

void mapping_release::operator()(void* at) const { (void)munmap(at, size); }

stage_job::stage_job(stage_job&& other) noexcept
    : name(other.name),
      pid(std::exchange(other.pid, -1)),
      pidfd(std::exchange(other.pidfd, -1)),
      handback_fd(std::exchange(other.handback_fd, -1)),
      handback_bytes(other.handback_bytes),
      started(other.started),
      problem(std::move(other.problem)) {}

stage_job& stage_job::operator=(stage_job&& other) noexcept {
    if (this != &other) {
        kill_and_reap(*this);
        close_fds(*this);
        name = other.name;
        pid = std::exchange(other.pid, -1);
        pidfd = std::exchange(other.pidfd, -1);
        handback_fd = std::exchange(other.handback_fd, -1);
        handback_bytes = other.handback_bytes;
        started = other.started;
        problem = std::move(other.problem);
    }
    return *this;
}

stage_job::~stage_job() {
    kill_and_reap(*this);
    close_fds(*this);
}

std::string composer_path() {
    if (!named_composer().empty()) return named_composer();
    const std::filesystem::path folder = own_file().parent_path();
    std::error_code ignored;
    for (const std::filesystem::path& candidate :
         {folder / "zub-compose", (folder / ZUB_COMPOSER_FROM_PROGRAM / "zub-compose").lexically_normal()}) {
        if (std::filesystem::is_regular_file(candidate, ignored)) return candidate.string();
    }
    return (folder / "zub-compose").string();
}

void set_composer_path(const std::string& path) { named_composer() = path; }

stage_job start_stage(const char* name, const std::vector<std::string>& arguments, bytes_view input,
                      std::uint64_t handback_bytes) {
    stage_job job;
    job.name = name;
    job.started = std::chrono::steady_clock::now();
    job.handback_bytes = handback_bytes;
    const descriptor in{sealed_input(input)};
    if (in.fd < 0) {
        job.problem = std::string("cannot make memory for ") + name + ": " + reason(errno);
        return job;
    }
    job.handback_fd = sealed_handback(handback_bytes);
    if (job.handback_fd < 0) {
        job.problem = std::string("cannot make memory for ") + name + ": " + reason(errno);
        return job;
    }
    const descriptor in_high{above_stage_descriptors(in.fd)};
    const descriptor out_high{above_stage_descriptors(job.handback_fd)};
    if (in_high.fd < 0 || out_high.fd < 0) {
        job.problem = std::string("cannot start ") + name + ": " + reason(errno);
        return job;
    }

    const std::string program = composer_path();
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.begin() + 1);
    words.push_back(std::to_string(getpid()));
    words.insert(words.end(), arguments.begin() + 1, arguments.end());
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char* no_environment[] = {nullptr};

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // Its input and its hand-back, and no other descriptor.
    posix_spawn_file_actions_adddup2(&actions, in_high.fd, 3);
    posix_spawn_file_actions_adddup2(&actions, out_high.fd, 4);
    posix_spawn_file_actions_addclosefrom_np(&actions, 5);
    for (const int standard : {0, 1, 2}) posix_spawn_file_actions_addclose(&actions, standard);
    // No signal held, none ignored or caught: as a program started afresh.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned =
        posix_spawn(&job.pid, program.c_str(), &actions, &attributes, argv.data(), no_environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        job.pid = -1;
        job.problem = std::string("cannot start ") + name + " (" + program + "): " + reason(spawned);
        return job;
    }
    job.pidfd = static_cast<int>(syscall(SYS_pidfd_open, job.pid, 0));
    return job;
}

std::string finish_stage(stage_job& job) {
    if (!job.problem.empty()) return job.problem;
    if (job.pid < 0) return std::string(job.name) + " was not started";
    const bool ended = wait_for_end(job);
    if (!ended) (void)kill(job.pid, SIGKILL);
    int status = 0;
    pid_t waited = -1;
    while ((waited = waitpid(job.pid, &status, 0)) < 0 && errno == EINTR) {
    }
    const int wait_error = errno;
    job.pid = -1;
    if (job.pidfd >= 0) (void)close(job.pidfd);
    job.pidfd = -1;
    if (!ended) return stopped_after(job.name, stage_wall_seconds);
    // The stage has ended: nothing writes to its hand-back any more.
    const stage_report report = read_report(job.handback_fd);
    if (waited < 0) {
        // Reaped unseen (the caller ignores SIGCHLD): only a report of work done stands.
        if (report.progress == progress_done && report.crash_signal == 0 && report.memory_exhausted == 0)
            return "";
        return std::string(job.name) + " ended unseen: " + reason(wait_error);
    }
    return fate(job.name, status, report);
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
