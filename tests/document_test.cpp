// The document parser: layout, slot quirks, damaged files and what is not as stored.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>

#include "document/document.hpp"
#include "document/strings.hpp"
#include "document/words.hpp"
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

// The problems as code, offset and sentence, for comparing whole.
struct found {
    problem_code code;
    std::uint64_t offset;
    std::string sentence;
    bool operator==(const found&) const = default;
};
std::ostream& operator<<(std::ostream& out, const found& f) {
    return out << static_cast<int>(f.code) << " at " << f.offset << ": " << f.sentence;
}
std::vector<found> problems_of(const document& doc) {
    std::vector<found> out;
    for (const problem& p : doc.problems) out.push_back({p.code, p.offset, describe(p)});
    return out;
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
    const document doc = parse_document(file);
    EXPECT_TRUE(doc.is_document);
    EXPECT_TRUE(doc.problems.empty());
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

    ASSERT_EQ(doc.records.size(), 2U);
    const text_record& first = doc.records[0];
    EXPECT_EQ(first.offset, 136U);
    EXPECT_EQ(first.text.data(), file.data() + 160);
    EXPECT_EQ((std::string{first.text.begin(), first.text.end()}), "abc");
    EXPECT_EQ(first.x, 1);
    EXPECT_EQ(first.y, 2);
    EXPECT_EQ(first.red, 10);
    EXPECT_EQ(first.green, 20);
    EXPECT_EQ(first.blue, 30);
    const text_record& second = doc.records[1];
    EXPECT_EQ(second.offset, 163U);
    EXPECT_EQ(second.text.data(), file.data() + 187);
    EXPECT_EQ(second.x, -3);
}

TEST(DocumentLayout, HeaderFieldsAreSignedOrUnsignedAsStored) {
    document_parts parts;
    parts.width = -5;
    parts.height = 0;
    parts.bits_per_pixel = 0;
    parts.font_size = -2147483647 - 1;
    const document doc = parse_document(test::write_document(parts));
    EXPECT_EQ(doc.header.width, -5);
    EXPECT_EQ(doc.header.font_size, INT32_MIN);
}

TEST(TextRecordSlots, ColourAndPositionTakeTheirLowBytesOnly) {
    record_parts rec;
    rec.red = 511;
    rec.green = 256;
    rec.blue = 0xFFFFFF07;
    rec.x = 0x3412FFFF;  // FF FF 12 34 in the file
    rec.y = 0xFFFF0005;  // 05 00 FF FF
    const document doc = parse_document(test::write_document(with_records({rec})));
    ASSERT_EQ(doc.records.size(), 1U);
    EXPECT_EQ(doc.records[0].red, 255);
    EXPECT_EQ(doc.records[0].green, 0);
    EXPECT_EQ(doc.records[0].blue, 7);
    EXPECT_EQ(doc.records[0].x, -1);
    EXPECT_EQ(doc.records[0].y, 5);
}

TEST(TextRecordSlots, LengthAboveTheLimitStillStepsTheWholeText) {
    record_parts rec;
    rec.text = bytes(300, 'a');
    const bytes file = test::write_document(with_records({rec, test::text_at(0, 0, 0, 0, 0, "next")}));
    const document doc = parse_document(file);
    ASSERT_EQ(doc.records.size(), 2U);
    EXPECT_EQ(doc.records[0].text.size(), 300U);
    EXPECT_EQ((std::string{doc.records[1].text.begin(), doc.records[1].text.end()}), "next");
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

// The title is the shown caption as UTF-8: valid UTF-8 kept byte for byte, a character
// the 255-byte cut splits dropped, anything else read as Latin-1.
TEST(DisplayStrings, TitleIsTheShownCaptionAsUtf8) {
    const std::string coffee = "\xe2\x98\x95";
    std::string split(254, 'a');
    split += coffee;  // the cut at 255 falls inside the cup
    for (const auto& [caption, title] : std::vector<std::pair<std::string, std::string>>{
             {"Ros\xc3\xa9 \xe2\x80\x93 na\xc3\xafve " + coffee,
              "Ros\xc3\xa9 \xe2\x80\x93 na\xc3\xafve " + coffee},
             {"caf\xe9", "caf\xc3\xa9"},
             {std::string("ab\0\xff", 4), "ab"},
             {split, std::string(254, 'a')},
             {std::string(254, 'a') + "\xe9z", std::string(254, 'a') + "\xc3\xa9"}}) {
        EXPECT_EQ(title_text(test::to_bytes(caption)), title) << caption;
    }
}

// Control characters, C1 among them, and bytes that are not UTF-8 are escaped; other
// text is kept.
TEST(DisplayStrings, TerminalSafeTextEscapesControlsOnly) {
    for (const auto& [text, safe] :
         std::vector<std::pair<std::string, std::string>>{{"Ros\xc3\xa9.zub", "Ros\xc3\xa9.zub"},
                                                          {"a\x1b[31m\nb\x7f", "a\\x1b[31m\\x0ab\\x7f"},
                                                          {"csi\xc2\x9b and \x9b", "csi\\xc2\\x9b and \\x9b"},
                                                          {"latin\xe9", "latin\\xe9"}}) {
        EXPECT_EQ(terminal_safe(text), safe) << text;
    }
}

TEST(Magic, IsCheckedWithoutReadingPastTheEnd) {
    for (const bytes& not_one :
         {bytes{}, bytes{'Z'}, bytes{'Z', 'U'}, bytes{'Z', 'A', 'B'}, bytes{'A', 'U', 'B'}}) {
        const document doc = parse_document(not_one);
        EXPECT_FALSE(doc.is_document);
        EXPECT_TRUE(doc.problems.empty());
    }
    EXPECT_TRUE(parse_document(bytes{'Z', 'U', 'B'}).is_document);
}

// Damage before the records: the document is not shown, and its one problem says why.
TEST(DamagedDocuments, EachIsReportedWithItsOffsetAndSums64Bits) {
    const auto damaged = [](const document_parts& parts) { return test::write_document(parts); };
    document_parts caption;
    caption.caption = test::to_bytes("abc");
    caption.caption_length = 0xFFFFFFFF;
    document_parts image;
    image.caption = test::to_bytes("abcd");
    image.image = bytes(10, 1);
    image.image_length = 0x7FFFFFFF;
    document_parts negative;
    negative.image = bytes(10, 1);
    negative.image_length = 0xFFFFFFF6;  // -10
    document_parts both;                 // caption and image lengths whose sum overflows 32 bits
    both.caption_length = 0xFFFFFFFF;
    both.image_length = 0x7FFFFFFF;
    for (const auto& [file, expected] : std::vector<std::pair<bytes, found>>{
             {bytes{'Z', 'U', 'B', 1, 2},
              {problem_code::short_header, 5,
               "damaged document: the file is shorter than the 31-byte header (it has 5 bytes)"}},
             {damaged(caption),
              {problem_code::caption_past_end, 31,
               "damaged document: the caption runs past the end of the file (needs 4294967295 bytes at "
               "offset 31; "
               "the file has 34)"}},
             {damaged(image),
              {problem_code::image_past_end, 35,
               "damaged document: the image runs past the end of the file (needs 2147483647 bytes at offset "
               "35; "
               "the file has 45)"}},
             {damaged(negative),
              {problem_code::negative_image_length, 27,
               "damaged document: the image length is negative (-10)"}},
             {damaged(both),
              {problem_code::caption_past_end, 31,
               "damaged document: the caption runs past the end of the file (needs 4294967295 bytes at "
               "offset 31; "
               "the file has 31)"}}}) {
        const document doc = parse_document(file);
        EXPECT_EQ(problems_of(doc), std::vector<found>{expected});
        ASSERT_NE(doc.error(), nullptr);
        EXPECT_TRUE(doc.records.empty());
    }
}

TEST(RecordWalk, VisitsExactlyTheCountedRecordsAndNotesTrailingBytes) {
    document_parts parts = worked_layout();
    parts.record_count = 1;
    parts.trailing = bytes(100, 0xEE);
    const document doc = parse_document(test::write_document(parts));
    ASSERT_EQ(doc.records.size(), 1U);
    EXPECT_EQ(doc.records[0].offset, 136U);
    // The second record and the trailing bytes are never read.
    EXPECT_EQ(problems_of(doc), (std::vector<found>{{problem_code::bytes_after_last_record, 163,
                                                     "128 bytes after the last record are never read"}}));
    EXPECT_EQ(doc.error(), nullptr);
}

TEST(RecordWalk, HugeCountStopsAtTheFirstRecordThatIsNotThere) {
    document_parts parts = worked_layout();
    parts.record_count = 0xFFFFFFFF;
    const document doc = parse_document(test::write_document(parts));
    EXPECT_EQ(doc.records.size(), 2U);
    EXPECT_EQ(problems_of(doc),
              (std::vector<found>{{problem_code::record_past_end, 191,
                                   "damaged document: text record 3 of 4294967295 runs past the "
                                   "end of the file; it and the rest are not drawn"}}));
    EXPECT_EQ(doc.error(), nullptr);  // shown, without the records from there on
    EXPECT_EQ(severity_of(problem_code::record_past_end), severity::warning);
}

TEST(DamagedDocuments, RecordWithHeadOrTextPastTheEndIsNotRead) {
    record_parts rec = test::text_at(0, 0, 0, 0, 0, "abcd");
    rec.text_length = 0xFFFFFFFF;
    const document doc = parse_document(test::write_document(with_records({rec})));
    EXPECT_TRUE(doc.records.empty());
    EXPECT_EQ(problems_of(doc),
              (std::vector<found>{{problem_code::record_past_end, 31,
                                   "damaged document: text record 1 of 1 runs past the end of "
                                   "the file; it and the rest are not drawn"}}));
}

// What the viewer shows differently from what is stored: notes, each at its offset.
TEST(StoredNotShown, StringsSlotsAndTrailingBytesAreNoted) {
    document_parts parts;
    parts.caption = test::to_bytes(std::string("ab\0cd", 5));
    record_parts long_text = test::text_at(0, 0, 0, 0, 0, std::string(256, 'x'));
    record_parts slots = test::text_at(0, 0, 0, 0, 0, "");
    slots.text = bytes{'s', 0, 't'};
    slots.green = 0x0100;
    slots.y = 0x00010000;
    parts.records = {long_text, slots};
    parts.trailing = bytes(7, 1);
    const document doc = parse_document(test::write_document(parts));
    const std::uint64_t first = 31 + 5;
    const std::uint64_t second = first + 24 + 256;
    EXPECT_EQ(
        problems_of(doc),
        (std::vector<found>{
            {problem_code::zero_in_caption, 33, "the caption has a zero byte; what follows it is not shown"},
            {problem_code::text_too_long, first + 20,
             "the text of text record 1 is 256 bytes long; only the first 255 are shown"},
            {problem_code::zero_in_text, second + 25,
             "the text of text record 2 has a zero byte; what follows it is not shown"},
            {problem_code::unused_colour_bytes, second + 5,
             "text record 2 has non-zero bytes in the unused part of a colour slot"},
            {problem_code::unused_position_bytes, second + 18,
             "text record 2 has non-zero bytes in the unused part of a position slot"},
            {problem_code::bytes_after_last_record, second + 27,
             "7 bytes after the last record are never read"}}));
    for (const problem& p : doc.problems) EXPECT_EQ(severity_of(p.code), severity::note) << describe(p);
}

// The window a document asks for: a side above 16384 pixels, or a row above the 65535
// bytes SDL keeps (the display counts 4 bytes a pixel at every depth), is refused before
// any window opens.
TEST(WindowBounds, SidesAndRowBytesAreRefusedAtTheirEdges) {
    const std::string row_refusal =
        "the window's rows would be 65536 bytes on the display, which keeps 4 a pixel at any depth (SDL "
        "keeps at most 65535)";
    struct window_case {
        std::int32_t width, height, depth;
        std::optional<std::string> refusal;
    };
    for (const window_case& c : std::vector<window_case>{
             {16383, 4, 32, std::nullopt},
             {16383, 16384, 8, std::nullopt},
             {16384, 4, 32, row_refusal},
             {16384, 4, 24, row_refusal},
             {16384, 16384, 8, row_refusal},
             {16384, 4, 0, row_refusal},
             {16385, 1, 8, "the window size 16385x1 is too large (at most 16384 pixels a side)"},
             {10, 65536, 8, "the window size 10x65536 is too large (at most 16384 pixels a side)"}}) {
        document_parts parts;
        parts.width = c.width;
        parts.height = c.height;
        parts.bits_per_pixel = c.depth;
        const document doc = parse_document(test::write_document(parts));
        const problem* error = doc.error();
        if (!c.refusal) {
            EXPECT_EQ(error, nullptr) << c.width << "x" << c.height << " at " << c.depth;
            continue;
        }
        ASSERT_NE(error, nullptr) << c.width << "x" << c.height << " at " << c.depth;
        EXPECT_EQ(describe(*error), *c.refusal);
        EXPECT_EQ(error->offset, header_offset::width);
    }
}

// What the viewer shows differently from what the header stores, or leaves out: a side
// of 0, a depth no display offers, a point size out of range (only with texts to draw).
TEST(HeaderNotAsStored, EachIsFoundWithItsSeverityAndOffset) {
    struct header_case {
        std::int32_t width, height, depth, font_size;
        bool with_text;
        std::vector<found> expected;
        severity level;
    };
    const auto one = [](problem_code code, std::uint64_t offset, const std::string& sentence) {
        return std::vector<found>{{code, offset, sentence}};
    };
    const std::string refused = " is refused (SDL 1.2 takes 0, the display's, or 8 to 32)";
    // clang-format off
    const std::vector<header_case> cases{
        {0, 600, 32, 12, false, one(problem_code::window_side_zero, 3, "the window size 0x600 has a side of 0: the desktop's size is used there"), severity::note},
        {800, 0, 32, 12, false, one(problem_code::window_side_zero, 7, "the window size 800x0 has a side of 0: the desktop's size is used there"), severity::note},
        {-1, 10, 32, 12, false, one(problem_code::window_side_negative, 3, "the window size -1x10 has a negative side"), severity::error},
        {10, -5, 32, 12, false, one(problem_code::window_side_negative, 7, "the window size 10x-5 has a negative side"), severity::error},
        {10, 10, 12, 12, false, one(problem_code::depth_chosen_by_display, 11, "depth 12 is not 0, 8, 16, 24 or 32: the display picks one (SDL 1.2 over SDL2 refuses it)"), severity::note},
        {10, 10, -8, 12, false, one(problem_code::depth_refused, 11, "depth -8" + refused), severity::error},
        {10, 10, 7, 12, false, one(problem_code::depth_refused, 11, "depth 7" + refused), severity::error},
        {10, 10, 33, 12, false, one(problem_code::depth_refused, 11, "depth 33" + refused), severity::error},
        {10, 10, 32, 0, true, one(problem_code::font_size_out_of_range, 15, "the texts are not drawn: the point size 0 is below 1"), severity::warning},
        {10, 10, 32, 16385, true, one(problem_code::font_size_out_of_range, 15, "the texts are not drawn: the point size 16385 is above 16384"), severity::warning},
        {10, 10, 32, 0, false, {}, severity::note},
        {10, 10, 32, 16384, true, {}, severity::note}};
    // clang-format on
    for (const header_case& c : cases) {
        document_parts parts =
            c.with_text ? with_records({test::text_at(0, 0, 0, 0, 0, "a")}) : document_parts{};
        parts.width = c.width;
        parts.height = c.height;
        parts.bits_per_pixel = c.depth;
        parts.font_size = c.font_size;
        const document doc = parse_document(test::write_document(parts));
        EXPECT_EQ(problems_of(doc), c.expected) << c.width << "x" << c.height;
        for (const problem& p : doc.problems) EXPECT_EQ(severity_of(p.code), c.level) << describe(p);
    }
}

// Every prefix of a valid document is either read whole (the cut falls in the records,
// which stop at the first one cut short) or refused. Each prefix lives in a block of
// exactly its own size, so that a read one byte too far is caught by the sanitizer.
TEST(DamagedDocuments, EveryPrefixIsReadOrReportedNeverOverrun) {
    const bytes whole = test::write_document(worked_layout());
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        const std::unique_ptr<std::uint8_t[]> prefix(new std::uint8_t[size]);
        std::copy(whole.begin(), whole.begin() + static_cast<long>(size), prefix.get());
        const document doc = parse_document(bytes_view(prefix.get(), size));
        if (size < 3) {
            EXPECT_FALSE(doc.is_document);
            continue;
        }
        EXPECT_EQ(doc.error() != nullptr, size < 136) << "prefix of " << size;
        const std::size_t expected = size >= 191 ? 2 : size >= 163 ? 1 : 0;
        EXPECT_EQ(doc.records.size(), expected) << "prefix of " << size;
        const bool cut_in_records = size >= 136 && size < 191;
        EXPECT_EQ(!doc.problems.empty() && doc.problems.back().code == problem_code::record_past_end,
                  cut_in_records)
            << "prefix of " << size;
    }
}

// The words of a file read a piece at a time: `held` bytes of a file `size` long, as when
// it shrinks while it is read.
document_words words_of(const bytes& file, std::size_t held, std::uint64_t size, std::uint64_t budget) {
    return read_document_words(
        size,
        [&](std::uint64_t offset, std::span<std::uint8_t> into) {
            const std::size_t got = offset >= held ? 0 : std::min<std::size_t>(into.size(), held - offset);
            std::copy_n(file.begin() + static_cast<long>(offset), got, into.begin());
            return got;
        },
        budget);
}

// Read a piece at a time, past the image, a file gives what parsing the whole of it reads
// of its caption and texts, at every size and when it shrinks to it while it is read.
TEST(DocumentWords, EveryPrefixGivesWhatParsingReadsOfIt) {
    const bytes whole = test::write_document(worked_layout());
    for (std::size_t size = 0; size <= whole.size(); ++size) {
        const document doc = parse_document(bytes_view(whole.data(), size));
        std::vector<bytes> texts;
        for (const text_record& r : doc.records) texts.emplace_back(r.text.begin(), r.text.end());
        for (const std::uint64_t stated : {std::uint64_t{size}, std::uint64_t{whole.size()}}) {
            const document_words words = words_of(whole, size, stated, 1024);
            EXPECT_EQ(words.header.has_value(), doc.header_read) << size << " of " << stated;
            EXPECT_EQ(words.caption.has_value(), doc.image_offset != 0) << size << " of " << stated;
            if (words.caption) {
                EXPECT_EQ(*words.caption, bytes(doc.caption.begin(), doc.caption.end()));
            }
            EXPECT_EQ(words.texts, texts) << size << " of " << stated;
            EXPECT_EQ(words.whole, size == whole.size()) << size << " of " << stated;
        }
    }
}

// The words held to a budget: a caption past it gives what the window shows of it, and
// the texts stop before the first that would pass it.
TEST(DocumentWords, ABudgetKeepsTheShownCaptionAndTheTextsBeforeIt) {
    document_parts parts = worked_layout();
    parts.caption = bytes(300, 'c');
    const bytes file = test::write_document(parts);
    const document_words words = words_of(file, file.size(), file.size(), 260);
    ASSERT_TRUE(words.caption.has_value());
    EXPECT_EQ(*words.caption, bytes(255, 'c'));
    EXPECT_FALSE(words.caption_whole);
    EXPECT_EQ(words.texts, std::vector<bytes>{test::to_bytes("abc")});
    EXPECT_FALSE(words.whole);
}

}  // namespace
}  // namespace zub
