// Writing a tool's output file without harming what is already there.
//
// The rules, for every program here that writes a file:
// - an output that is one of the inputs (the same file, by any name) is refused, but for
//   an input read whole first that a regular file's rename may replace (a document
//   written over itself);
// - a symbolic link is followed: the file it points to is replaced, and the link stays;
//   a link the kernel would not follow (fs.protected_symlinks: another user's link in a
//   sticky world-writable folder such as /tmp) is not followed here either;
// - an existing empty regular file is written in place: a thumbnailer hands its output
//   so, made empty, and reads it through the descriptor it keeps open; on any failure
//   it is made empty again;
// - any other regular file (new or existing) is written to a temporary file beside it
//   (one of no name, O_TMPFILE, given a name only once it is whole) and renamed into
//   place, so that a failure or a signal leaves nothing half-written at the path; an
//   existing file keeps its permission bits and, where the process may keep them, its
//   owner;
// - an existing output that is not a regular file (a FIFO, a device) is written
//   directly; a folder is refused; a path that names one of the process's own open
//   descriptors (/dev/stdout, /dev/fd/N) is written through that descriptor, so that an
//   output the shell opened for appending is appended to;
// - a file the user may not write is not replaced.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "document/result.hpp"

namespace zub {

// Where an output goes, decided before any work is done.
struct output_target {
    std::string path;        // as the user gave it
    std::string final_path;  // after following symbolic links
    bool exists = false;
    bool regular = true;       // a regular file, or none yet
    bool empty = false;        // an existing regular file of no bytes
    std::uint64_t device = 0;  // of the existing file, to know it again when it is written
    std::uint64_t inode = 0;
    unsigned mode = 0;  // permission bits of the existing file
    unsigned owner = 0;
    unsigned group = 0;
    int descriptor = -1;  // the process's own open descriptor the path names, if it does
    int link_error = 0;   // why the links could not be followed (a loop, a protected link)
};

// Where the output goes, or why it cannot be used: it is one of `inputs`, or a folder
// (a wrong command line; the reason names the path, and nothing has been written).
// `rewritten` is an input, read whole before the output is written, that the output may
// be when it is replaced by a rename (a regular file that is not empty).
result<output_target> plan_output(const std::string& path, const std::vector<std::string>& inputs,
                                  const std::string& rewritten = "");

// Writes `bytes` to the output, or says why it could not, with the system's reason.
outcome write_output(const output_target& target, std::span<const std::uint8_t> bytes);

// Undoes what the outputs being written have done so far: a temporary file is removed
// (one of no name needs nothing), an empty file written in place is made empty again,
// and none is begun after. For a signal handler (atomics and system calls alone).
void undo_unfinished_outputs() noexcept;

}  // namespace zub
