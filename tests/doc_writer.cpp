#include "tests/doc_writer.hpp"

#include <fstream>
#include <stdexcept>

#include "tests/images.hpp"

namespace zub::test {

bytes to_bytes(const std::string& text) { return {text.begin(), text.end()}; }

void put_u32(bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

record_parts text_at(int x, int y, std::uint8_t r, std::uint8_t g, std::uint8_t b, const std::string& text) {
    record_parts rec;
    rec.red = r;
    rec.green = g;
    rec.blue = b;
    rec.x = static_cast<std::uint16_t>(x);
    rec.y = static_cast<std::uint16_t>(y);
    rec.text = to_bytes(text);
    return rec;
}

bytes write_document(const document_parts& parts) {
    bytes out{'Z', 'U', 'B'};
    put_u32(out, static_cast<std::uint32_t>(parts.width));
    put_u32(out, static_cast<std::uint32_t>(parts.height));
    put_u32(out, static_cast<std::uint32_t>(parts.bits_per_pixel));
    put_u32(out, static_cast<std::uint32_t>(parts.font_size));
    put_u32(out, parts.caption_length.value_or(static_cast<std::uint32_t>(parts.caption.size())));
    put_u32(out, parts.record_count.value_or(static_cast<std::uint32_t>(parts.records.size())));
    put_u32(out, parts.image_length.value_or(static_cast<std::uint32_t>(parts.image.size())));
    out.insert(out.end(), parts.caption.begin(), parts.caption.end());
    out.insert(out.end(), parts.image.begin(), parts.image.end());
    for (const record_parts& rec : parts.records) {
        put_u32(out, rec.red);
        put_u32(out, rec.green);
        put_u32(out, rec.blue);
        put_u32(out, rec.x);
        put_u32(out, rec.y);
        put_u32(out, rec.text_length.value_or(static_cast<std::uint32_t>(rec.text.size())));
        out.insert(out.end(), rec.text.begin(), rec.text.end());
    }
    out.insert(out.end(), parts.trailing.begin(), parts.trailing.end());
    return out;
}

void write_file(const std::string& path, const bytes& data) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!file) throw std::runtime_error("cannot write " + path);
}

bytes text_bomb(const std::string& caption, const std::vector<std::string>& texts) {
    document_parts parts;
    parts.width = 16;
    parts.height = 16;
    parts.font_size = 9000;
    parts.caption = to_bytes(caption);
    parts.image = encode_png(pattern(16, 16, false), png_kind::rgb);
    for (const std::string& text : texts) parts.records.push_back(text_at(0, 0, 255, 255, 255, text));
    return write_document(parts);
}

std::vector<std::string> different_characters(std::size_t count) {
    std::vector<std::string> different;
    for (int c = 33; c < 256 && different.size() < count; ++c) {
        if (c < 127 || c >= 160) different.emplace_back(1, static_cast<char>(c));
    }
    return different;
}

}  // namespace zub::test
