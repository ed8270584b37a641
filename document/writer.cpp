#include "document/writer.hpp"

namespace zub {

namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (unsigned shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void put_i32(std::vector<std::uint8_t>& out, std::int32_t value) {
    put_u32(out, static_cast<std::uint32_t>(value));
}

}  // namespace

std::vector<std::uint8_t> write_document(const document_to_write& doc) {
    std::vector<std::uint8_t> out{'Z', 'U', 'B'};
    put_i32(out, doc.width);
    put_i32(out, doc.height);
    put_i32(out, doc.bits_per_pixel);
    put_i32(out, doc.font_size);
    put_u32(out, static_cast<std::uint32_t>(doc.caption.size()));
    put_u32(out, static_cast<std::uint32_t>(doc.texts.size()));
    put_u32(out, static_cast<std::uint32_t>(doc.image.size()));
    out.insert(out.end(), doc.caption.begin(), doc.caption.end());
    out.insert(out.end(), doc.image.begin(), doc.image.end());
    for (const text_to_write& t : doc.texts) {
        put_u32(out, t.red);
        put_u32(out, t.green);
        put_u32(out, t.blue);
        put_u32(out, static_cast<std::uint16_t>(t.x));
        put_u32(out, static_cast<std::uint16_t>(t.y));
        put_u32(out, static_cast<std::uint32_t>(t.text.size()));
        out.insert(out.end(), t.text.begin(), t.text.end());
    }
    return out;
}

}  // namespace zub
