// Arbitrary bytes through the document readers, walked as the viewer walks a file:
// the magic, the header, the caption, the image's declared size and every record.
#include <cstddef>
#include <cstdint>

#include "document/document.hpp"
#include "document/image_probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const zub::bytes_view bytes(data, size);
    if (!zub::starts_like_document(bytes) || !zub::has_document_magic(bytes)) return 0;
    const auto read = zub::read_document(bytes);
    const auto* sections = std::get_if<zub::document_sections>(&read);
    if (sections == nullptr) return 0;

    const zub::display_string title = zub::to_display_string(sections->caption);
    if (title.back() != '\0') __builtin_trap();
    if (const auto declared = zub::probe_image_size(sections->image))
        (void)zub::image_size_problem(*declared);
    zub::record_walk walk = zub::walk_records(*sections);
    while (true) {
        const zub::record_step step = zub::next_record(bytes, walk);
        const auto* record = std::get_if<zub::text_record>(&step);
        if (record == nullptr) break;
        if (record->next_offset > size) __builtin_trap();
        (void)zub::to_display_string(record->text);
    }
    return 0;
}
