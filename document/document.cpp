#include "document/document.hpp"

#include <algorithm>

namespace zub {

namespace {

std::string past_the_end(const char* what, std::uint64_t needed, std::uint64_t offset,
                         std::uint64_t file_size) {
    return std::string("damaged document: ") + what + " runs past the end of the file (needs " +
           std::to_string(needed) + " bytes at offset " + std::to_string(offset) + "; the file has " +
           std::to_string(file_size) + ")";
}

}  // namespace

bool starts_like_document(bytes_view bytes) { return read_u8(bytes, 0) == 'Z'; }

bool has_document_magic(bytes_view bytes) { return read_u8(bytes, 1) == 'U' && read_u8(bytes, 2) == 'B'; }

std::variant<document_sections, damage> read_document(bytes_view bytes) {
    if (!fits(bytes, 0, header_size)) {
        return damage{"damaged document: the file is shorter than the 31-byte header (it has " +
                          std::to_string(bytes.size()) + " bytes)",
                      bytes.size()};
    }
    // The header fits, so none of these reads can fail.
    document_sections doc;
    document_header& h = doc.header;
    h.width = *read_i32le(bytes, header_offset::width);
    h.height = *read_i32le(bytes, header_offset::height);
    h.bits_per_pixel = *read_i32le(bytes, header_offset::bits_per_pixel);
    h.font_size = *read_i32le(bytes, header_offset::font_size);
    h.caption_length = *read_u32le(bytes, header_offset::caption_length);
    h.record_count = *read_u32le(bytes, header_offset::record_count);
    h.image_length = *read_i32le(bytes, header_offset::image_length);

    const auto caption = read_bytes(bytes, header_size, h.caption_length);
    if (!caption) {
        return damage{past_the_end("the caption", h.caption_length, header_size, bytes.size()), header_size};
    }
    const std::uint64_t image_offset = header_size + h.caption_length;
    if (h.image_length < 0) {
        return damage{
            "damaged document: the image length is negative (" + std::to_string(h.image_length) + ")",
            header_offset::image_length};
    }
    const auto image_length = static_cast<std::uint64_t>(h.image_length);
    const auto image = read_bytes(bytes, image_offset, image_length);
    if (!image) {
        return damage{past_the_end("the image", image_length, image_offset, bytes.size()), image_offset};
    }
    doc.caption = *caption;
    doc.image = *image;
    doc.records_offset = image_offset + image_length;
    return doc;
}

std::optional<text_record> read_text_record(bytes_view bytes, std::uint64_t offset) {
    if (!fits(bytes, offset, record_head_size)) return std::nullopt;
    text_record r;
    r.text_length = *read_u32le(bytes, offset + record_offset::text_length);
    const auto text = read_bytes(bytes, offset + record_offset::text, r.text_length);
    if (!text) return std::nullopt;
    r.red = *read_u8(bytes, offset + record_offset::red);
    r.green = *read_u8(bytes, offset + record_offset::green);
    r.blue = *read_u8(bytes, offset + record_offset::blue);
    r.x = *read_i16le(bytes, offset + record_offset::x);
    r.y = *read_i16le(bytes, offset + record_offset::y);
    r.text = *text;
    r.offset = offset;
    r.next_offset = offset + record_head_size + r.text_length;
    return r;
}

record_walk walk_records(const document_sections& sections) {
    return record_walk{sections.records_offset, 0, sections.header.record_count};
}

record_step next_record(bytes_view bytes, record_walk& walk) {
    if (walk.done >= walk.count) return records_end{};
    const auto record = read_text_record(bytes, walk.offset);
    if (!record) {
        const damage problem = record_damage(walk.done, walk.count, walk.offset);
        walk.count = walk.done;
        return problem;
    }
    ++walk.done;
    walk.offset = record->next_offset;
    return *record;
}

damage record_damage(std::uint32_t index, std::uint32_t record_count, std::uint64_t offset) {
    return damage{"damaged document: text record " + std::to_string(std::uint64_t{index} + 1) + " of " +
                      std::to_string(record_count) +
                      " runs past the end of the file; it and the rest are not drawn",
                  offset};
}

display_string to_display_string(bytes_view stored) {
    display_string out{};
    const std::size_t kept = std::min(stored.size(), max_string_length);
    std::copy_n(stored.begin(), kept, out.begin());
    return out;
}

}  // namespace zub
