// Writes the fuzzers' seed documents into a folder: small valid documents with images
// in several formats and records of every kind, and damaged ones.
//
//   make_seeds FOLDER
#include <cstdio>
#include <string>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"

using namespace zub::test;

int main(int argc, char* argv[]) {
    if (argc != 2) {
        (void)std::fputs("usage: make_seeds FOLDER\n", stderr);
        return 2;
    }
    const std::string folder = argv[1];
    const picture pic = pattern(12, 9, true);
    const std::vector<std::pair<std::string, bytes>> images{
        {"png-rgb", encode_png(pic, png_kind::rgb)},
        {"png-rgba", encode_png(pic, png_kind::rgba)},
        {"png-palette", encode_png(pic, png_kind::palette)},
        {"png-grey", encode_png(pic, png_kind::grey)},
        {"jpeg", encode_jpeg(pic, 50)},
        {"gif", encode_gif(pic, vivid_colours[2])},
        {"bmp", encode_bmp(pattern(5, 4, false))},
        {"ppm", encode_ppm(pattern(5, 4, false))},
    };
    const std::vector<record_parts> records{text_at(1, 2, 255, 0, 0, "Hi"),
                                            text_at(-3, 5, 0, 0, 0, "caf\xE9"), text_at(4, 4, 0, 0, 255, ""),
                                            text_at(2, 1, 0, 255, 0, std::string("a\0b", 3))};
    int depth_index = 0;
    for (const auto& [name, image] : images) {
        document_parts parts;
        parts.width = 16;
        parts.height = 12;
        parts.bits_per_pixel =
            std::vector<int>{32, 24, 16, 8, 0}[static_cast<std::size_t>(depth_index++ % 5)];
        parts.font_size = 9;
        parts.caption = to_bytes("seed " + name);
        parts.image = image;
        parts.records = records;
        write_file(folder + "/" + name + ".zub", write_document(parts));
    }
    document_parts base;
    base.image = images[0].second;
    base.records = records;

    document_parts parts = base;
    parts.caption = bytes(300, 'c');
    parts.records.push_back(text_at(0, 0, 1, 2, 3, std::string(300, 't')));
    write_file(folder + "/long-strings.zub", write_document(parts));

    parts = base;
    parts.record_count = 0xFFFFFFFF;
    write_file(folder + "/huge-count.zub", write_document(parts));

    parts = base;
    parts.records.back().text_length = 1000;
    write_file(folder + "/record-past-end.zub", write_document(parts));

    parts = base;
    parts.image_length = 0x80000000U;
    write_file(folder + "/negative-image.zub", write_document(parts));

    parts = base;
    parts.caption_length = 0xFFFFFFF0U;
    write_file(folder + "/caption-past-end.zub", write_document(parts));

    parts = base;
    parts.image = tiny_png_declaring(60000, 60000);
    parts.font_size = 2147483647;
    write_file(folder + "/absurd-sizes.zub", write_document(parts));

    write_file(folder + "/short-header.zub", to_bytes(std::string("ZUB\x10\0\0\0", 7)));
    return 0;
}
