// The document readers: layout, slot quirks and damaged files.
#include <gtest/gtest.h>

#include "document/document.hpp"
#include "tests/doc_writer.hpp"

namespace zub {
namespace {

using test::bytes;
using test::document_parts;
using test::record_parts;

document_parts with_records(std::vector<record_parts> records) {
    document_parts parts;
    parts.records = std::move(records);
    return parts;
}

document_sections read_ok(const bytes& file) {
    auto read = read_document(file);
    EXPECT_TRUE(std::holds_alternative<document_sections>(read)) << std::get<damage>(read).message;
    return std::get<document_sections>(read);
}

damage read_damaged(const bytes& file) {
    auto read = read_document(file);
    EXPECT_TRUE(std::holds_alternative<damage>(read));
    return std::holds_alternative<damage>(read) ? std::get<damage>(read) : damage{};
}

document_parts worked_layout() {
    document_parts parts;
    parts.width = 640;
    parts.height = 480;
    parts.bits_per_pixel = 24;
    parts.font_size = 18;
    parts.caption = test::to_bytes("Hello");
    parts.image = bytes(100, 0xAB);
    parts.records = {test::text_at(1, 2, 10, 20, 30, "abc"), test::text_at(-3, 4, 40, 50, 60, "defg")};
    return parts;
}

TEST(ByteReader, ReadsLittleEndianAtAnyOffset) {
    const bytes data{0x00, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(read_u32le(data, 1), 0x12345678U);
    EXPECT_EQ(read_i32le(data, 5), -1);
    EXPECT_EQ(read_u32le(data, 2), 0xFF123456U);
    EXPECT_EQ(read_i16le(data, 1), 0x5678);
    EXPECT_EQ(read_i16le(data, 4), static_cast<std::int16_t>(0xFF12));
}

TEST(ByteReader, RefusesEveryReadThatDoesNotFitWhole) {
    const bytes data{1, 2, 3, 4, 5};
    EXPECT_EQ(read_u32le(data, 1), 0x05040302U);
    EXPECT_FALSE(read_u32le(data, 2));
    EXPECT_FALSE(read_i16le(data, 4));
    EXPECT_FALSE(read_u8(data, 5));
    EXPECT_FALSE(read_bytes(data, 6, 0));
    EXPECT_TRUE(read_bytes(data, 5, 0));
    // Offsets and lengths near 2^64 must not wrap around into the buffer.
    EXPECT_FALSE(read_bytes(data, 1, UINT64_MAX));
    EXPECT_FALSE(read_bytes(data, UINT64_MAX, 2));
    EXPECT_FALSE(read_u32le(data, UINT64_MAX - 1));
    EXPECT_FALSE(read_u8(bytes{}, 0));
}

TEST(DocumentLayout, WorkedExamplePlacesEverySection) {
    const bytes file = test::write_document(worked_layout());
    ASSERT_EQ(file.size(), 191U);
    const document_sections doc = read_ok(file);
    EXPECT_EQ(doc.header.width, 640);
    EXPECT_EQ(doc.header.height, 480);
    EXPECT_EQ(doc.header.bits_per_pixel, 24);
    EXPECT_EQ(doc.header.font_size, 18);
    EXPECT_EQ(doc.header.caption_length, 5U);
    EXPECT_EQ(doc.header.record_count, 2U);
    EXPECT_EQ(doc.header.image_length, 100);
    EXPECT_EQ(doc.caption.data(), file.data() + 31);
    EXPECT_EQ(doc.caption.size(), 5U);
    EXPECT_EQ(doc.image.data(), file.data() + 36);
    EXPECT_EQ(doc.image.size(), 100U);
    EXPECT_EQ(doc.records_offset, 136U);

    const auto first = read_text_record(file, doc.records_offset);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->next_offset, 163U);
    EXPECT_EQ(first->text.data(), file.data() + 160);
    EXPECT_EQ((std::string{first->text.begin(), first->text.end()}), "abc");
    EXPECT_EQ(first->x, 1);
    EXPECT_EQ(first->y, 2);
    EXPECT_EQ(first->red, 10);
    EXPECT_EQ(first->green, 20);
    EXPECT_EQ(first->blue, 30);

    const auto second = read_text_record(file, first->next_offset);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->text.data(), file.data() + 187);
    EXPECT_EQ(second->x, -3);
    EXPECT_EQ(second->next_offset, 191U);
    EXPECT_FALSE(read_text_record(file, second->next_offset));
}

TEST(DocumentLayout, HeaderFieldsAreSignedOrUnsignedAsStored) {
    document_parts parts;
    parts.width = -5;
    parts.height = 0;
    parts.bits_per_pixel = 0;
    parts.font_size = -2147483647 - 1;
    const document_sections doc = read_ok(test::write_document(parts));
    EXPECT_EQ(doc.header.width, -5);
    EXPECT_EQ(doc.header.font_size, INT32_MIN);
}

TEST(TextRecordSlots, ColourTakesTheFirstByteOnly) {
    record_parts rec;
    rec.red = 511;
    rec.green = 256;
    rec.blue = 0xFFFFFF07;
    const bytes file = test::write_document(with_records({rec}));
    const auto record = read_text_record(file, read_ok(file).records_offset);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->red, 255);
    EXPECT_EQ(record->green, 0);
    EXPECT_EQ(record->blue, 7);
}

TEST(TextRecordSlots, PositionTakesTheLowSixteenBitsAsSigned) {
    record_parts rec;
    rec.x = 0x3412FFFF;  // FF FF 12 34 in the file
    rec.y = 0xFFFF0005;  // 05 00 FF FF
    const bytes file = test::write_document(with_records({rec}));
    const auto record = read_text_record(file, read_ok(file).records_offset);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->x, -1);
    EXPECT_EQ(record->y, 5);
}

TEST(TextRecordSlots, LengthAboveTheLimitStillStepsTheWholeText) {
    record_parts rec;
    rec.text = bytes(300, 'a');
    const bytes file = test::write_document(with_records({rec, test::text_at(0, 0, 0, 0, 0, "next")}));
    const document_sections doc = read_ok(file);
    const auto first = read_text_record(file, doc.records_offset);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->text.size(), 300U);
    const auto second = read_text_record(file, first->next_offset);
    ASSERT_TRUE(second);
    EXPECT_EQ((std::string{second->text.begin(), second->text.end()}), "next");
}

TEST(DisplayStrings, AreCutAt255BytesAndAlwaysTerminated) {
    const bytes long_text(300, 'x');
    const display_string cut = to_display_string(long_text);
    EXPECT_EQ(std::string(cut.data()), std::string(255, 'x'));
    EXPECT_EQ(cut[255], '\0');

    const bytes with_zero{'a', 'b', 0, 'c'};
    EXPECT_EQ(std::string(to_display_string(with_zero).data()), "ab");
    EXPECT_EQ(std::string(to_display_string(bytes{}).data()), "");
    EXPECT_EQ(std::string(to_display_string(bytes(255, 'y')).data()), std::string(255, 'y'));
}

TEST(Magic, IsCheckedWithoutReadingPastTheEnd) {
    EXPECT_FALSE(starts_like_document(bytes{}));
    EXPECT_TRUE(starts_like_document(bytes{'Z'}));
    EXPECT_FALSE(starts_like_document(bytes{'A', 'U', 'B'}));
    EXPECT_FALSE(has_document_magic(bytes{'Z'}));
    EXPECT_FALSE(has_document_magic(bytes{'Z', 'U'}));
    EXPECT_FALSE(has_document_magic(bytes{'Z', 'A', 'B'}));
    EXPECT_TRUE(has_document_magic(bytes{'Z', 'U', 'B'}));
}

TEST(DamagedDocuments, ShortHeaderIsReported) {
    const damage d = read_damaged(bytes{'Z', 'U', 'B', 1, 2});
    EXPECT_EQ(d.message, "damaged document: the file is shorter than the 31-byte header (it has 5 bytes)");
}

TEST(DamagedDocuments, CaptionPastTheEndIsReportedWithItsOffset) {
    document_parts parts;
    parts.caption = test::to_bytes("abc");
    parts.caption_length = 0xFFFFFFFF;
    const damage d = read_damaged(test::write_document(parts));
    EXPECT_EQ(d.offset, 31U);
    EXPECT_EQ(d.message,
              "damaged document: the caption runs past the end of the file (needs 4294967295 bytes "
              "at offset 31; the file has 34)");
}

TEST(DamagedDocuments, ImagePastTheEndIsReportedWithItsOffset) {
    document_parts parts;
    parts.caption = test::to_bytes("abcd");
    parts.image = bytes(10, 1);
    parts.image_length = 0x7FFFFFFF;
    const damage d = read_damaged(test::write_document(parts));
    EXPECT_EQ(d.offset, 35U);
    EXPECT_EQ(d.message,
              "damaged document: the image runs past the end of the file (needs 2147483647 bytes "
              "at offset 35; the file has 45)");
}

TEST(DamagedDocuments, NegativeImageLengthIsReported) {
    document_parts parts;
    parts.image = bytes(10, 1);
    parts.image_length = 0xFFFFFFF6;  // -10
    const damage d = read_damaged(test::write_document(parts));
    EXPECT_EQ(d.offset, 27U);
    EXPECT_EQ(d.message, "damaged document: the image length is negative (-10)");
}

TEST(DamagedDocuments, CaptionAndImageLengthsDoNotOverflowWhenAdded) {
    document_parts parts;
    parts.caption_length = 0xFFFFFFFF;
    parts.image_length = 0x7FFFFFFF;
    read_damaged(test::write_document(parts));
}

TEST(RecordWalk, VisitsExactlyTheCountedRecordsAndIgnoresTrailingBytes) {
    document_parts parts = worked_layout();
    parts.record_count = 1;
    parts.trailing = bytes(100, 0xEE);
    const bytes file = test::write_document(parts);
    record_walk walk = walk_records(read_ok(file));
    const record_step first = next_record(file, walk);
    ASSERT_TRUE(std::holds_alternative<text_record>(first));
    EXPECT_EQ(std::get<text_record>(first).offset, 136U);
    EXPECT_TRUE(std::holds_alternative<records_end>(next_record(file, walk)));
}

TEST(RecordWalk, HugeCountStopsAtTheFirstRecordThatIsNotThere) {
    document_parts parts = worked_layout();
    parts.record_count = 0xFFFFFFFF;
    const bytes file = test::write_document(parts);
    record_walk walk = walk_records(read_ok(file));
    EXPECT_TRUE(std::holds_alternative<text_record>(next_record(file, walk)));
    EXPECT_TRUE(std::holds_alternative<text_record>(next_record(file, walk)));
    const record_step third = next_record(file, walk);
    ASSERT_TRUE(std::holds_alternative<damage>(third));
    EXPECT_EQ(std::get<damage>(third).offset, 191U);
    EXPECT_EQ(
        std::get<damage>(third).message,
        "damaged document: text record 3 of 4294967295 runs past the end of the file; it and the rest are "
        "not drawn");
    EXPECT_TRUE(std::holds_alternative<records_end>(next_record(file, walk)));
}

TEST(DamagedDocuments, RecordWithHeadOrTextPastTheEndIsNotRead) {
    record_parts rec = test::text_at(0, 0, 0, 0, 0, "abcd");
    rec.text_length = 0xFFFFFFFF;
    const bytes file = test::write_document(with_records({rec}));
    const document_sections doc = read_ok(file);
    EXPECT_FALSE(read_text_record(file, doc.records_offset));
    EXPECT_FALSE(read_text_record(file, UINT64_MAX - 10));
    EXPECT_EQ(record_damage(2, 5, 100).message,
              "damaged document: text record 3 of 5 runs past the end of the file; it and the rest "
              "are not drawn");
    EXPECT_EQ(record_damage(4294967294U, 4294967295U, 0).message,
              "damaged document: text record 4294967295 of 4294967295 runs past the end of the file; "
              "it and the rest are not drawn");
}

// Every prefix of a valid document is either read whole (the cut falls in the records)
// or reported as damaged; a record that is cut short is never read. Run under the
// address sanitizer, each prefix lives in a block of exactly its own size, so a read
// one byte too far is caught.
TEST(DamagedDocuments, EveryPrefixIsReadOrReportedNeverOverrun) {
    const bytes whole = test::write_document(worked_layout());
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        const bytes prefix(whole.begin(), whole.begin() + static_cast<long>(size));
        const auto read = read_document(prefix);
        if (size < 136) {
            EXPECT_TRUE(std::holds_alternative<damage>(read)) << "prefix of " << size;
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<document_sections>(read)) << "prefix of " << size;
        record_walk walk = walk_records(std::get<document_sections>(read));
        std::uint32_t complete = 0;
        bool damaged = false;
        while (true) {
            const record_step step = next_record(prefix, walk);
            if (std::holds_alternative<records_end>(step)) break;
            if (std::holds_alternative<damage>(step)) {
                damaged = true;
                EXPECT_TRUE(std::holds_alternative<records_end>(next_record(prefix, walk)))
                    << "the walk goes on";
                break;
            }
            ++complete;
        }
        EXPECT_EQ(damaged, size < 191) << "prefix of " << size;
        const std::uint32_t expected = size >= 191 ? 2 : size >= 163 ? 1 : 0;
        EXPECT_EQ(complete, expected) << "prefix of " << size;
    }
}

}  // namespace
}  // namespace zub
