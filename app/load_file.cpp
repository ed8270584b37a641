#include "app/load_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <vector>

namespace zub {

namespace {

struct file_close {
    void operator()(std::FILE* file) const { (void)std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_close>;

failure system_reason(const char* what) { return failure{std::string(what) + ": " + std::strerror(errno)}; }

// A file whose size is known only at its end (a pipe), read in pieces.
result<document_buffer> read_stream(std::FILE* file) {
    std::vector<std::uint8_t> bytes;
    std::uint8_t piece[65536];
    std::size_t got = 0;
    errno = 0;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0)
        bytes.insert(bytes.end(), piece, piece + got);
    if (std::ferror(file) != 0) return system_reason("cannot read the file");
    document_buffer buffer;
    buffer.size = bytes.size();
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[buffer.size]);
    if (!buffer.bytes) return failure{"cannot read the file: not enough memory"};
    std::copy(bytes.begin(), bytes.end(), buffer.bytes.get());
    return buffer;
}

}  // namespace

result<document_buffer> load_file(const char* path) {
    // A directory opens like a file here, and its size means nothing.
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        return failure{std::string("cannot read the file: ") + std::strerror(EISDIR)};
    }

    errno = 0;
    const file_handle file{std::fopen(path, "rb")};
    if (!file) return system_reason("cannot open the file");

    if (std::fseek(file.get(), 0, SEEK_END) != 0) {
        if (errno == ESPIPE) return read_stream(file.get());  // a pipe: read to its end
        return system_reason("cannot read the file");
    }
    const long end = std::ftell(file.get());
    if (end < 0) return system_reason("cannot read the file");
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return system_reason("cannot read the file");

    document_buffer buffer;
    buffer.size = static_cast<std::size_t>(end);
    buffer.bytes.reset(new (std::nothrow) std::uint8_t[buffer.size]);
    if (!buffer.bytes) {
        return failure{"cannot read the file: not enough memory for its " + std::to_string(buffer.size) +
                       " bytes"};
    }

    errno = 0;
    const std::size_t got = std::fread(buffer.bytes.get(), 1, buffer.size, file.get());
    if (got != buffer.size) {
        if (std::ferror(file.get()) != 0 && errno != 0) return system_reason("cannot read the file");
        return failure{"cannot read the file: it ended after " + std::to_string(got) + " of " +
                       std::to_string(buffer.size) + " bytes"};
    }
    return buffer;
}

}  // namespace zub
