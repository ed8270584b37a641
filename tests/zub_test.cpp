// The zub tool: pack, info and render, round trips and refusals.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <thread>
#include <tuple>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/sdl_fixture.hpp"
#include "tests/x_session.hpp"
#include "tools/scale.hpp"
#include "view/compose.hpp"

namespace zub::test {
namespace {

struct result {
    int status = -1;
    std::string out, err;
};

std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Zub : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_work_folder("zub-tool"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    result zub(const std::vector<std::string>& args, const std::string& program = ZUB_TOOL) {
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        child_process tool(argv, {}, dir_.string());
        const auto status = tool.wait_exit(60);
        EXPECT_TRUE(status) << "zub did not finish";
        return {status.value_or(-1), tool.out(), tool.err()};
    }

    std::string save(const std::string& name, const bytes& data) {
        write_file((dir_ / name).string(), data);
        return name;
    }
    bool exists(const std::string& name) const { return std::filesystem::exists(dir_ / name); }
    std::size_t files_in_folder() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(dir_), std::filesystem::directory_iterator()));
    }

    nlohmann::json info_json(const std::string& name, int expected_status,
                             const std::vector<std::string>& more = {}) {
        std::vector<std::string> args{"info", name, "--json"};
        args.insert(args.end(), more.begin(), more.end());
        const result r = zub(args);
        EXPECT_EQ(r.status, expected_status) << r.out << r.err;
        return nlohmann::json::parse(r.out);  // throws, failing the test, unless it is JSON
    }

    std::filesystem::path dir_;
};

TEST_F(Zub, PackThenInfoGivesBackEveryField) {
    save("sky.png", encode_png(pattern(40, 30, false), png_kind::rgb));
    write_file((dir_ / "texts.txt").string(),
               to_bytes("-5,7,#102030,second, with commas\n\n30,-2,#FFFFFF,caf\xC3\xA9\n"));
    const result packed = zub({"pack", "-o", "doc.zub", "--size", "64x48", "--depth", "24", "--title",
                               "Caf\xC3\xA9", "--font-size", "21", "--image", "sky.png", "--text",
                               "1,2,#ff0000,first", "--texts", "texts.txt"});
    ASSERT_EQ(packed.status, 0) << packed.err;

    const nlohmann::json info = info_json("doc.zub", 0);
    EXPECT_EQ(info["header"]["width"], 64);
    EXPECT_EQ(info["header"]["height"], 48);
    EXPECT_EQ(info["header"]["bits_per_pixel"], 24);
    EXPECT_EQ(info["header"]["font_size"], 21);
    EXPECT_EQ(info["header"]["record_count"], 3);
    // Strings as text a script can use, with the bytes stored beside them.
    EXPECT_EQ(info["caption"], "Caf\xC3\xA9");  // the title's UTF-8 bytes, stored as given
    EXPECT_EQ(info["caption_hex"], "436166c3a9");
    EXPECT_EQ(info["image"]["format"], "PNG");
    EXPECT_EQ(info["image"]["width"], 40);
    EXPECT_EQ(info["image"]["height"], 30);
    ASSERT_EQ(info["records"].size(), 3U);
    EXPECT_EQ(info["records"][0]["colour"], "#ff0000");
    EXPECT_EQ(info["records"][0]["text"], "first");
    EXPECT_EQ(info["records"][1]["x"], -5);
    EXPECT_EQ(info["records"][1]["y"], 7);
    EXPECT_EQ(info["records"][1]["colour"], "#102030");
    EXPECT_EQ(info["records"][1]["text"], "second, with commas");
    EXPECT_EQ(info["records"][2]["text"], "caf\xC3\xA9");  // stored as Latin-1
    EXPECT_EQ(info["records"][2]["text_hex"], "636166e9");
    EXPECT_EQ(info["records"][2]["length"], 4);
    EXPECT_EQ(info["records"][2]["y"], -2);
    EXPECT_EQ(info["records"][2]["x"], 30);
    EXPECT_TRUE(info["problems"].empty()) << info["problems"].dump();

    const result text = zub({"info", "doc.zub"});
    EXPECT_NE(text.out.find("window: 64x48, depth 24\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  2 at offset "), std::string::npos) << text.out;
    // A caption that is UTF-8 is shown as text, as the title is; a count of one is singular.
    EXPECT_NE(text.out.find("caption: 5 bytes: \"Caf\xC3\xA9\"\n"), std::string::npos) << text.out;
    ASSERT_EQ(zub({"pack", "-o", "one.zub", "--size", "8x8", "--title", "\xC2\x9B\"", "--image", "sky.png",
                   "--text", "0,0,#000000,x"})
                  .status,
              0);
    const result one = zub({"info", "one.zub"});
    EXPECT_NE(one.out.find("caption: 3 bytes: \"\\xc2\\x9b\\\"\"\n"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("1 byte: \"x\""), std::string::npos) << one.out;
}

TEST_F(Zub, RenderGivesThePictureTheViewerComposes) {
    save("sky.png", encode_png(pattern(50, 40, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--size", "60x40", "--image", "sky.png", "--font-size", "14",
                   "--text", "2,3,#000000,Ink", "--text", "-4,20,#ffff00,caf\xC3\xA9"})
                  .status,
              0);
    const result rendered = zub({"render", "doc.zub", "out.png"});
    ASSERT_EQ(rendered.status, 0) << rendered.err;

    const dummy_sdl sdl;
    const bytes file = [&] {
        std::ifstream in(dir_ / "doc.zub", std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    SDL_ShowCursor(SDL_DISABLE);
    SDL_Surface* screen = SDL_SetVideoMode(60, 40, 32, 0);
    ASSERT_NE(screen, nullptr);
    EXPECT_TRUE(
        compose_document(parsed(file), screen, font_choice{(dir_ / "Consola.ttf").string(), ""}).empty());
    SDL_Surface* png = IMG_Load((dir_ / "out.png").c_str());
    ASSERT_NE(png, nullptr) << IMG_GetError();
    EXPECT_EQ(read_back(png).pixels, read_back(screen).pixels);
    SDL_FreeSurface(png);
}

// SDL keeps a row's length in 16 bits: a window whose rows would take 65536 bytes is
// refused, and one a pixel narrower is rendered row by row.
// A grey PNG with a transparent grey is shown, on either runtime, as the viewer composes
// it in process (as SDL 1.2 converts the surface SDL_image gives).
TEST_F(Zub, GreyPngWithATransparentGreyIsShown) {
    save("grey.png", encode_png(pattern(30, 20, false), png_kind::grey, 0x40));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "grey.png"}).status, 0);
    const result rendered = zub({"render", "doc.zub", "out.png"});
    ASSERT_EQ(rendered.status, 0);
    EXPECT_EQ(rendered.err, "");
    const dummy_sdl sdl;
    SDL_ShowCursor(SDL_DISABLE);
    SDL_Surface* screen = SDL_SetVideoMode(30, 20, 32, 0);
    ASSERT_NE(screen, nullptr);
    EXPECT_TRUE(compose_document(parsed(read_bytes(dir_ / "doc.zub")), screen).empty());
    SDL_Surface* png = IMG_Load((dir_ / "out.png").c_str());
    ASSERT_NE(png, nullptr) << IMG_GetError();
    EXPECT_EQ(read_back(png).pixels, read_back(screen).pixels);
    SDL_FreeSurface(png);
}

TEST_F(Zub, RenderHoldsTheRowBound) {
    const picture pic = pattern(16, 4, false);
    // The viewer's bound: a window 16384 pixels wide is refused at any depth.
    for (const auto& [width, depth] :
         {std::pair{16384, 32}, std::pair{16384, 8}, std::pair{16383, 32}, std::pair{16383, 8}}) {
        document_parts parts;
        parts.width = width;
        parts.height = 4;
        parts.bits_per_pixel = depth;
        parts.image = encode_png(pic, png_kind::rgb);
        save("wide.zub", write_document(parts));
        const result r = zub({"render", "wide.zub", "wide.png"});
        if (width == 16384) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err,
                      "zub: wide.zub: the window's rows would be 65536 bytes on the display, which keeps 4 a "
                      "pixel at any depth (SDL keeps at most 65535)\n");
            EXPECT_FALSE(exists("wide.png"));
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err;
        const dummy_sdl sdl;
        SDL_Surface* png = IMG_Load((dir_ / "wide.png").c_str());
        ASSERT_NE(png, nullptr) << IMG_GetError();
        const picture rendered = read_back(png);
        SDL_FreeSurface(png);
        ASSERT_EQ(rendered.width, width);
        for (int y = 0; y < 4; ++y) {
            for (int x : {0, 7, 15, 16, width - 1}) {
                // At depth 8 the image's colours are the palette's.
                if (x >= 16 || depth == 32) {
                    EXPECT_EQ(rendered.at(x, y), (x < 16 ? pic.at(x, y) : rgba{0, 0, 0, 255}))
                        << x << "," << y;
                }
            }
        }
    }
}

// A thumbnail is the rendered picture scaled down to fit, its texts drawn with the font
// beside the document, else with the system's monospace font (here the same face).
TEST_F(Zub, ThumbnailIsTheScaledPictureWithItsTexts) {
    save("sky.png", encode_png(pattern(60, 40, true), png_kind::rgb));
    std::filesystem::create_directory(dir_ / "far");
    for (const std::string doc : {"doc.zub", "far/doc.zub", "plain.zub"}) {
        std::vector<std::string> args{"pack",    "-o",      doc,           "--size", "120x80",
                                      "--image", "sky.png", "--font-size", "30"};
        if (doc != "plain.zub") args.insert(args.end(), {"--text", "2,3,#ffffff,Ink"});
        ASSERT_EQ(zub(args).status, 0);
    }
    ASSERT_EQ(zub({"render", "doc.zub", "whole.png"}).status, 0);
    for (const std::string doc : {"doc.zub", "far/doc.zub", "plain.zub"}) {
        const result r = zub({"render", "--size", "48", doc, doc + ".png"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    const dummy_sdl sdl;
    const auto load = [&](const std::string& name) {
        SDL_Surface* png = IMG_Load((dir_ / name).c_str());
        EXPECT_NE(png, nullptr) << name << ": " << IMG_GetError();
        picture pic = png != nullptr ? read_back(png) : picture{};
        SDL_FreeSurface(png);
        return pic;
    };
    const picture whole = load("whole.png");
    rgb_image full{whole.width, whole.height, {}};
    for (int y = 0; y < whole.height; ++y) {
        for (int x = 0; x < whole.width; ++x)
            full.rgb.insert(full.rgb.end(), {whole.at(x, y).r, whole.at(x, y).g, whole.at(x, y).b});
    }
    const rgb_image expected = scale_down(full, {48, 32});
    const picture thumbnail = load("doc.zub.png");
    ASSERT_EQ(thumbnail.width, 48);
    ASSERT_EQ(thumbnail.height, 32);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 48; ++x) {
            const std::uint8_t* want = &expected.rgb[static_cast<std::size_t>(y * 48 + x) * 3];
            ASSERT_EQ(thumbnail.at(x, y), (rgba{want[0], want[1], want[2], 255})) << x << "," << y;
        }
    }
    EXPECT_EQ(load("far/doc.zub.png").pixels, thumbnail.pixels);
    EXPECT_NE(load("plain.zub.png").pixels, thumbnail.pixels);  // the text shows
}

// Every command finds its font by one rule: --font, else Consola.ttf in the working
// directory, else beside the document, else the system's fixed-width face; it says which
// it used when it was not the first.
TEST_F(Zub, EveryCommandFindsTheFontByOneRule) {
    namespace fs = std::filesystem;
    const std::string sans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
    const std::string system_face = system_face_of(ZUB_TOOL);
    ASSERT_FALSE(system_face.empty());
    for (const char* folder : {"here", "docs", "bare"}) fs::create_directory(dir_ / folder);
    fs::copy_file(sans, dir_ / "docs/Consola.ttf");
    save("sky.png", encode_png(pattern(60, 40, true), png_kind::rgb));
    for (const char* doc : {"docs/doc.zub", "bare/doc.zub"})
        ASSERT_EQ(
            zub({"pack", "-o", doc, "--size", "120x80", "--image", "sky.png", "--text", "2,3,#ffffff,Ink"})
                .status,
            0);
    const auto contents = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const auto run_in = [&](const std::string& folder, std::vector<std::string> args) {
        args.insert(args.begin(), ZUB_TOOL);
        child_process tool(args, {}, (dir_ / folder).string());
        const auto status = tool.wait_exit(60);
        return result{status.value_or(-1), tool.out(), tool.err()};
    };
    const std::string beside_note =
        "the texts are drawn in " + (dir_ / "docs/Consola.ttf").string() +
        ", beside the document: there is no Consola.ttf in the working directory\n";
    const std::string system_note = "the texts are drawn in " + system_face +
                                    ", the system's fixed-width face: there is no Consola.ttf in the working "
                                    "directory or beside the document\n";
    struct font_case {
        std::string folder, doc, size, font,
            note;  // the working directory, the document, --size, the font used
    };
    for (const font_case& c :
         std::vector<font_case>{{"", "docs/doc.zub", "", "Consola.ttf", ""},
                                {"here", "../docs/doc.zub", "", sans, beside_note},
                                {"here", "../docs/doc.zub", "64", sans, beside_note},
                                {"here", "../bare/doc.zub", "", system_face, system_note},
                                {"here", "../bare/doc.zub", "64", system_face, system_note}}) {
        std::vector<std::string> args{"render", c.doc, "out.png"};
        if (!c.size.empty()) args.insert(args.begin() + 1, {"--size", c.size});
        const result r = run_in(c.folder, args);
        EXPECT_EQ(r.status, 0) << r.err;
        const std::string where = c.folder + " " + c.doc + " " + c.size;
        EXPECT_EQ(r.err, c.note.empty() ? "" : "zub: " + c.doc + ": note: " + c.note) << where;
        args.insert(args.begin() + 1, {"--font", c.font});
        args.back() = "named.png";
        ASSERT_EQ(run_in(c.folder, args).status, 0);
        EXPECT_EQ(contents(dir_ / c.folder / "out.png"), contents(dir_ / c.folder / "named.png")) << where;
    }
    // info and pack measure the texts by the same rule.
    const result info = run_in("here", {"info", "../bare/doc.zub"});
    EXPECT_NE(info.err.find("zub: ../bare/doc.zub: note: the texts are measured in " + system_face),
              std::string::npos)
        << info.err;
    const result pack = run_in("here", {"pack", "-o", "../docs/new.zub", "--size", "8x8", "--image",
                                        "../sky.png", "--text", "1,1,#000000,x"});
    EXPECT_EQ(pack.err, "zub: ../docs/new.zub: note: the texts are measured in " +
                            (dir_ / "docs/Consola.ttf").string() +
                            ", beside the document: there is no Consola.ttf in the working directory\n");
}

// A window of the desktop's size: packed as 0x0, rendered at the size --desktop states.
// The system's face is one face wherever the program is asked, whatever fontconfig's
// configuration and the environment say: DejaVu Sans Mono, where fonts-dejavu-core puts it.
TEST_F(Zub, SystemFaceIsOneFaceWhateverFontconfigSays) {
    namespace fs = std::filesystem;
    // fontconfig set up as a desktop may have it: "monospace" a face not marked
    // fixed-width, and a fixed-width face in a folder that comes first by path.
    const fs::path early = fs::path("/tmp") / ("zub-fonts-" + std::to_string(getpid()));
    fs::create_directories(early);
    fs::copy_file("Consola.ttf", early / "AAA-Mono.ttf", fs::copy_options::overwrite_existing);
    save("fonts.conf",
         to_bytes("<?xml version=\"1.0\"?><fontconfig><dir>" + early.string() +
                  "</dir><dir>/usr/share/fonts</dir><alias binding=\"strong\"><family>monospace</family>"
                  "<prefer><family>DejaVu Sans</family></prefer></alias></fontconfig>"));
    const std::vector<std::pair<std::string, std::string>> setups{
        {"as the tests run", "env"},
        {"a desktop's configuration", "env FONTCONFIG_FILE=" + quote((dir_ / "fonts.conf").string())},
        {"an empty environment", "env -i"}};
    // Where the folder is hidden (a mount namespace of the test's own), the face the rule
    // falls back on, and again one face whatever fontconfig says; GNOME's thumbnailer
    // sandbox binds no /etc/fonts.
    std::vector<std::pair<std::string, std::string>> places{{"nothing", ""}};
    if (geteuid() == 0) {
        for (const char* hidden : {"/etc/fonts", "/usr/share/fonts/truetype/dejavu"})
            places.emplace_back(hidden, std::string("unshare -m sh -c 'mount -t tmpfs none ") + hidden +
                                            " && exec \"$0\" \"$@\"'");
    }
    for (const auto& [hidden, namespace_of] : places) {
        const std::string face = system_face_of(ZUB_TOOL, namespace_of + " env");
        for (const auto& [setup, wrapper] : setups)
            EXPECT_EQ(system_face_of(ZUB_TOOL, namespace_of + " " + wrapper), face)
                << setup << ", " << hidden;
        if (hidden == "/usr/share/fonts/truetype/dejavu") {
            EXPECT_NE(face, "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf");
        } else {
            EXPECT_EQ(face, "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf")
                << "with " << hidden << " hidden";
        }
    }
    fs::remove_all(early);
}

TEST_F(Zub, DesktopSizedDocumentIsPackedAndRenderedAtAStatedSize) {
    save("sky.png", encode_png(pattern(20, 10, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--size", "0x0", "--image", "sky.png"}).status, 0);
    for (const auto& [args, width, height] : std::vector<std::tuple<std::vector<std::string>, int, int>>{
             {{"render", "doc.zub", "a.png"}, 1920, 1080},
             {{"render", "--desktop", "64x48", "doc.zub", "b.png"}, 64, 48}}) {
        const result r = zub(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const dummy_sdl sdl;
        SDL_Surface* png = IMG_Load((dir_ / args.back()).c_str());
        ASSERT_NE(png, nullptr) << IMG_GetError();
        EXPECT_EQ(png->w, width);
        EXPECT_EQ(png->h, height);
        SDL_FreeSurface(png);
    }
    EXPECT_EQ(zub({"render", "--desktop", "0x48", "doc.zub", "c.png"}).status, 2);
    // A thumbnail is made of a window of at most 8192 x 8192 pixels.
    document_parts huge;
    huge.width = 16383;
    huge.height = 4097;
    huge.bits_per_pixel = 24;
    save("huge.zub", write_document(huge));
    const result refused = zub({"render", "--size", "256", "huge.zub", "huge.png"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(
        refused.err,
        "zub: huge.zub: the window 16383x4097 is too large for a thumbnail (at most 67108864 pixels)\n");
}

// Stored as asked, but drawn where nobody sees it: pack says so, and info's text view
// escapes the text's quotes.
TEST_F(Zub, PackNotesATextOutsideTheWindow) {
    save("sky.png", encode_png(pattern(20, 10, false), png_kind::rgb));
    const result packed = zub({"pack", "-o", "doc.zub", "--size", "20x10", "--image", "sky.png", "--text",
                               "1,1,#000000,in", "--text", "30,0,#000000,\"far\""});
    EXPECT_EQ(packed.status, 0);
    EXPECT_EQ(packed.err, "zub: doc.zub: note: text record 2 is drawn wholly outside the window\n");
    const result info = zub({"info", "doc.zub"});
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.out.find("5 bytes: \"\\\"far\\\"\"\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find(": note: text record 2 is drawn wholly outside the window\n"), std::string::npos)
        << info.out;
}

TEST_F(Zub, PackRefusesWhatTheViewerCouldNotShowAndWritesNothing) {
    save("sky.png", encode_png(pattern(8, 8, true), png_kind::rgb));
    bytes tga{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24, 0, 10, 20, 30};  // a 1x1 TGA
    save("dot.tga", tga);
    save("notes.txt", to_bytes("not an image"));
    save("zero.txt", bytes{'0', ',', '0', ',', '#', '0', '0', '0', '0', '0', '0', ',', 'a', 0, 'b', '\n'});
    const std::size_t before = files_in_folder();
    const std::vector<std::string> base{"pack", "-o", "doc.zub", "--size", "16x16"};
    // Values on the command line are a wrong command line (2); files are problems (1).
    struct refusal {
        std::vector<std::string> extra;
        int status;
        std::string message;
    };
    for (const auto& [extra, status, message] : std::vector<refusal>{
             {{"--image", "sky.png", "--text", "0,0,#000000,\xE2\x82\xAC uro"},
              2,
              "U+20AC (\xE2\x82\xAC) at character 1 of the text, which is outside Latin-1"},
             {{"--image", "sky.png", "--text", "0,0,#000000,a\tb"},
              2,
              "the control character U+0009 (a tab) at character 2"},
             {{"--image", "sky.png", "--text", "0,0,#000000," + std::string(200, 'a') + std::string(60, 'b')},
              2,
              "is 260 bytes long (at most 255)"},
             {{"--image", "sky.png", "--text",
               "0,0,#000000," + std::string(128, '\xC3') + std::string(128, '\xA9')},
              2,
              "is not valid UTF-8"},
             {{"--image", "sky.png", "--text", "40000,0,#000000,far"},
              2,
              "the position is outside -32768..32767"},
             {{"--image", "sky.png", "--text", "0,-32769,#000000,far"},
              2,
              "the position is outside -32768..32767"},
             {{"--image", "sky.png", "--text", "0,0,reddish,colour"},
              2,
              "the colour 'reddish' is not #rrggbb, #rgb or a CSS colour name"},
             {{"--image", "sky.png", "--text", "0,0,#000000,a\xE0\x81\x81"},
              2,
              "is not valid UTF-8"},  // overlong
             {{"--image", "sky.png", "--text", "0,0,#000000,a\xF0\x80\x80\x80"}, 2, "is not valid UTF-8"},
             {{"--image", "sky.png", "--text", "0,0,#000000,\xED\xA0\x80"},
              2,
              "is not valid UTF-8"},  // surrogate
             {{"--image", "sky.png", "--texts", "zero.txt"},
              1,
              "zero.txt:1 \"0,0,#000000,a\\x00b\" has a zero byte"},
             {{"--image", "sky.png", "--title", "\xFF\xFE"}, 2, "--title is not valid UTF-8"},
             {{"--image", "sky.png", "--text", "0,0"}, 2, "is not in the form X,Y,#RRGGBB,TEXT"},
             {{"--image", "sky.png", "--title", std::string(256, 't')}, 2, "--title is 256 bytes long"},
             {{"--image", "sky.png", "--size", "-1x10"}, 2, "--size '-1x10' is not WIDTHxHEIGHT"},
             {{"--image", "sky.png", "--size", "20000x10"}, 2, "--size '20000x10'"},
             {{"--image", "sky.png", "--size", "16384x4", "--depth", "32"}, 2, "rows would be 65536 bytes"},
             {{"--image", "sky.png", "--size", "800 x 600"}, 2, "--size '800 x 600'"},
             {{"--image", "sky.png", "--depth", "15"}, 2, "--depth '15' is not 0, 8, 16, 24 or 32"},
             {{"--image", "sky.png", "--depth", "abc"}, 2, "--depth 'abc'"},
             {{"--image", "sky.png", "--font-size", "0"}, 2, "--font-size '0'"},
             {{"--image", "dot.tga"}, 1, "cannot be shown by the viewer"},
             {{"--image", "notes.txt"}, 1, "cannot be shown by the viewer"},
             {{"--image", "missing.png"}, 1, "missing.png: cannot open the file"},
             {{"--image", "sky.png", "--texts", "notes.txt"}, 1, "notes.txt:1"}}) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        const result r = zub(args);
        EXPECT_EQ(r.status, status) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind(status == 2 ? "zub pack: " : "zub: ", 0), 0U) << r.err;
        EXPECT_FALSE(exists("doc.zub")) << message;
        EXPECT_EQ(files_in_folder(), before) << "a temporary file was left behind: " << message;
    }
}

TEST_F(Zub, InfoReportsEveryProblemAtItsOffset) {
    const bytes png = encode_png(pattern(4, 4, true), png_kind::rgb);
    struct damaged_case {
        std::string name;
        bytes file;
        std::uint64_t offset;
        std::string message;
        std::string severity;
        std::vector<std::string> args{};
    };
    std::vector<damaged_case> cases;
    cases.push_back({"short", to_bytes("ZUB\x01\x02"), 5, "shorter than the 31-byte header", "error"});
    {
        document_parts s;
        s.caption = to_bytes("abc");
        s.caption_length = 100;
        cases.push_back({"caption", write_document(s), 31, "the caption runs past the end", "error"});
    }
    {
        document_parts s;
        s.caption = to_bytes("abcd");
        s.image = png;
        s.image_length = static_cast<std::uint32_t>(png.size() + 10);
        cases.push_back({"image", write_document(s), 35, "the image runs past the end", "error"});
    }
    {
        document_parts s;
        s.image_length = 0xFFFFFFFF;
        cases.push_back({"negative", write_document(s), 27, "the image length is negative", "error"});
    }
    document_parts good;
    good.width = 40;
    good.height = 30;
    good.image = png;
    const std::uint64_t first_record = 31 + png.size();
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, "ok"), text_at(0, 0, 0, 0, 0, "cut")};
        s.records[1].text_length = 50;
        cases.push_back({"record", write_document(s), first_record + 26,
                         "text record 2 of 2 runs past the end", "warning"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, std::string(256, 'x'))};
        cases.push_back(
            {"long", write_document(s), first_record + 20, "is 256 bytes long; only the first 255", "note"});
    }
    {
        document_parts s = good;
        s.caption = to_bytes(std::string("ab\0cd", 5));
        cases.push_back({"zero", write_document(s), 33, "the caption has a zero byte", "note"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, "slot")};
        s.records[0].green = 0x0100;
        cases.push_back(
            {"slot", write_document(s), first_record + 5, "unused part of a colour slot", "note"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, "slot")};
        s.records[0].y = 0x00010000;
        cases.push_back(
            {"position", write_document(s), first_record + 18, "unused part of a position slot", "note"});
    }
    {
        document_parts s = good;
        s.trailing = bytes(7, 1);
        cases.push_back(
            {"trailing", write_document(s), first_record, "7 bytes after the last record", "note"});
    }
    {
        document_parts s = good;
        s.image = to_bytes("not an image");
        cases.push_back({"undecodable", write_document(s), 31,
                         "the image is not shown: Unsupported image format", "warning"});
    }
    {
        document_parts s = good;
        s.records = {text_at(-200, 0, 0, 0, 0, "left"), text_at(0, 30, 0, 0, 0, "below")};
        cases.push_back(
            {"outside", write_document(s), first_record, "text record 1 is drawn wholly outside", "note"});
    }
    // The header's window, depth and point size as the viewer takes them.
    const auto header = [&](std::int32_t width, std::int32_t height, std::int32_t depth,
                            std::int32_t points) {
        document_parts s = good;
        s.width = width;
        s.height = height;
        s.bits_per_pixel = depth;
        s.font_size = points;
        s.records = {text_at(0, 0, 0, 0, 0, "WW")};
        return write_document(s);
    };
    cases.push_back({"large", header(16385, 30, 32, 12), 3, "is too large", "error"});
    cases.push_back({"below", header(40, -1, 32, 12), 7, "has a negative side", "error"});
    cases.push_back({"row", header(16384, 4, 32, 12), 3, "rows would be 65536 bytes", "error"});
    cases.push_back({"desktop", header(0, 30, 32, 12), 3, "the desktop's size is used", "note"});
    cases.push_back({"depth", header(40, 30, 12, 12), 11, "the display picks one", "note"});
    cases.push_back({"depth1", header(40, 30, 1, 12), 11, "depth 1 is refused", "error"});
    cases.push_back({"points", header(40, 30, 32, 0), 15, "the point size 0 is below 1", "warning"});
    cases.push_back({"nofont",
                     header(40, 30, 32, 12),
                     15,
                     "the texts are not drawn: cannot open the font",
                     "warning",
                     {"--font", "missing\xff.ttf"}});  // not UTF-8: the JSON stays valid
    cases.push_back({"huge", header(40, 30, 32, 16384), first_record, "would cover more than", "warning"});
    {
        document_parts s = good;
        const bytes jpeg = encode_jpeg(pattern(40, 30, true), 90);
        s.image = bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
        cases.push_back(
            {"partial", write_document(s), 31 + jpeg.size() / 2, "the image's data ends early", "warning"});
    }
    for (const damaged_case& c : cases) {
        const nlohmann::json info = info_json(save(c.name + ".zub", c.file), 1, c.args);
        bool found = false;
        for (const auto& p : info["problems"]) {
            if (p["offset"] == c.offset && p["severity"] == c.severity &&
                p["message"].get<std::string>().find(c.message) != std::string::npos) {
                found = true;
            }
        }
        EXPECT_TRUE(found) << c.name << ": " << info["problems"].dump();
    }
    EXPECT_EQ(info_json(save("text.txt", to_bytes("A plain file")), 1)["is_document"], false);
}

TEST_F(Zub, CommandLine) {
    // Every wrong command line: one line naming the offending word, a suggestion where
    // one is close, the way to the help, and status 2.
    for (const auto& [args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "zub: a command is required: info, render, pack or unpack; see 'zub --help'"},
             {{"inf"}, "zub: unknown command 'inf' (did you mean 'info'?); see 'zub --help'"},
             {{"frobnicate"}, "zub: unknown command 'frobnicate'; see 'zub --help'"},
             {{"--verison"}, "zub: unknown option '--verison' (did you mean '--version'?); see 'zub --help'"},
             {{"info"}, "zub info: the document to inspect, DOC, is missing; see 'zub info --help'"},
             {{"render", "a.zub", "b.png", "c.png"},
              "zub render: unexpected argument 'c.png': several documents are rendered with -d DIR; see 'zub "
              "render --help'"},
             {{"render", "only-one.zub"},
              "zub render: the picture to write, OUT, is missing; see 'zub render --help'"},
             {{"pack", "-o", "x.zub", "--sise", "8x8", "--image", "a.png"},
              "zub pack: unknown option '--sise' (did you mean '--size'?); see 'zub pack --help'"},
             {{"pack", "-o", "x.zub", "--size", "8x8"},
              "zub pack: --image is required (or --from); see 'zub pack --help'"},
             {{"pack", "-o", "x.zub", "--size", "8x8", "--image"},
              "zub pack: '--image' needs a value; see 'zub pack --help'"},
             {{"render", "--size", "", "a.zub", "o.png"},
              "zub render: --size '' is not a whole number from 1 to 16384; see 'zub render --help'"},
             {{"render", "--size", "1\n2", "a.zub", "o.png"},
              "zub render: --size '1\\x0a2' is not a whole number from 1 to 16384; see 'zub render --help'"},
             {{"render", "--desktop", "10x", "a.zub", "o.png"},
              "zub render: --desktop '10x' is not WIDTHxHEIGHT with each side from 1 to 16384; see 'zub "
              "render "
              "--help'"}}) {
        const result r = zub(args);
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_EQ(r.err, line + "\n");
        EXPECT_EQ(r.out, "");
    }
    const result help = zub({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("pack"), std::string::npos);
    const result pack_help = zub({"pack", "--help"});
    EXPECT_EQ(pack_help.status, 0);
    EXPECT_NE(pack_help.out.find("--texts"), std::string::npos);
    // Each value is named for what it takes.
    const result render_help = zub({"render", "--help"});
    for (const char* named :
         {"\n  DOC OUT ", "-d,--output-dir DIR ", "--font PATH ", "--size N ", "--desktop WxH "}) {
        EXPECT_NE(render_help.out.find(named), std::string::npos) << named << " in " << render_help.out;
    }
    EXPECT_EQ(render_help.out.find("TEXT"), std::string::npos) << render_help.out;
    EXPECT_NE(render_help.out.find(".ppm"), std::string::npos) << render_help.out;
    const result version = zub({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("zub ") + ZUB_VERSION_TEXT + "\n");
    // A report that cannot be written is not a success.
    EXPECT_EQ(
        run_command("cd " + dir_.string() + " && " + ZUB_TOOL + " --help > /dev/full 2>/dev/null").status, 1);
}

// A name that holds control characters (an escape sequence, a line break, a C1 CSI)
// reaches the terminal escaped, wherever the tool prints it; JSON keeps it as it is.
// Options that change nothing for what is written say so; zub-open answers for itself.
TEST_F(Zub, OptionsThatChangeNothingSaySo) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "sky.png"}).status, 0);
    for (
        const auto& [out, note] : std::vector<std::pair<std::string, std::string>>{
            {"a.png",
             "zub: note: --quality is for JPEG and WebP pictures: the PNG picture is written without loss\n"},
            {"a.ppm",
             "zub: note: --quality is for JPEG and WebP pictures: the PPM picture is written without loss\n"},
            {"a.jpg", ""}}) {
        const result r = zub({"render", "--quality", "50", "doc.zub", out});
        EXPECT_EQ(r.status, 0) << out;
        EXPECT_EQ(r.err, note) << out;
    }
    const auto opener = [&](const std::string& word) {
        child_process open({ZUB_OPEN, word}, {}, dir_.string());
        const auto status = open.wait_exit(30);
        return result{status.value_or(-1), open.out(), open.err()};
    };
    const result version = opener("--version");
    EXPECT_EQ(version.out, std::string("zub-open ") + ZUB_VERSION_TEXT + "\n");
    EXPECT_EQ(version.status, 0);
    const result unknown = opener("--verbose");
    EXPECT_EQ(unknown.err, "zub-open: unknown option '--verbose'\nusage: zub-open FILE\n");
    EXPECT_EQ(unknown.status, 2);
}

// The note that names the font is said once a run, and only where there are texts to draw.
TEST_F(Zub, FontNoteIsSaidOnceARunAndOnlyForTexts) {
    namespace fs = std::filesystem;
    fs::create_directory(dir_ / "bare");
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    for (const char* doc : {"bare/a.zub", "bare/b.zub"})
        ASSERT_EQ(zub({"pack", "-o", doc, "--image", "sky.png", "--text", "0,0,#ffffff,x"}).status, 0);
    document_parts empty;
    empty.image = encode_png(pattern(8, 8, false), png_kind::rgb);
    empty.records.push_back(text_at(0, 0, 1, 2, 3, ""));
    save("bare/empty.zub", write_document(empty));
    const auto notes = [](const std::string& err) {
        std::size_t count = 0;
        for (auto at = err.find("note: the texts are"); at != std::string::npos;
             at = err.find("note: the texts are", at + 1))
            ++count;
        return count;
    };
    fs::remove(dir_ / "Consola.ttf");
    for (const auto& [args, expected] : std::vector<std::pair<std::vector<std::string>, std::size_t>>{
             {{"info", "bare/a.zub", "bare/b.zub"}, 1},
             {{"render", "-d", "out", "bare/a.zub", "bare/b.zub"}, 1},
             {{"info", "bare/empty.zub"}, 0},
             {{"render", "bare/empty.zub", "empty.png"}, 0},
             {{"pack", "--from", "bare/empty.zub", "-o", "bare/again.zub"}, 0}}) {
        const result r = zub(args);
        EXPECT_EQ(notes(r.err), expected) << args[0] << " " << args[1] << ": " << r.err;
    }
}

// zub info shows a record's text as text: Latin-1, the encoding it is drawn in, with
// control characters escaped; a caption as the window system reads it.
TEST_F(Zub, InfoShowsTextsAsTheyAreDrawn) {
    document_parts parts;
    parts.caption = to_bytes("Gr\xfc\xdf\x9b");  // not UTF-8: read as Latin-1
    parts.image = encode_png(pattern(8, 8, false), png_kind::rgb);
    parts.records.push_back(text_at(0, 0, 1, 2, 3, "Gr\xfc\xdf\x01\x9b\"\\"));
    save("latin1.zub", write_document(parts));
    const result r = zub({"info", "latin1.zub"});
    EXPECT_NE(r.out.find("caption: 5 bytes: \"Gr\xc3\xbc\xc3\x9f\\x9b\"\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("8 bytes: \"Gr\xc3\xbc\xc3\x9f\\x01\\x9b\\\"\\\\\"\n"), std::string::npos) << r.out;
}

// --texts prints each record's text as a line, grep's way: Latin-1 read, controls and
// backslashes escaped, quotes kept; the file's name before it with several documents or
// -r; a damaged document's readable texts, then its one error line and status 1.
TEST_F(Zub, InfoTextsPrintsEachRecordALine) {
    document_parts parts;
    parts.records = {text_at(0, 0, 1, 2, 3, "caf\xe9 \"a\"\\b\x01"), text_at(0, 9, 1, 2, 3, ""),
                     text_at(0, 9, 1, 2, 3, "zebra")};
    const bytes whole = write_document(parts);
    save("a.zub", whole);
    save("cut.zub", bytes(whole.begin(), whole.end() - 2));
    std::filesystem::create_directory(dir_ / "folder");
    save("folder/b.zub", whole);
    const std::string lines = "1:caf\xc3\xa9 \"a\"\\\\b\\x01\n2:\n3:zebra\n";
    const std::string cut_error =
        "zub: cut.zub: damaged document: text record 3 of 3 runs past the end of "
        "the file; it and the rest are not drawn\n";
    const auto named = [&](const std::string& name, std::size_t count) {
        std::string out;
        for (std::size_t at = 0, line = 0; line < count; ++line) {
            const std::size_t end = lines.find('\n', at) + 1;
            out += name + ":" + lines.substr(at, end - at);
            at = end;
        }
        return out;
    };
    for (const auto& [args, out, err, status] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::string, int>>{
             {{"a.zub"}, lines, "", 0},
             {{"cut.zub"}, lines.substr(0, lines.find("3:")), cut_error, 1},
             {{"a.zub", "cut.zub"}, named("a.zub", 3) + named("cut.zub", 2), cut_error, 1},
             {{"-r", "folder"}, named("folder/b.zub", 3), "", 0},
         }) {
        std::vector<std::string> command{"info", "--texts"};
        command.insert(command.end(), args.begin(), args.end());
        const result r = zub(command);
        EXPECT_EQ(r.out, out) << args[0];
        EXPECT_EQ(r.err, err) << args[0];
        EXPECT_EQ(r.status, status) << args[0];
    }
}

// A text that begins with a space is stored as written, with a note: the text starts
// right after the colour's comma.
TEST_F(Zub, PackNotesATextThatBeginsWithASpace) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    save("texts.txt", to_bytes("+5, 2, #fa0, The price\n1,1,red,plain\n"));
    const result r = zub({"pack", "-o", "doc.zub", "--image", "sky.png", "--texts", "texts.txt"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.err,
        "zub: note: texts.txt:1 \"+5, 2, #fa0, The price\": the text begins with a space, which is stored "
        "and drawn (it starts right after the colour's comma)\n");
    const nlohmann::json info = info_json("doc.zub", 0);
    EXPECT_EQ(info["records"][0]["text"], " The price");
    EXPECT_EQ(info["records"][1]["text"], "plain");
}

// A batch's summary counts the pictures written without a part, whose warnings may have
// scrolled away.
TEST_F(Zub, RenderManyCountsPicturesWithoutAPart) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "whole.zub", "--image", "sky.png"}).status, 0);
    document_parts parts;
    parts.width = 8;
    parts.height = 8;
    parts.image = to_bytes("not an image at all");
    save("no image.zub", write_document(parts));
    const result r = zub({"render", "-d", "out", "whole.zub", "no image.zub"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        r.err.ends_with("zub: 2 documents rendered into out, 1 of them without a part (see the warnings)\n"))
        << r.err;
}

// zub pack --from DIR reads the files its document.json names inside DIR only: plain names
// of regular files there, never a path elsewhere, a link that leads out, or a FIFO.
TEST_F(Zub, PackFromAFolderReadsOnlyItsOwnFiles) {
    namespace fs = std::filesystem;
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "sky.png", "--text", "0,0,#ffffff,x"}).status, 0);
    ASSERT_EQ(zub({"unpack", "doc.zub", "parts"}).status, 0);
    save("secret.txt", to_bytes("1,1,#000000,secret line\n"));
    fs::create_symlink("../secret.txt", dir_ / "parts/outside.txt");
    fs::create_symlink("texts.txt", dir_ / "parts/inside.txt");
    ASSERT_EQ(mkfifo((dir_ / "parts/fifo.png").c_str(), 0600), 0);
    const std::string header = read_text((dir_ / "parts/document.json").string());
    for (const auto& [key, name, refused] : std::vector<std::tuple<std::string, std::string, bool>>{
             {"texts", (dir_ / "secret.txt").string(), true},
             {"texts", "../secret.txt", true},
             {"texts", "outside.txt", true},
             {"image", "fifo.png", true},
             {"texts", "inside.txt", false}}) {
        nlohmann::json edited = nlohmann::json::parse(header);
        edited[key] = name;
        save("parts/document.json", to_bytes(edited.dump()));
        const result r = zub({"pack", "--from", "parts", "-o", "out.zub"});
        EXPECT_EQ(r.status, refused ? 1 : 0) << name << ": " << r.err;
        EXPECT_EQ(r.err.find("secret line"), std::string::npos) << name;
        if (refused) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        }
        EXPECT_EQ(exists("out.zub"), !refused) << name;
        fs::remove(dir_ / "out.zub");
    }
}

// Two documents whose pictures' names lead to one file (a folder reached by a link) are
// refused before a picture is written, as two of the same name are.
TEST_F(Zub, RenderManyTellsNamesApartAsTheFileSystemDoes) {
    namespace fs = std::filesystem;
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    fs::create_directories(dir_ / "col/sub");
    fs::create_directories(dir_ / "out");
    fs::create_directory_symlink(".", dir_ / "out/sub");
    for (const char* doc : {"col/a.zub", "col/sub/a.zub"})
        ASSERT_EQ(zub({"pack", "-o", doc, "--image", "sky.png"}).status, 0);
    const result r = zub({"render", "-d", "out", "-r", "col"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("would both be written as"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("out/a.png"));
}

// The programs find their companions (the composer, the window's and the painter's
// modules) beside the file they run from, whatever name they were started by.
TEST_F(Zub, CompanionsAreFoundBesideTheProgramNotItsName) {
    namespace fs = std::filesystem;
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "sky.png"}).status, 0);
    fs::create_directory(dir_ / "decoy");
    for (const char* name : {"zub", "zub_reader", "zub-window.so", "zub-picture.so"})
        save(std::string("decoy/") + name, to_bytes("x"));
    save("decoy/zub-compose", to_bytes("#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\n"));
    fs::permissions(dir_ / "decoy/zub-compose", fs::perms::owner_all);
    const std::string decoy = (dir_ / "decoy").string();
    const command_result rendered = run_command(
        "cd " + quote(dir_.string()) + " && bash -c 'exec -a \"$0\" \"$1\" render doc.zub out.png' " +
        quote(decoy + "/zub") + " " + quote(ZUB_TOOL) + " 2>&1; echo $?");
    EXPECT_EQ(rendered.out, "0\n");
    const command_result viewed =
        run_command("cd " + quote(dir_.string()) +
                    " && env -u DISPLAY -u WAYLAND_DISPLAY bash -c 'exec -a \"$0\" \"$1\" doc.zub' " +
                    quote(decoy + "/zub_reader") + " " + quote(ZUB_READER) + " 2>&1");
    EXPECT_EQ(viewed.out, "zub_reader: doc.zub: cannot start the video: no display (DISPLAY is not set)\n");
    EXPECT_FALSE(exists("decoy/ran"));
}

// Only a command that paints loads SDL (and the libraries it brings): zub's start, info,
// pack and unpack never do.
TEST_F(Zub, OnlyRenderLoadsSdl) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "sky.png", "--text", "0,0,#fff,x"}).status, 0);
    for (const auto& [command, loads] : std::vector<std::pair<std::string, bool>>{
             {"--version", false},
             {"info doc.zub", false},
             {"pack -o again.zub --image sky.png --text 0,0,#fff,x", false},
             {"unpack doc.zub parts", false},
             {"render doc.zub out.png", true}}) {
        const command_result run = run_command("cd " + quote(dir_.string()) + " && LD_DEBUG=libs " +
                                               quote(ZUB_TOOL) + " " + command + " 2>&1 >/dev/null");
        EXPECT_EQ(run.out.find("find library=libSDL-1.2.so.0") != std::string::npos, loads) << command;
    }
}

// A copy of zub (and its painter) in `folder` beside a composer that never ends for a
// window 777 pixels wide, and runs the real one for any other; it notes its pid and
// process group.
std::string zub_beside_a_stuck_composer(const std::filesystem::path& folder) {
    namespace fs = std::filesystem;
    fs::create_directories(folder);
    fs::copy_file(ZUB_TOOL, folder / "zub", fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(ZUB_TOOL).parent_path() / "zub-picture.so", folder / "zub-picture.so",
                  fs::copy_options::overwrite_existing);
    const std::string real = (fs::path(ZUB_TOOL).parent_path() / "zub-compose").string();
    write_file((folder / "zub-compose").string(),
               to_bytes("#!/bin/sh\nfor word; do [ \"$word\" = 777 ] && stuck=1; done\n"
                        "[ -z \"$stuck\" ] && exec " +
                        quote(real) +
                        " \"$@\"\n"
                        "here=$(dirname \"$0\"); read -r stat </proc/$$/stat; set -- $stat\n"
                        "echo \"$5\" >\"$here/composer.group\"; echo $$ >\"$here/pid\"\n"
                        "mv \"$here/pid\" \"$here/composer.pid\"\n"
                        "exec /bin/sleep 1000\n"));
    fs::permissions(folder / "zub-compose", fs::perms::owner_all);
    return (folder / "zub").string();
}

// SIGINT, SIGTERM and SIGHUP end zub at once, however long its composer would still run:
// the composer (in a process group of its own) is killed and reaped, the picture being
// written is neither created nor replaced, nothing temporary is left, a batch keeps the
// pictures it finished and says how many, and zub ends by the same signal.
TEST_F(Zub, StopSignalsEndItAtOnceAndLeaveNothingHalfDone) {
    namespace fs = std::filesystem;
    const std::string tool = zub_beside_a_stuck_composer(dir_ / "bin");
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(
        zub({"pack", "-o", "stuck.zub", "--size", "777x7", "--image", "sky.png", "--text", "0,0,#fff,x"})
            .status,
        0);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(zub({"pack", "-o", "d" + std::to_string(i) + ".zub", "--image", "sky.png"}).status, 0);
    const auto composer_started = [&] { return exists("bin/composer.pid"); };
    const auto leftovers = [&] {
        std::size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dir_))
            if (entry.path().filename().string().starts_with(".zub-output")) ++count;
        return count;
    };
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        fs::remove(dir_ / "bin/composer.pid");
        save("keep.png", to_bytes("the picture that was here"));
        child_process render({tool, "render", "stuck.zub", "keep.png"}, {}, dir_.string());
        for (int i = 0; i < 3000 && !composer_started(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(composer_started());
        const pid_t composer = std::stoi(read_text((dir_ / "bin/composer.pid").string()));
        EXPECT_NE(std::stoi(read_text((dir_ / "bin/composer.group").string())), getpgid(render.pid()));
        kill(render.pid(), signal);
        EXPECT_EQ(render.wait_exit(60), 128 + signal) << render.err();
        EXPECT_EQ(read_text((dir_ / "keep.png").string()), "the picture that was here");
        EXPECT_NE(kill(composer, 0), 0) << "the composer outlived zub";
        EXPECT_EQ(leftovers(), 0U);
    }
    // A batch: the pictures of the 66 runs of the composer before the stuck one are written
    // (more runs than zub keeps a record of at once: each is let go when it ends), the
    // stuck one's never, and its composer is ended.
    fs::remove(dir_ / "bin/composer.pid");
    constexpr int before = 66 * 8;
    std::vector<std::string> batch{tool, "render", "-d", "out"};
    for (int i = 0; i < before; ++i) {
        const std::string name = "d" + std::to_string(i) + ".zub";
        if (i >= 8) fs::copy_file(dir_ / ("d" + std::to_string(i % 8) + ".zub"), dir_ / name);
        batch.push_back(name);
    }
    batch.emplace_back("stuck.zub");
    child_process many(batch, {}, dir_.string());
    const auto written = [&] {
        std::size_t count = 0;
        for (int i = 0; i < before; ++i) {
            if (exists("out/d" + std::to_string(i) + ".png")) ++count;
        }
        return count;
    };
    for (int i = 0; i < 12000 && (written() < before || !composer_started()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(written(), std::size_t{before});
    const pid_t stuck = std::stoi(read_text((dir_ / "bin/composer.pid").string()));
    kill(many.pid(), SIGINT);
    EXPECT_EQ(many.wait_exit(60), 128 + SIGINT);
    EXPECT_TRUE(many.err().ends_with("zub: stopped by signal 2: 528 of 529 documents rendered into out\n"))
        << many.err();
    EXPECT_NE(kill(stuck, 0), 0) << "the composer outlived zub";
    EXPECT_FALSE(exists("out/stuck.png"));
    EXPECT_EQ(leftovers(), 0U);
}

// A composer that cannot be started (no zub-compose beside zub here; `ulimit -u 1` the
// same) is no fault of the document: no picture, the one there kept, one line, status 1.
TEST_F(Zub, ComposerThatCannotStartGivesNoPicture) {
    namespace fs = std::filesystem;
    fs::create_directories(dir_ / "alone");
    // zub alone: no painter's module either, and the composer is still what is said.
    fs::copy_file(ZUB_TOOL, dir_ / "alone/zub");
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--image", "sky.png", "--text", "0,0,#fff,x"}).status, 0);
    const std::string line = "zub: doc.zub: the picture cannot be composed: cannot start the decoder (" +
                             (dir_ / "alone/zub-compose").string() + "): No such file or directory\n";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"render", "doc.zub", "keep.png"},
                                               {"render", "--size", "4", "doc.zub", "keep.png"},
                                               {"info", "doc.zub"}}) {
        save("keep.png", to_bytes("the picture that was here"));
        const result r = zub(args, (dir_ / "alone/zub").string());
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_EQ(r.err, line);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(read_text((dir_ / "keep.png").string()), "the picture that was here");
    }
}

TEST_F(Zub, NamesAreEscapedWhereverTheyArePrinted) {
    const std::string evil = "\x1b[31mevil\nzub: fake\xc2\x9b.zub";
    const std::string shown = "\\x1b[31mevil\\x0azub: fake\\xc2\\x9b.zub";
    save(evil, to_bytes("ZUB"));
    document_parts parts;
    parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
    save("doc.zub", write_document(parts));
    const result info = zub({"info", evil});
    EXPECT_EQ(info.out.substr(0, info.out.find('\n')), "file: " + shown + " (3 bytes)");
    EXPECT_EQ(info_json(evil, 1)["file"], evil);
    for (const auto& [args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"render", evil, "out.png"},
              "zub: " + shown +
                  ": damaged document: the file is shorter than the "
                  "31-byte header (it has 3 bytes)"},
             {{"render", "--font", evil, "doc.zub", "out.png"}, "zub: " + shown + ": cannot open the font: "},
             {{"render", "doc.zub", "out.png", evil}, "zub render: unexpected argument '" + shown + "'"}}) {
        const result r = zub(args);
        EXPECT_EQ(r.err.substr(0, line.size()), line);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    }
}

// Every file is read within its bound: a font must be a regular file of at most 64 MiB
// (a FIFO is not waited on, a device not read, a sparse file counts by its size), a
// texts file is read up to 16 MiB, and an image that would make a document larger than
// the viewer reads is refused unread.
TEST_F(Zub, InputsAreReadWithinTheirBounds) {
    document_parts parts;
    parts.image = encode_bmp(solid(4, 4, rgba{1, 2, 3, 255}));
    save("doc.zub", write_document(parts));
    save("sky.png", encode_png(solid(4, 4, rgba{1, 2, 3, 255}), png_kind::rgb));
    ASSERT_EQ(mkfifo((dir_ / "fifo.ttf").c_str(), 0600), 0);
    std::filesystem::create_symlink("/dev/zero", dir_ / "zero.ttf");
    std::filesystem::resize_file(dir_ / save("sparse.ttf", {}), std::uint64_t{1} << 30);
    std::filesystem::resize_file(dir_ / save("huge.png", {}), std::uint64_t{2} << 30);
    const std::string not_regular = "cannot read the font: it is not a regular file\n";
    for (const auto& [args, line] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"render", "--font", "fifo.ttf", "doc.zub", "out.png"}, "fifo.ttf: " + not_regular},
             {{"render", "--font", "zero.ttf", "doc.zub", "out.png"}, "zero.ttf: " + not_regular},
             {{"render", "--font", "sparse.ttf", "doc.zub", "out.png"},
              "sparse.ttf: cannot read the font: it is larger than 67108864 bytes, the most a font may "
              "have\n"},
             {{"pack", "-o", "out.zub", "--size", "8x8", "--image", "sky.png", "--texts", "/dev/zero"},
              "/dev/zero: cannot read the file: it is larger than 16777216 bytes, the most a texts file may "
              "have\n"},
             {{"pack", "-o", "out.zub", "--size", "8x8", "--image", "huge.png"},
              "huge.png: cannot read the file: it is larger than 1073741793 bytes, the most an image in a "
              "document "
              "may have\n"}}) {
        const result r = zub(args);
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_EQ(r.err, "zub: " + line);
        EXPECT_FALSE(exists("out.png") || exists("out.zub")) << line;
    }
}

// Texts as people write them: spaces around the position and colour (never in the
// text), a plus sign, #rgb and CSS names; every bad line of a file is said, with a hint
// for a file that is not UTF-8.
TEST_F(Zub, TextsAreReadAsPeopleWriteThem) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    for (const auto& [line, colour, x, text] :
         std::vector<std::tuple<std::string, std::string, int, std::string>>{
             {" +5 , 2 ,#fa0, a b ", "#ffaa00", 5, " a b "},
             {"-3,2,  RebeccaPurple\t,x", "#663399", -3, "x"},
             {"0,0,navy,,", "#000080", 0, ","}}) {
        ASSERT_EQ(
            zub({"pack", "-o", "doc.zub", "--size", "8x8", "--image", "sky.png", "--text", line}).status, 0)
            << line;
        const nlohmann::json info = info_json("doc.zub", 0);
        EXPECT_EQ(info["records"][0]["colour"], colour) << line;
        EXPECT_EQ(info["records"][0]["x"], x) << line;
        EXPECT_EQ(info["records"][0]["text"], text) << line;
        std::filesystem::remove(dir_ / "doc.zub");
    }
    write_file((dir_ / "bad.txt").string(),
               to_bytes("0,0,#000000,good\n1,1,#12,short\n2,2,#000000,caf\xE9\n"));
    const result bad =
        zub({"pack", "-o", "doc.zub", "--size", "8x8", "--image", "sky.png", "--texts", "bad.txt"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("bad.txt:2 "), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("bad.txt:3 "), std::string::npos) << bad.err;
    EXPECT_NE(bad.err.find("iconv -f latin1 -t utf-8"), std::string::npos) << bad.err;
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 3) << bad.err;
    EXPECT_FALSE(exists("doc.zub"));
}

// unpack, then pack --from the folder and from the document itself: the same bytes, for
// every document whose fields pack writes; what it cannot write is said, or refused.
TEST_F(Zub, UnpackThenPackGivesBackTheDocument) {
    const picture pic = pattern(12, 9, false);
    const std::string longest(255, '\xff');
    const auto parts_of = [](std::int32_t width, std::int32_t height, std::int32_t depth, std::int32_t points,
                             const bytes& caption, const bytes& image,
                             const std::vector<record_parts>& records) {
        document_parts parts;
        parts.width = width;
        parts.height = height;
        parts.bits_per_pixel = depth;
        parts.font_size = points;
        parts.caption = caption;
        parts.image = image;
        parts.records = records;
        return parts;
    };
    struct row {
        const char* name;
        document_parts parts;
        const char* image_file;  // what unpack names the image
    };
    const std::vector<row> table{
        {"png",
         parts_of(
             48, 32, 32, 18, to_bytes("Caf\xC3\xA9 \xE2\x80\x93 d\xC2\x9B"), encode_png(pic, png_kind::rgb),
             {text_at(-32768, 32767, 1, 2, 3, " lead, trail "), text_at(32767, -32768, 255, 255, 255, ""),
              text_at(0, 0, 0, 0, 0, longest), text_at(5, 6, 7, 8, 9, "caf\xE9 #1,2")}),
         "image.png"},
        {"jpeg",
         parts_of(0, 20, 16, 1, to_bytes("Ros\xE9"), encode_jpeg(pic, 80), {text_at(1, 1, 9, 9, 9, "x")}),
         "image.jpg"},
        {"gif", parts_of(30, 0, 8, 16384, {}, encode_gif(pic), {}), "image.gif"},
        {"bmp", parts_of(12, 9, 24, 12, to_bytes(std::string(255, 'T')), encode_bmp(pic), {}), "image.bmp"},
        {"ppm", parts_of(12, 9, 32, 18, {}, encode_ppm(pic), {text_at(-1, -1, 0, 0, 0, "#not a comment")}),
         "image.pnm"},
        {"ilbm", parts_of(12, 9, 32, 18, {}, encode_ilbm(pic), {}), "image.lbm"},
        {"unknown", parts_of(12, 9, 0, 12, to_bytes("no image"), to_bytes("not a picture"), {}), "image.bin"},
    };
    for (const auto& [name, parts, image_file] : table) {
        const std::string doc = save(std::string(name) + ".zub", write_document(parts));
        const std::string folder = std::string(name) + "-parts";
        const result unpacked = zub({"unpack", doc, folder});
        ASSERT_EQ(unpacked.status, 0) << name << unpacked.err;
        EXPECT_EQ(read_bytes(dir_ / folder / image_file), parts.image) << name;
        for (const std::string& from : {folder, doc}) {
            std::filesystem::remove(dir_ / "again.zub");
            const result packed = zub({"pack", "--from", from, "-o", "again.zub"});
            EXPECT_EQ(packed.status, 0) << name << packed.err;
            EXPECT_EQ(read_bytes(dir_ / "again.zub"), read_bytes(dir_ / doc)) << name << " from " << from;
        }
    }

    // Unused bytes of a slot and bytes after the last record are not kept, and said.
    document_parts loose = table[0].parts;
    loose.records[0].red = 0x0101;
    loose.trailing = to_bytes("tail");
    save("loose.zub", write_document(loose));
    const result warned = zub({"unpack", "loose.zub", "loose-parts"});
    EXPECT_EQ(warned.status, 0) << warned.err;
    EXPECT_NE(warned.err.find("the unused bytes of its slots are not kept"), std::string::npos) << warned.err;
    EXPECT_NE(warned.err.find("they are not kept"), std::string::npos) << warned.err;
    // Refused, with the reason, and no folder made: a damaged document, a text a texts
    // file cannot hold, a folder that is not empty.
    document_parts cut = table[0].parts;
    cut.image_length = 1U << 20;
    document_parts tab = table[0].parts;
    tab.records[1] = text_at(0, 0, 0, 0, 0, "a\tb");
    for (const auto& [doc, folder, status, reason] :
         std::vector<std::tuple<bytes, std::string, int, std::string>>{
             {write_document(cut), "out", 1, "the image runs past the end of the file"},
             {write_document(tab), "out", 1,
              "record 2: its text has the control character U+0009 at character 2"},
             {write_document(table[0].parts), "loose-parts", 2, "loose-parts is not empty"}}) {
        save("refused.zub", doc);
        const result refused = zub({"unpack", "refused.zub", folder});
        EXPECT_EQ(refused.status, status) << reason << refused.err;
        EXPECT_NE(refused.err.find(reason), std::string::npos) << refused.err;
        EXPECT_FALSE(exists("out"));
    }
}

// pack --from changes only what the command line names.
TEST_F(Zub, PackFromChangesOnlyWhatIsNamed) {
    save("sky.png", encode_png(pattern(20, 10, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "d.zub", "--image", "sky.png", "--depth", "16", "--title", "Old", "--text",
                   "1,2,#010203,kept"})
                  .status,
              0);
    const nlohmann::json before = info_json("d.zub", 0);
    EXPECT_EQ(before["header"]["width"], 20);  // the image's own size
    EXPECT_EQ(before["header"]["height"], 10);
    ASSERT_EQ(zub({"pack", "--from", "d.zub", "--title", "New title", "-o", "d2.zub"}).status, 0);
    nlohmann::json after = info_json("d2.zub", 0);
    EXPECT_EQ(after["caption"], "New title");
    for (const char* part : {"caption", "caption_hex", "file", "file_size"}) after[part] = before[part];
    after["header"]["caption_length"] = before["header"]["caption_length"];
    after["image"]["offset"] = before["image"]["offset"];
    for (auto& record : after["records"]) record["offset"] = record["offset"].get<int>() - 6;
    EXPECT_EQ(after, before);
}

// Many documents at once: every good picture written, the same as one render gives, the
// damaged one said and counted, sub-folders kept; names that would clash are refused
// before anything is written.
TEST_F(Zub, RenderManyGoesOnPastABadDocumentAndSumsUp) {
    save("sky.png", encode_png(pattern(30, 20, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "one.zub", "--image", "sky.png", "--text", "2,3,#ff0000,many"}).status, 0);
    ASSERT_EQ(zub({"render", "one.zub", "one.png"}).status, 0);
    const auto one = read_bytes(dir_ / "one.zub");
    std::filesystem::create_directories(dir_ / "in" / "sub");
    for (int i = 0; i < 200; ++i) {
        const std::string name = (i % 20 == 0 ? "in/sub/d" : "in/d") + std::to_string(i) + ".zub";
        save(name, i == 101 ? bytes(one.begin(), one.begin() + 40) : one);
    }
    const result r = zub({"render", "-d", "out", "-r", "in"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("zub: in/d101.zub: damaged document"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("zub: 199 of 200 documents rendered into out, 1 failed\n")) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << "a progress bar where stderr is no terminal";
    const auto picture = read_bytes(dir_ / "one.png");
    for (int i = 0; i < 200; ++i) {
        const std::string name = (i % 20 == 0 ? "out/sub/d" : "out/d") + std::to_string(i) + ".png";
        if (i == 101) {
            EXPECT_FALSE(exists(name));
        } else {
            EXPECT_EQ(read_bytes(dir_ / name), picture) << name;
        }
    }
    const result clash =
        zub({"render", "-d", "clash", "one.zub", "in/d1.zub", "in/sub/d0.zub", "in/../one.zub"});
    EXPECT_EQ(clash.status, 2);
    EXPECT_NE(clash.err.find("\"one.zub\" and \"in/../one.zub\" would both be written as \"clash/one.png\""),
              std::string::npos)
        << clash.err;
    EXPECT_FALSE(exists("clash"));

    // On a terminal, a bar with the count; the reports stay in the order given.
    const result shown = zub({"render", "-d", "bar", "in/sub", "-r"});
    const command_result bar = run_command(
        "cd " + dir_.string() + " && script -qec '" ZUB_TOOL " render -d bar -r in/sub' /dev/null");
    EXPECT_NE(bar.out.find("\r\033[K["), std::string::npos) << bar.out;
    EXPECT_NE(bar.out.find("]  10/10  "), std::string::npos) << bar.out;
    EXPECT_EQ(shown.status, 0) << shown.err;
    const result lines = zub({"info", "--json", "in/d1.zub", "in/d101.zub", "in/d2.zub"});
    EXPECT_EQ(lines.status, 1);
    std::istringstream each(lines.out);
    std::vector<std::string> files;
    for (std::string line; std::getline(each, line);) files.push_back(nlohmann::json::parse(line)["file"]);
    EXPECT_EQ(files, (std::vector<std::string>{"in/d1.zub", "in/d101.zub", "in/d2.zub"}));
}

// JPEG, WebP and PPM as another decoder reads them, within the codec's loss; standard input
// and output stand for files.
TEST_F(Zub, RenderWritesTheFormatsTheWebTakes) {
    save("sky.png", encode_png(pattern(64, 48, false), png_kind::rgb));
    ASSERT_EQ(zub({"pack", "-o", "d.zub", "--image", "sky.png", "--text", "4,4,white,web"}).status, 0);
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"d.zub", "d.png"},
                                               {"d.zub", "d.jpg"},
                                               {"--quality", "50", "d.zub", "low.jpg"},
                                               {"d.zub", "d.webp"},
                                               {"--quality", "80", "d.zub", "lossy.webp"},
                                               {"--format", "webp", "d.zub", "no-extension"},
                                               {"d.zub", "d.ppm"}}) {
        std::vector<std::string> command{"render"};
        command.insert(command.end(), args.begin(), args.end());
        ASSERT_EQ(zub(command).status, 0) << args.back();
    }
    // Each picture's mean difference from the PNG in a channel, by Pillow, beside that of
    // Pillow's own encoding of the PNG at the same quality (0: lossless).
    const std::string compare =
        "/usr/bin/python3 -c 'import io, sys; from PIL import Image, ImageChops, ImageStat\n"
        "a = Image.open(sys.argv[1]).convert(\"RGB\"); b = Image.open(sys.argv[2]); q = int(sys.argv[3])\n"
        "def error(c): return max(ImageStat.Stat(ImageChops.difference(a, c.convert(\"RGB\"))).mean)\n"
        "own = io.BytesIO(); a.save(own, b.format, quality=q, lossless=q == 0); own.seek(0)\n"
        "print(b.format, error(b), error(Image.open(own)))' ";
    for (const auto& [file, format, quality] :
         std::vector<std::tuple<std::string, std::string, int>>{{"d.jpg", "JPEG", 90},
                                                                {"low.jpg", "JPEG", 50},
                                                                {"d.webp", "WEBP", 0},
                                                                {"lossy.webp", "WEBP", 80},
                                                                {"no-extension", "WEBP", 0},
                                                                {"d.ppm", "PPM", 0}}) {
        const std::string figures = command_output(compare + (dir_ / "d.png").string() + " " +
                                                   (dir_ / file).string() + " " + std::to_string(quality));
        std::istringstream read(figures);
        std::string got_format;
        double ours = -1;
        double pillows = -1;
        read >> got_format >> ours >> pillows;
        EXPECT_EQ(got_format, format) << file << ": " << figures;
        EXPECT_GE(ours, 0) << file << ": " << figures;
        EXPECT_LE(ours, pillows * 1.25 + 0.25) << file << ": " << figures;
        if (quality == 0) {
            EXPECT_EQ(ours, 0) << file;
        }
    }
    const command_result piped =
        run_command("cd " + dir_.string() + " && " ZUB_TOOL " render - - < d.zub > piped.png");
    EXPECT_EQ(piped.status, 0) << piped.out;
    EXPECT_EQ(read_bytes(dir_ / "piped.png"), read_bytes(dir_ / "d.png"));
}

// Texts files: a byte-order mark, comments and empty lines are skipped, and --text and
// --texts are stored in the order they are given, which is the order they are drawn in.
TEST_F(Zub, TextsAreStoredInTheOrderGiven) {
    save("sky.png", encode_png(pattern(8, 8, false), png_kind::rgb));
    save("more.txt", to_bytes("\xEF\xBB\xBF# a comment\n\n2,2,#000002,second\r\n   \n#3,3,#000000,not a "
                              "text\n3,3,#000003,third\n"));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--size", "16x16", "--image", "sky.png", "--text",
                   "1,1,#000001,first", "--texts", "more.txt", "--text", "4,4,#000004,fourth"})
                  .status,
              0);
    const nlohmann::json info = info_json("doc.zub", 0);
    ASSERT_EQ(info["records"].size(), 4U) << info["records"].dump();
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(info["records"][i]["x"], i + 1);
        EXPECT_EQ(info["records"][i]["colour"], "#00000" + std::to_string(i + 1));
    }
    EXPECT_EQ(info["records"][0]["text"], "first");
    EXPECT_EQ(info["records"][1]["text"], "second");
}

// The viewer shows stored colours without their alpha, and paints no pixel of a
// transparent colour: packing an image with a pixel that is not opaque says what the
// window shows, and packs it; an alpha channel or a colour key that no pixel uses is no
// reason to warn.
TEST_F(Zub, PackWarnsThatTransparencyIsNotShown) {
    const picture pic = pattern(8, 8, true);
    picture translucent = pic;
    translucent.pixels[9].a = 128;
    save("alpha.png", encode_png(translucent, png_kind::rgba));
    save("opaque-alpha.png", encode_png(pic, png_kind::rgba));
    save("keyed.gif", encode_gif(pic, vivid_colours[0]));
    save("plain.png", encode_png(pic, png_kind::rgb));
    save("grey.png", encode_png(pic, png_kind::grey, 7));
    const std::string alpha =
        "warning: the image has an alpha channel; its transparency will not be shown (the viewer shows every "
        "pixel's stored colour)";
    const std::string keyed =
        "warning: the image has a transparent colour; the viewer does not paint it (the window's black shows "
        "through)";
    const std::string grey =
        "warning: the image is grey with a transparent grey; the viewer shows it as SDL 1.2 converts it, "
        "each "
        "pixel's grey in red and its opacity in green";
    for (const auto& [image, warning] :
         std::vector<std::pair<std::string, std::string>>{{"alpha.png", alpha},
                                                          {"opaque-alpha.png", ""},
                                                          {"keyed.gif", keyed},
                                                          {"plain.png", ""},
                                                          {"grey.png", grey}}) {
        const result r = zub({"pack", "-o", "doc.zub", "--size", "8x8", "--image", image});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(exists("doc.zub"));
        EXPECT_EQ(r.err, warning.empty() ? "" : "zub: " + image + ": " + warning + "\n");
    }
}

// What the viewer warns about and what info reports as warnings are one list: render
// composes as the viewer does and says the same sentences.
TEST_F(Zub, InfoWarnsAboutWhatTheViewerLeavesOut) {
    const bytes jpeg = encode_jpeg(pattern(40, 30, true), 90);
    const auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        std::sort(out.begin(), out.end());
        return out;
    };
    // A JPEG cut in its data (filled in), a text over the bound and a cut record; then the
    // same with a JPEG cut in its headers, which is not shown at all (and so not said to
    // be filled in).
    for (const auto& [cut, warnings] :
         std::vector<std::pair<std::size_t, std::size_t>>{{jpeg.size() / 2, 3}, {100, 3}}) {
        document_parts parts;
        parts.width = 40;
        parts.height = 30;
        parts.font_size = 16384;
        parts.image = bytes(jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(cut));
        parts.records = {text_at(0, 0, 0, 0, 0, "WW"), text_at(0, 0, 0, 0, 0, "cut")};
        parts.records[1].text_length = 99;
        save("doc.zub", write_document(parts));
        const result rendered = zub({"render", "doc.zub", "out.png"});
        ASSERT_EQ(rendered.status, 0) << rendered.err;
        std::string from_info;
        const nlohmann::json info = info_json("doc.zub", 1);
        for (const auto& p : info["problems"]) {
            if (p["severity"] == "warning")
                from_info += "zub: doc.zub: " + p["message"].get<std::string>() + "\n";
        }
        EXPECT_EQ(lines(rendered.err), lines(from_info));
        EXPECT_EQ(lines(from_info).size(), warnings) << from_info;
    }
}

// In an 8-bit window an image with an alpha channel shows its stored colours, within
// the steps of the palette (3 bits of red and green, 2 of blue), on both runtimes.
TEST_F(Zub, ImageWithAlphaShowsInAnEightBitWindow) {
    const picture pic = pattern(16, 8, true);
    save("alpha.png", encode_png(pic, png_kind::rgba));
    ASSERT_EQ(zub({"pack", "-o", "doc.zub", "--size", "16x8", "--depth", "8", "--image", "alpha.png"}).status,
              0);
    const result r = zub({"render", "doc.zub", "out.png"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const dummy_sdl sdl;
    SDL_Surface* png = IMG_Load((dir_ / "out.png").c_str());
    ASSERT_NE(png, nullptr) << IMG_GetError();
    const picture shown = read_back(png);
    SDL_FreeSurface(png);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 16; ++x) {
            const rgba want = pic.at(x, y);
            const rgba got = shown.at(x, y);
            EXPECT_LE(std::abs(want.r - got.r), 37) << x << "," << y;
            EXPECT_LE(std::abs(want.g - got.g), 37) << x << "," << y;
            EXPECT_LE(std::abs(want.b - got.b), 85) << x << "," << y;
        }
    }
}

// An output never destroys an input, a link or a device, and keeps an existing file's
// permissions.
class ZubOutput : public Zub {
protected:
    void SetUp() override {
        Zub::SetUp();
        save("sky.png", encode_png(pattern(8, 8, true), png_kind::rgb));
        ASSERT_EQ(pack("doc.zub").status, 0);
        document_ = read("doc.zub");
    }
    result pack(const std::string& out) {
        return zub({"pack", "-o", out, "--size", "8x8", "--image", "sky.png"});
    }
    bytes read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bytes document_;
};

TEST_F(ZubOutput, OutputThatIsAnInputIsRefusedAndNothingWritten) {
    std::filesystem::create_hard_link(dir_ / "doc.zub", dir_ / "hard.zub");
    std::filesystem::create_symlink("doc.zub", dir_ / "link.zub");
    std::filesystem::create_directory(dir_ / "sub");
    const bytes image = read("sky.png");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"pack", "-o", "sky.png", "--size", "8x8", "--image", "sky.png"},
             {"pack", "-o", "sub/../sky.png", "--size", "8x8", "--image", "sky.png"},
             {"render", "doc.zub", "doc.zub"},
             {"render", "doc.zub", "hard.zub"},
             {"render", "doc.zub", "link.zub"},
             {"render", "link.zub", "./sub/../doc.zub"},
             {"render", "doc.zub", "sub"}}) {
        const result r = zub(args);
        EXPECT_EQ(r.status, 2) << args[2];
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind("zub " + args[0] + ": ", 0), 0U) << r.err;
        EXPECT_EQ(read("doc.zub"), document_) << args[2];
        EXPECT_EQ(read("sky.png"), image) << args[2];
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.zub"));
    // Standard input is an input, whatever names it.
    for (const char* command :
         {" render - - <doc.zub 1<>doc.zub", " pack --from - --title x -o - <doc.zub 1<>doc.zub"}) {
        const command_result r = run_command("cd " + dir_.string() + " && " ZUB_TOOL + std::string(command) +
                                             " 2>err.txt; echo $?");
        EXPECT_EQ(r.out, "2\n") << command;
        EXPECT_EQ(read("doc.zub"), document_) << command;
    }
}

// A picture never goes over a document (`zub render *.zub`), nor into a file named for
// another format than it is written in; nothing is composed first. Names without an
// extension, as file managers give their thumbnails, are written.
// A document may be written over the one it starts from, by any name: it is read whole,
// and the new one replaces it by a rename.
TEST_F(ZubOutput, PackWritesADocumentOverTheOneItStartsFrom) {
    std::filesystem::create_symlink("doc.zub", dir_ / "link.zub");
    for (const char* out : {"doc.zub", "link.zub"}) {
        const result r = zub({"pack", "--from", "doc.zub", "-o", out, "--title", out});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(info_json("doc.zub", 0)["caption"], out);
    }
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.zub"));
}

TEST_F(ZubOutput, RenderWritesNoPictureOverADocumentOrUnderAnotherFormatsName) {
    save("b.zub", document_);
    save("renamed.png", document_);
    std::filesystem::create_symlink("b.zub", dir_ / "link.png");
    const std::string over =
        " is a ZUB document: zub render writes one picture of one document; several "
        "documents are rendered with -d DIR; see 'zub render --help'\n";
    const std::string named =
        ": zub render writes pictures as PNG (.png), JPEG (.jpg, .jpeg, .jpe, .jfif), WebP (.webp), PPM "
        "(.ppm, "
        ".pnm); see 'zub render --help'\n";
    for (const auto& [input, out, err] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"doc.zub", "b.zub", "zub render: b.zub" + over},
             {"doc.zub", "renamed.png", "zub render: renamed.png" + over},
             {"doc.zub", "link.png", "zub render: link.png" + over},
             {"sky.png", "x.gif", "zub render: x.gif is named as a GIF picture" + named},
             {"doc.zub", "X.Tiff", "zub render: X.Tiff is named as a TIFF picture" + named},
             {"doc.zub", "new.zub", "zub render: new.zub is named as a ZUB document" + named},
             {"doc.zub", ".gnome_desktop_thumbnail.Ab12Cd", ""},
             {"doc.zub", "no-extension", ""},
             {"doc.zub", "upper.PNG", ""}}) {
        const result r = zub({"render", input, out});
        EXPECT_EQ(r.err, err) << out;
        EXPECT_EQ(r.status, err.empty() ? 0 : 2) << out;
        const bytes made = read(out);
        if (err.empty()) {
            EXPECT_TRUE(made.size() > 4 && made[0] == 0x89 && made[1] == 'P') << out;
        }
    }
    for (const char* refused : {"x.gif", "X.Tiff", "new.zub"}) EXPECT_FALSE(exists(refused)) << refused;
    EXPECT_EQ(read("b.zub"), document_);
    EXPECT_EQ(read("renamed.png"), document_);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.png"));
}

TEST_F(ZubOutput, LinkIsFollowedAndKept) {
    std::filesystem::create_symlink("target.png", dir_ / "link.png");  // to a file not made yet
    ASSERT_EQ(zub({"render", "doc.zub", "link.png"}).status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "link.png"));
    EXPECT_EQ(read("target.png").size(), read("link.png").size());
    EXPECT_GT(read("target.png").size(), 8U);
    save("other.zub", to_bytes("old"));
    std::filesystem::create_symlink("other.zub", dir_ / "doc-link.zub");
    ASSERT_EQ(pack("doc-link.zub").status, 0);
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "doc-link.zub"));
    EXPECT_EQ(read("other.zub"), document_);
}

// fs.protected_symlinks set for a test, and put back after it.
class symlink_protection {
public:
    explicit symlink_protection(char setting) {
        std::ifstream("/proc/sys/fs/protected_symlinks") >> before_;
        std::ofstream out("/proc/sys/fs/protected_symlinks");
        set_ = !before_.empty() && (out << setting << '\n').flush();
    }
    ~symlink_protection() {
        if (set_) std::ofstream("/proc/sys/fs/protected_symlinks") << before_ << '\n';
    }
    symlink_protection(const symlink_protection&) = delete;
    symlink_protection& operator=(const symlink_protection&) = delete;
    bool set() const { return set_; }

private:
    std::string before_;
    bool set_ = false;
};

// In a sticky world-writable folder (/tmp) the kernel follows a link only for its owner,
// or when the folder's owner owns it too (fs.protected_symlinks): another user's link
// there leads to no file of this one. cp is refused or not alike, so the rule is the
// kernel's own.
TEST_F(ZubOutput, LinkInASharedFolderIsFollowedAsTheKernelFollowsIt) {
    if (geteuid() != 0) GTEST_SKIP() << "a link of another user is made as root only";
    const passwd* other = getpwnam("nobody");
    ASSERT_NE(other, nullptr);
    const uid_t root = 0;
    const uid_t nobody = other->pw_uid;
    struct shared_case {
        char setting;
        unsigned folder_mode;
        uid_t folder_owner;
        uid_t link_owner;
        bool refused;
    };
    for (const shared_case& c :
         {shared_case{'1', 01777, root, nobody, true}, shared_case{'1', 01777, root, root, false},
          shared_case{'1', 01777, nobody, nobody, false}, shared_case{'1', 0777, root, nobody, false},
          shared_case{'0', 01777, root, nobody, false}}) {
        const symlink_protection protection(c.setting);
        if (!protection.set()) GTEST_SKIP() << "fs.protected_symlinks cannot be set here";
        std::ostringstream what;
        what << "setting " << c.setting << ", folder " << std::oct << c.folder_mode << std::dec << " of uid "
             << c.folder_owner << ", link of uid " << c.link_owner;
        const std::filesystem::path shared = dir_ / "shared";
        std::filesystem::remove_all(shared);
        std::filesystem::create_directory(shared);
        ASSERT_EQ(chmod(shared.c_str(), c.folder_mode), 0);
        ASSERT_EQ(chown(shared.c_str(), c.folder_owner, 0), 0);
        save("victim.txt", to_bytes("victim\n"));
        std::filesystem::create_symlink(dir_ / "victim.txt", shared / "out.png");
        ASSERT_EQ(lchown((shared / "out.png").c_str(), c.link_owner, 0), 0);

        const result r = zub({"render", "doc.zub", "shared/out.png"});
        EXPECT_EQ(r.status, c.refused ? 1 : 0) << what.str();
        EXPECT_EQ(r.err, c.refused ? "zub: cannot write shared/out.png: Permission denied\n" : "")
            << what.str();
        EXPECT_EQ(read("victim.txt") == to_bytes("victim\n"), c.refused) << what.str();
        const command_result cp = run_command("cd " + dir_.string() + " && cp sky.png shared/out.png 2>&1");
        EXPECT_EQ(cp.status != 0, c.refused) << what.str() << ": " << cp.out;
        EXPECT_TRUE(std::filesystem::is_symlink(shared / "out.png")) << what.str();
    }
}

// An empty file, as a thumbnailer hands it, is written in place (it reads it back through
// its own descriptor), unless another user made it in a shared folder to read the picture.
TEST_F(ZubOutput, EmptyOutputIsWrittenInPlaceUnlessAnotherUsersInASharedFolder) {
    if (geteuid() != 0) GTEST_SKIP() << "a file of another user is made as root only";
    const passwd* other = getpwnam("nobody");
    ASSERT_NE(other, nullptr);
    const std::filesystem::path shared = dir_ / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    for (const auto& [owner, in_place] :
         std::vector<std::pair<uid_t, bool>>{{0, true}, {other->pw_uid, false}}) {
        std::filesystem::remove(shared / "out.png");
        save("shared/out.png", {});
        ASSERT_EQ(chown((shared / "out.png").c_str(), owner, 0), 0);
        ASSERT_EQ(chmod((shared / "out.png").c_str(), 0666), 0);
        struct stat before {};
        ASSERT_EQ(stat((shared / "out.png").c_str(), &before), 0);
        EXPECT_EQ(zub({"render", "doc.zub", "shared/out.png"}).status, 0) << owner;
        struct stat after {};
        ASSERT_EQ(stat((shared / "out.png").c_str(), &after), 0);
        EXPECT_EQ(after.st_ino == before.st_ino, in_place) << owner;
        EXPECT_GT(after.st_size, 0) << owner;
    }
}

TEST_F(ZubOutput, ExistingFileKeepsItsPermissions) {
    std::filesystem::permissions(dir_ / "doc.zub", std::filesystem::perms(0664));
    ASSERT_EQ(pack("doc.zub").status, 0);
    EXPECT_EQ(std::filesystem::status(dir_ / "doc.zub").permissions(), std::filesystem::perms(0664));
}

TEST_F(ZubOutput, FifoIsWrittenDirectly) {
    ASSERT_EQ(mkfifo((dir_ / "pipe").c_str(), 0600), 0);
    const std::string got = (dir_ / "got").string();
    // A reader in the background takes what comes through the FIFO.
    child_process reader({"/bin/sh", "-c", "cat pipe > got"}, {}, dir_.string());
    ASSERT_EQ(pack("pipe").status, 0);
    ASSERT_EQ(reader.wait_exit(10), 0);
    EXPECT_EQ(read("got"), document_);
    EXPECT_TRUE(std::filesystem::is_fifo(dir_ / "pipe"));
}

// /dev/stdout is written through the descriptor the shell opened, here for appending.
TEST_F(ZubOutput, StandardOutputIsWrittenThroughItsDescriptor) {
    save("log", to_bytes("before\n"));
    EXPECT_EQ(
        run_command("cd " + dir_.string() + " && " + ZUB_TOOL + " render doc.zub /dev/stdout >> log").status,
        0);
    const bytes log = read("log");
    ASSERT_GT(log.size(), 12U);
    EXPECT_EQ(bytes(log.begin(), log.begin() + 11), to_bytes("before\n\x89PNG"));
}

TEST_F(ZubOutput, WriteErrorsNameThePathAndTheReason) {
    result r = pack("no-such-folder/doc.zub");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zub: cannot write no-such-folder/doc.zub: No such file or directory\n");
    std::filesystem::create_symlink("loop-b", dir_ / "loop-a");
    std::filesystem::create_symlink("loop-a", dir_ / "loop-b");
    r = pack("loop-a");
    EXPECT_EQ(r.err, "zub: cannot write loop-a: Too many levels of symbolic links\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir_ / "loop-a"));
    r = zub({"render", "doc.zub", "out.png", "--font", "no-such.ttf"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zub: no-such.ttf: cannot open the font: No such file or directory\n");
    EXPECT_FALSE(exists("out.png"));
    if (geteuid() != 0) GTEST_SKIP() << "/dev/full is written as root only";
    r = pack("/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zub: cannot write /dev/full: No space left on device\n");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    r = zub({"render", "doc.zub", "/dev/full"});
    EXPECT_EQ(r.err, "zub: cannot write /dev/full: No space left on device\n");
    EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));
    // An empty output (a thumbnailer's) that cannot take the whole picture is left empty: a
    // desktop-sized picture's first 4 KiB fit in the file system, the rest does not.
    ASSERT_EQ(zub({"pack", "-o", "desktop.zub", "--size", "0x0", "--image", "sky.png"}).status, 0);
    std::filesystem::create_directory(dir_ / "small");
    const command_result full = run_command(
        "cd " + dir_.string() +
        " && unshare -m sh -c 'mount -t tmpfs -o size=4k zub small || exit 77; "
        ": > small/empty.png; " +
        ZUB_TOOL + " render desktop.zub small/empty.png 2>&1; echo $?; stat -c %s small/empty.png'");
    if (full.status == 77) GTEST_SKIP() << "no file system of 4 KiB can be mounted here";
    EXPECT_EQ(full.out, "zub: cannot write small/empty.png: No space left on device\n1\n0\n");
}

}  // namespace
}  // namespace zub::test
