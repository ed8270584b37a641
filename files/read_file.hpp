// Reading a whole file into memory, within a bound.
//
// Every file the programs read whole (a document, a font, a texts file, an image to
// pack) has a size bound: a regular file larger than it is refused by its size before
// anything is read (a sparse file counts by its size), and a pipe or device is read
// only up to it. Where only a regular file makes sense (a font), anything else is
// refused without being read, and a FIFO without waiting for a writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>

#include "document/limits.hpp"
#include "document/result.hpp"

namespace zub {

struct free_release {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
};

// A file's bytes, unchanged, in one heap block of exactly the file's size.
struct file_bytes {
    std::unique_ptr<std::uint8_t[], free_release> bytes;
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.get(), size}; }
};

// What a file may be, and how the messages name it.
struct file_bound {
    std::uint64_t max_bytes = 0;
    const char* kind = "a file";       // "... the most a document may have"
    bool regular_only = false;         // refuse FIFOs, devices and sockets
    std::string subject = "the file";  // "cannot open the file: ..."
};

// The bound of a document file.
file_bound document_bound();

// The bound of an image to embed: what fits a document the viewer reads beside the
// header.
file_bound embedded_image_bound();

// The bound of a font file, a regular file only; `subject` names it in the messages.
file_bound font_bound(std::string subject);

// Reads the whole file at `path`, or says why it could not, in one sentence: "cannot
// open the file: " or "cannot read the file: " and the system's reason or the bound
// it passes ("it is larger than 67108864 bytes, the most a font may have").
result<file_bytes> read_file(const std::string& path, const file_bound& bound);

// The same for a file already open (standard input), read from where it stands.
result<file_bytes> read_descriptor(int fd, const file_bound& bound);

}  // namespace zub
