// Arbitrary bytes through the document's parser, and everything the parsed value
// promises checked: every view inside the file, every record where its offset says.
#include <cstddef>
#include <cstdint>

#include "document/document.hpp"
#include "document/image_probe.hpp"

namespace {

bool inside(zub::bytes_view part, const std::uint8_t* data, std::size_t size) {
    return part.empty() || (part.data() >= data && part.data() + part.size() <= data + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const zub::document doc = zub::parse_document(zub::bytes_view(data, size));
    if (!inside(doc.caption, data, size) || !inside(doc.image, data, size)) __builtin_trap();
    if (const zub::display_string title = zub::to_display_string(doc.caption); title.back() != '\0')
        __builtin_trap();
    if (const auto declared = zub::probe_image_size(doc.image)) (void)zub::image_size_problem(*declared);
    for (const zub::text_record& record : doc.records) {
        if (!inside(record.text, data, size) || record.offset + 24 + record.text_length > size)
            __builtin_trap();
        (void)zub::to_display_string(record.text);
    }
    for (const zub::problem& p : doc.problems) (void)zub::describe(p);
    return 0;
}
