// A document's words (its caption and its texts) and its window's size, read from a file
// a piece at a time, past the image's bytes: for indexers, which run inside another
// program, must read little, and must not map a file that may shrink while it is read.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "document/document.hpp"

namespace zub {

// Fills `into` with the file's bytes at `offset` and says how many it read: fewer where
// the file ends or cannot be read.
using read_at = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> into)>;

struct document_words {
    std::optional<document_header> header;
    std::optional<std::vector<std::uint8_t>> caption;  // the whole caption, or its shown part
    bool caption_whole = false;
    std::vector<std::vector<std::uint8_t>> texts;  // the records' texts, in file order
    bool whole = false;                            // every part was read
};

// What a file of `file_size` bytes holds of these, up to its first damage or the first
// read that fails. The caption and the texts together take at most `words_budget` bytes:
// a caption past it gives only what the window shows of it, and the texts stop where the
// next would pass it, as they do after `max_texts`, past which no text is drawn.
document_words read_document_words(std::uint64_t file_size, const read_at& read, std::uint64_t words_budget);

}  // namespace zub
