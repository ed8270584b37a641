#include "tools/output_file.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <string_view>
#include <utility>

namespace zub {

namespace {

std::string reason(int error) { return std::strerror(error); }

// What a signal handler undoes of the outputs being written: a temporary name to remove,
// or an empty file written in place to make empty again. Plain atomics and fixed
// buffers, which a handler may touch; a slot is held (1), being filled (2) or free (0).
constexpr std::size_t most_unfinished = 64;
struct unfinished_slot {
    std::atomic<int> state{0};
    std::atomic<int> fd{-1};   // a file written in place
    char path[PATH_MAX] = {};  // a temporary name
};
std::array<unfinished_slot, most_unfinished> unfinished{};
std::atomic<bool> stopping{false};

// Holds a slot for a temporary name or an in-place descriptor: its index, or -1.
int hold_unfinished(const std::string& path, int fd) {
    if (path.size() >= PATH_MAX) return -1;
    for (std::size_t i = 0; i < unfinished.size(); ++i) {
        int free = 0;
        if (!unfinished[i].state.compare_exchange_strong(free, 2)) continue;
        std::memcpy(unfinished[i].path, path.c_str(), path.size() + 1);
        unfinished[i].fd.store(fd);
        unfinished[i].state.store(1);
        return static_cast<int>(i);
    }
    return -1;
}

// The outputs being written by threads other than the one a signal handler runs on: the
// handler waits for them to undo their own work before it undoes what is left.
std::atomic<int> writers{0};
thread_local bool writing = false;

struct writing_scope {
    writing_scope() {
        writing = true;
        writers.fetch_add(1);
    }
    ~writing_scope() {
        writers.fetch_sub(1);
        writing = false;
    }
    writing_scope(const writing_scope&) = delete;
    writing_scope& operator=(const writing_scope&) = delete;
};

void let_go(int slot) {
    if (slot < 0) return;
    unfinished[static_cast<std::size_t>(slot)].fd.store(-1);
    unfinished[static_cast<std::size_t>(slot)].path[0] = '\0';
    unfinished[static_cast<std::size_t>(slot)].state.store(0);
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A path to one of this process's own open descriptors: /dev/stdout, /dev/fd/N or
// /proc/self/fd/N. The number, or -1.
int own_descriptor(const std::string& path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
    for (const std::string_view prefix : {std::string_view("/dev/fd/"), std::string_view("/proc/self/fd/"),
                                          std::string_view("/proc/thread-self/fd/"), std::string_view(own)}) {
        if (!path.starts_with(prefix) || path.size() == prefix.size() || path.size() > prefix.size() + 9)
            continue;
        const std::string number = path.substr(prefix.size());
        if (number.find_first_not_of("0123456789") != std::string::npos) continue;
        return std::stoi(number);
    }
    return -1;
}

// Whether the kernel guards links in shared folders (fs.protected_symlinks). When the
// setting cannot be read, it is taken to be on, as every current distribution has it.
bool links_protected() {
    const int fd = open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return true;
    char setting = '1';
    const ssize_t n = read(fd, &setting, 1);
    (void)close(fd);
    return n != 1 || setting != '0';
}

// Whether a file owned by `owner` at `path` is another's in a shared folder: the folder
// is sticky and world-writable (/tmp), and neither this process's user nor the folder's
// owner owns the file. The kernel follows no such link (fs.protected_symlinks), and a
// file there is not written into as if it were this user's.
bool others_in_shared_folder(const std::string& path, uid_t owner) {
    if (owner == geteuid()) return false;  // the file system's user is the effective one here
    struct stat folder {};
    if (stat(folder_of(path).c_str(), &folder) != 0) return true;
    const auto shared = static_cast<mode_t>(S_ISVTX | S_IWOTH);
    return (folder.st_mode & shared) == shared && folder.st_uid != owner;
}

// Whether the kernel would follow the link at `path` for this process: 0, or the
// system's reason (EACCES) for refusing it. Following links by hand must not get around
// the kernel's rule.
int may_follow(const std::string& path, const struct stat& link) {
    return others_in_shared_folder(path, link.st_uid) && links_protected() ? EACCES : 0;
}

// The file a chain of symbolic links ends at (a path that may not exist yet). Links
// are followed by hand so that a link to a file not yet made still leads to it. Sets
// `target.descriptor` when a link leads to one of the process's open descriptors,
// whose links in /proc are not paths to follow.
void follow_links(output_target& target) {
    std::string path = target.path;
    for (int hops = 0; hops < 40; ++hops) {
        target.descriptor = own_descriptor(path);
        if (target.descriptor >= 0) return;
        struct stat link {};
        if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) {
            target.final_path = path;
            return;
        }
        target.link_error = may_follow(path, link);
        if (target.link_error != 0) return;
        std::string to(PATH_MAX, '\0');
        const ssize_t length = readlink(path.c_str(), to.data(), to.size());
        if (length < 0) {
            target.final_path = path;
            return;
        }
        to.resize(static_cast<std::size_t>(length));
        path = to.starts_with('/') ? to : folder_of(path) + "/" + to;
    }
    target.link_error = ELOOP;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// What a new file's mode is under the process's umask, learned once: reading the umask
// sets it, which threads writing at once must not do to each other.
mode_t creation_mode() {
    static const mode_t mode = [] {
        const mode_t mask = umask(0);
        umask(mask);
        return static_cast<mode_t>(0666 & ~mask);
    }();
    return mode;
}

// A device or FIFO takes the bytes as they come; there is nothing to replace.
outcome write_directly(const output_target& target, std::span<const std::uint8_t> bytes) {
    if (target.descriptor >= 0) {
        if (write_all(target.descriptor, bytes)) return done{};
        return failure{"cannot write " + target.path + ": " + reason(errno)};
    }
    const int fd = open(target.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return failure{"cannot write " + target.path + ": " + reason(errno)};
    const bool written = write_all(fd, bytes);
    const int error = errno;
    if (close(fd) != 0 && written) return failure{"cannot write " + target.path + ": " + reason(errno)};
    if (!written) return failure{"cannot write " + target.path + ": " + reason(error)};
    return done{};
}

// Twelve letters and digits nobody can guess, for a temporary name linkat takes or
// refuses (it never replaces a file).
std::string random_name() {
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::array<std::uint8_t, 12> random{};
    if (getrandom(random.data(), random.size(), 0) != static_cast<ssize_t>(random.size())) {
        static std::atomic<unsigned> count{0};
        const auto seed = static_cast<unsigned>(getpid()) * 2654435761U + count.fetch_add(1);
        for (std::size_t i = 0; i < random.size(); ++i)
            random[i] = static_cast<std::uint8_t>(seed >> (i % 4 * 8));
    }
    std::string name;
    for (const std::uint8_t byte : random) name += letters[byte % (sizeof letters - 1)];
    return name;
}

// A temporary file named in `folder`, made with O_EXCL once its name is held for a
// signal handler to remove: its descriptor, or -1 with errno set.
int named_temporary(const std::string& folder, mode_t mode, std::string& temp, int& slot) {
    for (int tries = 0; tries < 100; ++tries) {
        temp = folder + "/.zub-output." + random_name();
        slot = hold_unfinished(temp, -1);
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0) return fd;
        const int error = errno;
        let_go(std::exchange(slot, -1));
        errno = error;
        if (error != EEXIST) return -1;
    }
    return -1;
}

// The bytes in a file of no name in `folder` (O_TMPFILE), named beside the target only
// once they are all on disk; where the file system has no such files (or there is no
// /proc to name one through), in a temporary file named at once. The temporary name,
// held in `slot` for a signal handler to remove, or why not (after "cannot write PATH: ").
result<std::string> write_temporary(const std::string& folder, const output_target& target,
                                    std::span<const std::uint8_t> bytes, int& slot) {
    const mode_t mode = target.exists
                            ? static_cast<mode_t>(target.mode & ~static_cast<unsigned>(S_ISUID | S_ISGID))
                            : creation_mode();
    std::string temp;
    for (const bool unnamed : {true, false}) {
        const int fd = unnamed ? open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode)
                               : named_temporary(folder, mode, temp, slot);
        if (fd < 0 && unnamed) continue;
        if (fd < 0) {
            const int error = errno;
            if (!target.exists) return failure{reason(error)};
            return failure{"cannot make a temporary file in " + folder + ": " + reason(error)};
        }
        // The owner first: changing it clears the set-id bits, which new contents do not
        // get back.
        if (target.exists) (void)!fchown(fd, target.owner, target.group);
        (void)fchmod(fd, mode);
        int error = 0;
        if (!write_all(fd, bytes) || fsync(fd) != 0) error = errno;
        bool named = !unnamed;
        bool no_proc = false;
        if (error == 0 && unnamed && !stopping.load()) {
            // A name for it, beside the target: linkat cannot replace a file, rename can.
            const std::string self = "/proc/self/fd/" + std::to_string(fd);
            for (int tries = 0; tries < 100 && !named; ++tries) {
                temp = folder + "/.zub-output." + random_name();
                slot = hold_unfinished(temp, -1);
                named = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) == 0;
                error = named ? 0 : errno;
                if (!named) let_go(std::exchange(slot, -1));
                if (!named && error != EEXIST) break;
            }
            no_proc = !named && error == ENOENT && access("/proc/self/fd", F_OK) != 0;
        }
        if (close(fd) != 0 && error == 0) error = errno;
        // A signal that came meanwhile undoes what it knows of: this is undone here.
        if (error == 0 && stopping.load()) error = EINTR;
        if (error != 0) {
            if (named) (void)unlink(temp.c_str());
            let_go(std::exchange(slot, -1));
            if (no_proc) continue;
            return failure{reason(error)};
        }
        return temp;
    }
    return failure{reason(EIO)};
}

// A temporary file beside the target, renamed over it once every byte is on disk.
outcome replace_file(const output_target& target, std::span<const std::uint8_t> bytes) {
    // A file the user may not write is left alone, as the shell and cp leave it.
    if (target.exists && access(target.final_path.c_str(), W_OK) != 0) {
        return failure{"cannot write " + target.path + ": " + reason(errno)};
    }
    const std::string& final_path = target.final_path;
    const writing_scope scope;
    int slot = -1;
    const result<std::string> temp = write_temporary(folder_of(final_path), target, bytes, slot);
    if (!temp) return failure{"cannot write " + target.path + ": " + temp.why()};
    int error = EINTR;
    if (!stopping.load()) error = rename(temp->c_str(), final_path.c_str()) == 0 ? 0 : errno;
    if (error != 0) (void)unlink(temp->c_str());
    let_go(slot);
    if (error != 0) return failure{"cannot write " + target.path + ": " + reason(error)};
    return done{};
}

// The empty file a thumbnailer made, and reads through the descriptor it keeps: written
// where it is, and made empty again when the write fails. A file that is no longer the
// empty one found at first, or another user's in a shared folder (where the picture
// would be written into a file that user made to read it), is replaced as any other.
outcome write_in_place(const output_target& target, std::span<const std::uint8_t> bytes) {
    const int fd = open(target.final_path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return failure{"cannot write " + target.path + ": " + reason(errno)};
    struct stat now {};
    if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || now.st_size != 0 || now.st_dev != target.device ||
        now.st_ino != target.inode || others_in_shared_folder(target.final_path, now.st_uid)) {
        (void)close(fd);
        return replace_file(target, bytes);
    }
    const writing_scope scope;
    const int slot = hold_unfinished("", fd);
    int error = stopping.load() ? EINTR : 0;
    if (error == 0 && (!write_all(fd, bytes) || fsync(fd) != 0)) {
        error = errno;
        (void)!ftruncate(fd, 0);
    }
    // A signal that came meanwhile: the file is empty again, as it was found.
    if (stopping.load()) (void)!ftruncate(fd, 0);
    let_go(slot);
    if (close(fd) != 0 && error == 0) {
        error = errno;
        (void)!truncate(target.final_path.c_str(), 0);
    }
    if (error != 0) return failure{"cannot write " + target.path + ": " + reason(error)};
    return done{};
}

}  // namespace

result<output_target> plan_output(const std::string& path, const std::vector<std::string>& inputs,
                                  const std::string& rewritten) {
    output_target target;
    target.path = path;
    follow_links(target);
    struct stat out {};
    if (stat(path.c_str(), &out) != 0) return target;  // not there yet (or unreachable: the write says why)
    target.exists = true;
    if (S_ISDIR(out.st_mode)) return failure{path + " is a folder, not a file to write"};
    target.regular = S_ISREG(out.st_mode);
    target.empty = target.regular && out.st_size == 0;
    target.device = out.st_dev;
    target.inode = out.st_ino;
    target.mode = out.st_mode & 07777;
    target.owner = out.st_uid;
    target.group = out.st_gid;
    const auto same_file = [&out](const std::string& input) {
        struct stat in {};
        return stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
    };
    // Read whole before anything is written, and replaced by a rename: the input is never
    // half-written, and a failure leaves it as it was.
    const bool rewrites = !rewritten.empty() && same_file(rewritten);
    if (rewrites && (!target.regular || target.empty || target.descriptor >= 0 || target.final_path.empty()))
        return failure{"the output " + path + " is the same file as the input " + rewritten};
    for (const std::string& input : inputs) {
        if (same_file(input) && !rewrites)
            return failure{"the output " + path + " is the same file as the input " + input};
    }
    return target;
}

void undo_unfinished_outputs() noexcept {
    stopping.store(true);
    // Another thread's write ends with its next step and undoes itself; a moment at the
    // most is given to it (the write this thread was in, if any, is undone below).
    const int mine = writing ? 1 : 0;
    for (int waited = 0; writers.load() > mine && waited < 200; ++waited) {
        const timespec moment{0, 1'000'000};
        (void)nanosleep(&moment, nullptr);
    }
    for (unfinished_slot& slot : unfinished) {
        if (slot.state.load() != 1) continue;
        if (slot.path[0] != '\0') (void)unlink(slot.path);
        if (const int fd = slot.fd.load(); fd >= 0) (void)!ftruncate(fd, 0);
    }
}

outcome write_output(const output_target& target, std::span<const std::uint8_t> bytes) {
    if (target.link_error != 0)
        return failure{"cannot write " + target.path + ": " + reason(target.link_error)};
    if (target.descriptor >= 0 || (target.exists && !target.regular)) return write_directly(target, bytes);
    if (target.empty) return write_in_place(target, bytes);
    return replace_file(target, bytes);
}

}  // namespace zub
