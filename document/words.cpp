#include "document/words.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "document/limits.hpp"

namespace zub {

namespace {

// Reads through a block of the file, so that a walk over many small records is a few
// large reads; a read larger than the block goes straight to the file.
class block_reader {
public:
    block_reader(std::uint64_t file_size, const read_at& read) : size_(file_size), read_(read) {}

    bool get(std::uint64_t offset, std::span<std::uint8_t> into) {
        if (offset > size_ || into.size() > size_ - offset) return false;
        if (into.size() > block_.size()) return read_(offset, into) == into.size();
        if (offset < start_ || offset + into.size() > start_ + held_) {
            start_ = offset;
            const auto wanted =
                static_cast<std::size_t>(std::min<std::uint64_t>(block_.size(), size_ - offset));
            held_ = std::min(read_(offset, std::span(block_).first(wanted)), wanted);
            if (into.size() > held_) return false;
        }
        std::memcpy(into.data(), block_.data() + (offset - start_), into.size());
        return true;
    }

private:
    std::uint64_t size_;
    const read_at& read_;
    std::vector<std::uint8_t> block_ =
        std::vector<std::uint8_t>(std::size_t{64} * 1024);  // off a host's stack
    std::uint64_t start_ = 0;
    std::uint64_t held_ = 0;
};

}  // namespace

document_words read_document_words(std::uint64_t file_size, const read_at& read, std::uint64_t words_budget) {
    document_words words;
    block_reader file(file_size, read);
    std::array<std::uint8_t, header_size> head{};
    if (!file.get(0, head) || head[0] != 'Z' || head[1] != 'U' || head[2] != 'B') return words;
    const document_header h = read_document_header(head);
    words.header = h;

    // 64-bit sums throughout: every length is checked against what the file has left.
    std::uint64_t offset = header_size;
    if (h.caption_length > file_size - offset) return words;
    const std::uint64_t caption_kept = h.caption_length <= words_budget
                                           ? h.caption_length
                                           : std::min<std::uint64_t>(h.caption_length, max_string_length);
    std::vector<std::uint8_t> caption(static_cast<std::size_t>(caption_kept));
    if (!file.get(offset, caption)) return words;
    std::uint64_t budget = words_budget - std::min(words_budget, caption_kept);
    words.caption = std::move(caption);
    words.caption_whole = caption_kept == h.caption_length;
    offset += h.caption_length;
    if (h.image_length < 0 || static_cast<std::uint64_t>(h.image_length) > file_size - offset) return words;
    offset += static_cast<std::uint64_t>(h.image_length);

    std::array<std::uint8_t, record_head_size> record{};
    for (std::uint32_t index = 0; index < h.record_count; ++index) {
        if (index == max_texts) return words;
        if (!file.get(offset, record)) return words;
        const std::uint32_t length = read_record_head(record).text_length;
        offset += record_head_size;
        if (length > file_size - offset || length > budget) return words;
        std::vector<std::uint8_t> text(length);
        if (!file.get(offset, text)) return words;
        words.texts.push_back(std::move(text));
        budget -= length;
        offset += length;
    }
    words.whole = words.caption_whole;
    return words;
}

}  // namespace zub
