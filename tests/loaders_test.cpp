// The image loaders in their real hosts: gdk-pixbuf through python3-gi and
// gdk-pixbuf-thumbnailer, Qt through QImageReader. Each picture is compared byte for byte
// with what zub render makes of the same document with the font the loader used.
//
// The loaders are a release build's (a sanitizer's runtime cannot be loaded into a host
// that did not start with it): configure with -DZUB_PACKAGE_BUILD_DIR=<a release build>.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/x_session.hpp"

namespace zub::test {
namespace {

namespace fs = std::filesystem;

// A picture and texts in a window larger than the picture, at depth 16: every part of
// the composition shows.
bytes sample_document(int width, int height) {
    document_parts parts;
    parts.width = width;
    parts.height = height;
    parts.bits_per_pixel = 16;
    parts.font_size = 20;
    parts.image = encode_png(pattern(width * 3 / 4, height * 3 / 4, true), png_kind::rgb);
    parts.records.push_back(text_at(4, 2, 255, 255, 0, "Zub"));
    parts.records.push_back(text_at(-3, height / 2, 0, 0, 0, "loader"));
    return write_document(parts);
}

class Loaders : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const fs::path build = ZUB_PACKAGE_BUILD_DIR;
        if (build.empty() || !fs::exists(build / "libpixbufloader-zub.so")) return;
        root_ = fs::temp_directory_path() / ("zub-loaders-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "share/mime/packages");
        fs::create_directories(root_ / "qt/imageformats");
        fs::create_directories(root_ / "qt/kf5/thumbcreator");
        fs::create_directories(root_ / "home");
        fs::copy_file(fs::path(ZUB_SOURCE_DIR) / "desktop/zub_reader.xml",
                      root_ / "share/mime/packages/zub.xml");
        fs::create_symlink(build / "libqzub.so", root_ / "qt/imageformats/libqzub.so");
        fs::create_symlink(build / "zubthumbnail.so", root_ / "qt/kf5/thumbcreator/zubthumbnail.so");
        zub_ = (build / "zub").string();
        ready_ = run_command("update-mime-database " + quote(root_ / "share/mime") +
                             " >/dev/null 2>&1 && " ZUB_QUERY_LOADERS " " +
                             quote(build / "libpixbufloader-zub.so") + " > " + quote(root_ / "loaders.cache"))
                     .status == 0;
        system_face_ = system_face_of(zub_);
        // The hosts find the loaders through the variables made for the test, and the
        // document type through the test's own database.
        hosts_ = "XDG_DATA_DIRS=" + quote((root_ / "share").string() + ":/usr/share") +
                 " GDK_PIXBUF_MODULE_FILE=" + quote(root_ / "loaders.cache") +
                 " QT_PLUGIN_PATH=" + quote(root_ / "qt") +
                 " QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" + quote(root_) +
                 " HOME=" + quote(root_ / "home") + " ";
    }
    static void TearDownTestSuite() {
        if (!root_.empty()) fs::remove_all(root_);
    }
    void SetUp() override {
        if (root_.empty())
            GTEST_SKIP() << "configure with -DZUB_PACKAGE_BUILD_DIR=<a release build with the loaders>";
        ASSERT_TRUE(ready_);
        dir_ = root_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }

    // The document saved in the test's folder, with `font` beside it as Consola.ttf.
    fs::path save(const std::string& name, const bytes& document, const char* font = "") {
        fs::path path = dir_ / name;
        write_file(path.string(), document);
        if (*font != '\0') fs::copy_file(font, dir_ / "Consola.ttf", fs::copy_options::overwrite_existing);
        return path;
    }

    // zub render's PPM of the document with `arguments`, from a folder with no font.
    std::string rendered(const fs::path& doc, const std::string& arguments) const {
        const fs::path out = dir_ / "rendered.ppm";
        const command_result r = run_command("cd / && " + quote(zub_) + " render " + arguments + " " +
                                             quote(doc) + " " + quote(out) + " 2>&1");
        EXPECT_EQ(r.status, 0) << r.out;
        return read_text(out);
    }

    // A host's picture of the document, or its words when it has none.
    struct hosted {
        command_result run;
        std::string picture;
    };
    hosted pixbuf(const std::string& mode, const fs::path& doc, const std::string& more = "") const {
        const fs::path out = dir_ / "host.ppm";
        fs::remove(out);
        hosted h{run_command(hosts_ + "/usr/bin/python3 " ZUB_PIXBUF_HOST " " + mode + " " + quote(doc) +
                             " " + quote(out) + " " + more + " 2>&1"),
                 {}};
        h.picture = read_text(out);
        return h;
    }
    command_result kde(const fs::path& doc, const fs::path& out, int size) const {
        return run_command(hosts_ + ZUB_KIO_PREVIEW " " + quote(doc) + " " + quote(out) + " " +
                           std::to_string(size) + " 2>/dev/null");
    }
    hosted qt(const fs::path& doc, const std::string& scaled = "") const {
        const fs::path out = dir_ / "qt.ppm";
        fs::remove(out);
        hosted h{run_command(hosts_ + ZUB_QT_READER " " + quote(doc) + " " + quote(out) + " " + scaled +
                             " 2>/dev/null"),
                 {}};
        h.picture = read_text(out);
        return h;
    }

    static fs::path root_;
    static bool ready_;
    static std::string zub_;
    static std::string system_face_;
    static std::string hosts_;
    fs::path dir_;
};
fs::path Loaders::root_;
bool Loaders::ready_ = false;
std::string Loaders::zub_;
std::string Loaders::system_face_;
std::string Loaders::hosts_;

constexpr const char* beside_font = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// A whole file is loaded with the font beside it; bytes fed in pieces, whose path the
// loader never learns, in the system's fixed-width face. Both are zub render's picture.
TEST_F(Loaders, GdkPixbufGivesTheRenderedPicture) {
    const fs::path doc = save("doc.zub", sample_document(80, 60), beside_font);
    const std::string with_beside = rendered(doc, "--format ppm --font " + quote(beside_font));
    const std::string with_system = rendered(doc, "--format ppm --font " + quote(system_face_));
    ASSERT_NE(with_beside, with_system);
    for (const auto& [mode, more, expected] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"file", "", with_beside}, {"pieces", "7", with_system}, {"pieces", "65536", with_system}}) {
        const hosted h = pixbuf(mode, doc, more);
        EXPECT_EQ(h.run.status, 0) << mode << more << ": " << h.run.out;
        EXPECT_TRUE(h.picture == expected) << mode << " " << more;
    }
    EXPECT_EQ(pixbuf("info", doc).run.out, "zub 80 60\n");
}

// GNOME's thumbnailer asks for the size it wants while the bytes come in: the loader has
// zub render make the thumbnail, so it is zub render --size 256's, pixel for pixel.
TEST_F(Loaders, GdkPixbufThumbnailerWritesTheRenderedThumbnail) {
    const fs::path doc = save("doc.zub", sample_document(480, 320));
    const fs::path thumbnail = dir_ / "thumbnail.png";
    const command_result made = run_command(hosts_ + "gdk-pixbuf-thumbnailer -s 256 " + quote(doc) + " " +
                                            quote(thumbnail) + " 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
    const std::string expected = rendered(doc, "--format ppm --size 256 --font " + quote(system_face_));
    const std::string same = command_output(
        "/usr/bin/python3 -c 'import sys; from PIL import Image; a = "
        "Image.open(sys.argv[1]).convert(\"RGB\"); "
        "b = Image.open(sys.argv[2]); print(a.size, a.tobytes() == b.tobytes())' " +
        quote(thumbnail) + " " + quote(dir_ / "rendered.ppm"));
    EXPECT_EQ(same, "(256, 171) True\n") << expected.size();
}

// QImageReader: the size from the header, the picture with the font beside the file, and
// a scaled read that keeps the proportions made as zub render --size makes it.
TEST_F(Loaders, QtReaderGivesTheRenderedPicture) {
    const fs::path doc = save("doc.zub", sample_document(80, 60), beside_font);
    const hosted whole = qt(doc);
    EXPECT_EQ(whole.run.out, "format zub size 80x60\nread 80x60\n");
    EXPECT_TRUE(whole.picture == rendered(doc, "--format ppm --font " + quote(beside_font)));
    const hosted scaled = qt(doc, "40x30");
    EXPECT_EQ(scaled.run.out, "format zub size 80x60\nread 40x30\n");
    EXPECT_TRUE(scaled.picture == rendered(doc, "--format ppm --size 40 --font " + quote(beside_font)));
}

// KIO::PreviewJob, as Dolphin asks it for a preview: the thumbnail zub render --size
// makes, with the font beside the document.
TEST_F(Loaders, KdePreviewGivesTheRenderedThumbnail) {
    const fs::path doc = save("doc.zub", sample_document(480, 320), beside_font);
    const fs::path out = dir_ / "preview.ppm";
    const command_result r = kde(doc, out, 128);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(read_text(out) == rendered(doc, "--format ppm --size 128 --font " + quote(beside_font)));
}

// A damaged document is a load error in the viewer's words; one whose image the decoder
// chokes on (every image that once crashed or hung it), or whose texts would cost minutes
// and gigabytes, is the picture zub render makes without them. The host lives to say so.
TEST_F(Loaders, HostileDocumentsGiveTheViewersPictureOrItsErrorAndTheHostLives) {
    document_parts cut;
    cut.image = encode_png(pattern(8, 8, false), png_kind::rgb);
    cut.image_length = 100000;
    std::vector<fs::path> hostile{save("damaged.zub", write_document(cut)),
                                  save("bomb.zub", text_bomb("190 different", different_characters(190)))};
    for (const auto& entry : fs::directory_iterator(ZUB_REGRESSIONS)) {
        if (entry.path().extension() == ".zub") hostile.push_back(entry.path());
    }
    for (const fs::path& doc : hostile) {
        const fs::path out = dir_ / "rendered.ppm";
        fs::remove(out);
        const command_result r =
            run_command("cd / && " + quote(zub_) + " render --format ppm --font " + quote(system_face_) +
                        " " + quote(doc) + " " + quote(out) + " 2>&1");
        const hosted gdk = pixbuf("pieces", doc, "4096");
        const hosted q = qt(doc);
        const command_result preview = kde(doc, dir_ / "preview.ppm", 256);
        if (r.status == 0) {
            EXPECT_EQ(preview.status, 0) << doc << ": " << preview.out;
            EXPECT_EQ(gdk.run.status, 0) << doc << ": " << gdk.run.out;
            EXPECT_TRUE(gdk.picture == read_text(out)) << doc;
            EXPECT_EQ(q.run.status, 0) << doc << ": " << q.run.out;
            EXPECT_TRUE(q.picture == read_text(out)) << doc;
            continue;
        }
        const std::string why = r.out.substr(r.out.find(": ", 5) + 2);
        EXPECT_EQ(gdk.run.out, "error: " + why) << doc;
        EXPECT_EQ(q.run.status, 1) << doc << ": " << q.run.out;
        EXPECT_EQ(preview.out, "failed\n") << doc;
    }
}

// What a loader holds in its host: no descriptor is left behind a load, the document is
// not read whole into a host that is told its window is too large (a million records
// would take hundreds of megabytes there) or its caption and image pass the bound, and a
// small document takes little memory.
TEST_F(Loaders, HostsHoldLittle) {
    const fs::path small = save("small.zub", sample_document(80, 60));
    document_parts many;
    many.width = 9000;
    many.height = 9000;
    many.image = encode_png(pattern(8, 8, false), png_kind::rgb);
    record_parts loose = text_at(0, 0, 255, 255, 255, "");
    loose.red = 0x1ff;  // a note a record
    loose.x = 0x10000;  // and another
    many.records.assign(1000000, loose);
    const fs::path large = save("many.zub", write_document(many));
    // A file of 1 GiB and a byte (sparse) whose header declares an image that long: fed in
    // pieces, it is refused once the header is in, not after a gigabyte.
    document_parts declared;
    declared.image_length = (1 << 30) - 30;
    const fs::path huge = save("huge.zub", write_document(declared));
    fs::resize_file(huge, (std::uintmax_t{1} << 30) + 1);
    for (const auto& [command, expected] : std::vector<std::pair<std::string, std::string>>{
             {"/usr/bin/python3 " ZUB_PIXBUF_HOST " kept " + quote(small) + " 5", "kept 0\n"},
             {"/usr/bin/python3 " ZUB_PIXBUF_HOST " file " + quote(large) + " /dev/null",
              "error: Failed to load image \u201c" + large.string() +
                  "\u201d: the window 9000x9000 is too large for an image loader (at most 67108864 "
                  "pixels)\n"},
             {"/usr/bin/python3 " ZUB_PIXBUF_HOST " pieces " + quote(huge) + " /dev/null 65536",
              "error: the document declares 1073741825 bytes of header, caption and image, more than the "
              "1073741824 bytes a document may have\n"},
             {ZUB_QT_READER " " + quote(small) + " /dev/null", "format zub size 80x60\nread 80x60\n"}}) {
        const command_result r =
            run_command(hosts_ + "sh -c " + quote("ulimit -v 300000; exec " + command) + " 2>/dev/null");
        EXPECT_EQ(r.out, expected) << command;
    }
}

}  // namespace
}  // namespace zub::test
