#include "files/read_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "document/document.hpp"
#include "files/descriptor.hpp"

namespace zub {

namespace {

failure cannot_read(const file_bound& bound, const std::string& why) {
    return failure{"cannot read " + bound.subject + ": " + why};
}

failure cannot_read(const file_bound& bound, int error) { return cannot_read(bound, std::strerror(error)); }

failure too_large(const file_bound& bound) {
    return cannot_read(bound, "it is larger than " + std::to_string(bound.max_bytes) + " bytes, the most " +
                                  bound.kind + " may have");
}

// Reads into `into` up to `want` bytes; how many came (fewer at the end of the file),
// or -1 with errno set.
ssize_t read_up_to(int fd, std::uint8_t* into, std::size_t want) {
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = read(fd, into + got, want - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// A regular file: its size is known, and its block is allocated once.
result<file_bytes> read_regular(int fd, std::uint64_t size, const file_bound& bound) {
    if (size > bound.max_bytes) return too_large(bound);
    file_bytes file;
    file.size = static_cast<std::size_t>(size);
    // malloc(0) may give null: one byte is asked for so that an empty file has a block.
    file.bytes.reset(static_cast<std::uint8_t*>(std::malloc(file.size > 0 ? file.size : 1)));
    if (!file.bytes) {
        return cannot_read(bound, "not enough memory for its " + std::to_string(size) + " bytes");
    }
    const ssize_t got = read_up_to(fd, file.bytes.get(), file.size);
    if (got < 0) return cannot_read(bound, errno);
    if (static_cast<std::size_t>(got) != file.size) {
        return cannot_read(
            bound, "it ended after " + std::to_string(got) + " of " + std::to_string(size) + " bytes");
    }
    return file;
}

// A pipe or a device: read to its end or one byte past the bound, in a block that grows
// in place where it can (large blocks are remapped, not copied), never past the bound and
// that one byte, and is cut to size.
result<file_bytes> read_stream(int fd, const file_bound& bound) {
    file_bytes file;
    std::size_t capacity = 0;
    const std::uint64_t most = bound.max_bytes + 1;  // one byte past the bound tells it is passed
    for (;;) {
        if (file.size == capacity) {
            const std::uint64_t grown =
                std::min<std::uint64_t>(capacity == 0 ? 65536 : std::uint64_t{capacity} * 2, most);
            auto* bigger =
                static_cast<std::uint8_t*>(std::realloc(file.bytes.get(), static_cast<std::size_t>(grown)));
            if (bigger == nullptr) return cannot_read(bound, "not enough memory");
            (void)file.bytes.release();
            file.bytes.reset(bigger);
            capacity = static_cast<std::size_t>(grown);
        }
        const std::size_t want = capacity - file.size;
        const ssize_t got = read_up_to(fd, file.bytes.get() + file.size, want);
        if (got < 0) return cannot_read(bound, errno);
        file.size += static_cast<std::size_t>(got);
        if (file.size > bound.max_bytes) return too_large(bound);
        if (static_cast<std::size_t>(got) < want) break;  // the end of the file
    }
    if (file.size > 0) {
        auto* exact = static_cast<std::uint8_t*>(std::realloc(file.bytes.get(), file.size));
        if (exact != nullptr) {
            (void)file.bytes.release();
            file.bytes.reset(exact);
        }
    }
    return file;
}

}  // namespace

file_bound document_bound() { return file_bound{max_document_bytes, "a document"}; }

file_bound embedded_image_bound() {
    return file_bound{max_document_bytes - header_size, "an image in a document"};
}

file_bound font_bound(std::string subject) {
    return file_bound{max_font_bytes, "a font", true, std::move(subject)};
}

result<file_bytes> read_file(const std::string& path, const file_bound& bound) {
    // A FIFO opened to be refused is not waited on for a writer.
    const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | (bound.regular_only ? O_NONBLOCK : 0);
    const descriptor file{open(path.c_str(), flags)};
    if (file.fd < 0) return failure{"cannot open " + bound.subject + ": " + std::strerror(errno)};
    return read_descriptor(file.fd, bound);
}

result<file_bytes> read_descriptor(int fd, const file_bound& bound) {
    struct stat about {};
    if (fstat(fd, &about) != 0) return cannot_read(bound, errno);
    if (S_ISDIR(about.st_mode)) return cannot_read(bound, EISDIR);
    if (S_ISREG(about.st_mode)) {
        // From where it stands: standard input may have been read from already.
        const off_t at = lseek(fd, 0, SEEK_CUR);
        const std::uint64_t from = at > 0 && at <= about.st_size ? static_cast<std::uint64_t>(at) : 0;
        return read_regular(fd, static_cast<std::uint64_t>(about.st_size) - from, bound);
    }
    if (bound.regular_only) return cannot_read(bound, "it is not a regular file");
    return read_stream(fd, bound);
}

}  // namespace zub
