// The zub tool: pack, info and render, round trips and refusals.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/sdl_fixture.hpp"
#include "tests/x_session.hpp"
#include "view/compose.hpp"

namespace zub::test {
namespace {

struct result {
    int status = -1;
    std::string out, err;
};

class Zub : public ::testing::Test {
protected:
    void SetUp() override { dir_ = make_work_folder("zub-tool"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    result zub(const std::vector<std::string>& args) {
        std::vector<std::string> argv{ZUB_TOOL};
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

    nlohmann::json info_json(const std::string& name, int expected_status) {
        const result r = zub({"info", name, "--json"});
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
    EXPECT_EQ(info["caption"], "Caf\\xc3\\xa9");  // the title's UTF-8 bytes, stored as given
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
    EXPECT_EQ(info["records"][2]["text"], "caf\\xe9");  // stored as Latin-1
    EXPECT_EQ(info["records"][2]["length"], 4);
    EXPECT_EQ(info["records"][2]["y"], -2);
    EXPECT_EQ(info["records"][2]["x"], 30);
    EXPECT_TRUE(info["problems"].empty()) << info["problems"].dump();

    const result text = zub({"info", "doc.zub"});
    EXPECT_NE(text.out.find("window: 64x48, depth 24\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("  2 at offset "), std::string::npos) << text.out;
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
    EXPECT_TRUE(compose_document(file, sections_of(file), screen, (dir_ / "Consola.ttf").c_str()).empty());
    SDL_Surface* png = IMG_Load((dir_ / "out.png").c_str());
    ASSERT_NE(png, nullptr) << IMG_GetError();
    EXPECT_EQ(read_back(png).pixels, read_back(screen).pixels);
    SDL_FreeSurface(png);
}

TEST_F(Zub, PackRefusesWhatTheViewerCouldNotShowAndWritesNothing) {
    save("sky.png", encode_png(pattern(8, 8, true), png_kind::rgb));
    bytes tga{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24, 0, 10, 20, 30};  // a 1x1 TGA
    save("dot.tga", tga);
    save("notes.txt", to_bytes("not an image"));
    const std::size_t before = files_in_folder();
    const std::vector<std::string> base{"pack", "-o", "doc.zub", "--size", "16x16"};
    for (const auto& [extra, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--image", "sky.png", "--text", "0,0,#000000,\xE2\x82\xAC uro"},
              "U+20AC, which is outside Latin-1"},
             {{"--image", "sky.png", "--text", "0,0,#000000," + std::string(200, 'a') + std::string(60, 'b')},
              "is 260 bytes long (at most 255)"},
             {{"--image", "sky.png", "--text",
               "0,0,#000000," + std::string(128, '\xC3') + std::string(128, '\xA9')},
              "is not valid UTF-8"},
             {{"--image", "sky.png", "--text", "40000,0,#000000,far"},
              "the position is outside -32768..32767"},
             {{"--image", "sky.png", "--text", "0,-32769,#000000,far"},
              "the position is outside -32768..32767"},
             {{"--image", "sky.png", "--text", "0,0,red,colour"}, "the colour is not #RRGGBB"},
             {{"--image", "sky.png", "--text", "0,0"}, "is not in the form X,Y,#RRGGBB,TEXT"},
             {{"--image", "sky.png", "--title", std::string(256, 't')}, "the title is 256 bytes long"},
             {{"--image", "dot.tga"}, "cannot be shown by the viewer"},
             {{"--image", "notes.txt"}, "cannot be shown by the viewer"},
             {{"--image", "missing.png"}, "missing.png: cannot open the file"}}) {
        std::vector<std::string> args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        const result r = zub(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_FALSE(exists("doc.zub")) << message;
        EXPECT_EQ(files_in_folder(), before) << "a temporary file was left behind: " << message;
    }
    for (const auto& [option, value] :
         std::vector<std::pair<std::string, std::string>>{{"--size", "0x10"},
                                                          {"--size", "20000x10"},
                                                          {"--size", "wide"},
                                                          {"--depth", "15"},
                                                          {"--font-size", "0"}}) {
        std::vector<std::string> args{"pack", "-o", "doc.zub", "--image", "sky.png", option, value};
        if (option != "--size") args.insert(args.end(), {"--size", "16x16"});
        const result r = zub(args);
        EXPECT_EQ(r.status, 1) << option << " " << value;
        EXPECT_FALSE(exists("doc.zub"));
    }
}

TEST_F(Zub, InfoReportsEveryProblemAtItsOffset) {
    const bytes png = encode_png(pattern(4, 4, true), png_kind::rgb);
    struct damaged_case {
        std::string name;
        bytes file;
        std::uint64_t offset;
        std::string message;
    };
    std::vector<damaged_case> cases;
    cases.push_back({"short", to_bytes("ZUB\x01\x02"), 5, "shorter than the 31-byte header"});
    {
        document_parts s;
        s.caption = to_bytes("abc");
        s.caption_length = 100;
        cases.push_back({"caption", write_document(s), 31, "the caption runs past the end"});
    }
    {
        document_parts s;
        s.caption = to_bytes("abcd");
        s.image = png;
        s.image_length = static_cast<std::uint32_t>(png.size() + 10);
        cases.push_back({"image", write_document(s), 35, "the image runs past the end"});
    }
    {
        document_parts s;
        s.image_length = 0xFFFFFFFF;
        cases.push_back({"negative", write_document(s), 27, "the image length is negative"});
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
        cases.push_back(
            {"record", write_document(s), first_record + 26, "text record 2 of 2 runs past the end"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, std::string(256, 'x'))};
        cases.push_back(
            {"long", write_document(s), first_record + 20, "is 256 bytes long; only the first 255"});
    }
    {
        document_parts s = good;
        s.caption = to_bytes(std::string("ab\0cd", 5));
        cases.push_back({"zero", write_document(s), 33, "the caption has a zero byte"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, "slot")};
        s.records[0].green = 0x0100;
        cases.push_back({"slot", write_document(s), first_record + 5, "unused part of a colour slot"});
    }
    {
        document_parts s = good;
        s.records = {text_at(0, 0, 0, 0, 0, "slot")};
        s.records[0].y = 0x00010000;
        cases.push_back({"position", write_document(s), first_record + 18, "unused part of a position slot"});
    }
    {
        document_parts s = good;
        s.trailing = bytes(7, 1);
        cases.push_back({"trailing", write_document(s), first_record, "7 bytes after the last record"});
    }
    {
        document_parts s = good;
        s.image = to_bytes("not an image");
        cases.push_back({"undecodable", write_document(s), 31, "the image does not decode"});
    }
    {
        document_parts s = good;
        s.records = {text_at(-200, 0, 0, 0, 0, "left"), text_at(0, 30, 0, 0, 0, "below")};
        cases.push_back(
            {"outside", write_document(s), first_record, "text record 1 is drawn wholly outside"});
    }
    for (const damaged_case& c : cases) {
        const nlohmann::json info = info_json(save(c.name + ".zub", c.file), 1);
        bool found = false;
        for (const auto& p : info["problems"]) {
            if (p["offset"] == c.offset &&
                p["message"].get<std::string>().find(c.message) != std::string::npos) {
                found = true;
            }
        }
        EXPECT_TRUE(found) << c.name << ": " << info["problems"].dump();
    }
    EXPECT_EQ(info_json(save("text.txt", to_bytes("A plain file")), 1)["is_document"], false);
}

TEST_F(Zub, CommandLine) {
    EXPECT_EQ(zub({}).status, 2);
    EXPECT_EQ(zub({"info"}).status, 2);
    EXPECT_EQ(zub({"frobnicate"}).status, 2);
    EXPECT_EQ(zub({"render", "only-one.zub"}).status, 2);
    const result help = zub({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("pack"), std::string::npos);
    const result pack_help = zub({"pack", "--help"});
    EXPECT_EQ(pack_help.status, 0);
    EXPECT_NE(pack_help.out.find("--texts"), std::string::npos);
    const result version = zub({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("zub ") + ZUB_VERSION_TEXT + "\n");
}

}  // namespace
}  // namespace zub::test
