// Reading the document file into memory.
#pragma once

#include "document/result.hpp"
#include "files/read_file.hpp"

namespace zub {

// The document file's bytes, unchanged, in one heap block of exactly the file's size.
using document_buffer = file_bytes;

// Reads the whole document at `path` (at most max_document_bytes), or says why it could
// not (the system's reason, or the bound).
result<document_buffer> load_file(const char* path);

}  // namespace zub
