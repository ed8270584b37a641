// Reading the document file into memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "document/result.hpp"

namespace zub {

// The file's bytes, unchanged, in one heap block of exactly the file's size.
struct document_buffer {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.get(), size}; }
};

// Reads the whole file at `path`, or says why it could not (the system's reason).
result<document_buffer> load_file(const char* path);

}  // namespace zub
