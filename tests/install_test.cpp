// Installing: the files a staged install lays down, the desktop's view of them (the
// entry, the document type, the manual pages), and the Debian package.
#include <SDL_image.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "tests/doc_writer.hpp"
#include "tests/images.hpp"
#include "tests/sdl_fixture.hpp"
#include "tests/x_session.hpp"

namespace zub::test {
namespace {

namespace fs = std::filesystem;

// What a staged install of the project holds, and nothing else: no database that a
// tool would have written at install time.
std::set<std::string> installed_files() {
    return {
        "usr/bin/zub",
        "usr/bin/zub-open",
        "usr/bin/zub_reader",
        "usr/lib/x86_64-linux-gnu/zub-reader/zub-picture.so",
        "usr/lib/x86_64-linux-gnu/zub-reader/zub-window.so",
        "usr/libexec/zub-reader/zub-compose",
        "usr/share/applications/zub_reader.desktop",
        "usr/share/bash-completion/completions/zub",
        "usr/share/doc/zub-reader/changelog.gz",
        "usr/share/doc/zub-reader/copyright",
        "usr/share/doc/zub-reader/examples/welcome.zub",
        "usr/share/man/man1/zub-open.1.gz",
        "usr/share/man/man1/zub.1.gz",
        "usr/share/man/man1/zub_reader.1.gz",
        "usr/share/mime/packages/zub_reader.xml",
        "usr/share/thumbnailers/zub.thumbnailer",
    };
}

std::set<std::string> files_under(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

// The process id of a running zub_reader whose command line holds `document`, or 0.
pid_t viewer_showing(const std::string& document) {
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (read_text(entry.path() / "comm") != "zub_reader\n") continue;
        if (read_text(entry.path() / "cmdline").find(document) == std::string::npos) continue;
        return std::stoi(name);
    }
    return 0;
}

// The project installed with DESTDIR into a folder of the suite's own, once.
class Install : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        root_ = fs::temp_directory_path() / ("zub-install-" + std::to_string(getpid()));
        fs::remove_all(root_);
        staged_ = root_ / "stage";
        install_ = run_command("DESTDIR=" + quote(staged_.string()) + " cmake --install " +
                               quote(ZUB_BUILD_DIR) + " --prefix /usr 2>&1");
    }
    static void TearDownTestSuite() { fs::remove_all(root_); }

    // A folder of the test's own for databases built from the staged files.
    static fs::path scratch(const std::string& name) {
        fs::path dir = root_ / name;
        fs::create_directories(dir);
        return dir;
    }

    // XDG_DATA_DIRS that put `share` before the system's folders.
    static std::string data_dirs(const fs::path& share) {
        return "XDG_DATA_DIRS=" + quote(share.string() + ":/usr/share");
    }

    static fs::path root_;
    static fs::path staged_;
    static command_result install_;
};
fs::path Install::root_;
fs::path Install::staged_;
command_result Install::install_;

TEST_F(Install, StagedInstallPutsEveryFileInPlaceAndRunsNothing) {
    ASSERT_EQ(install_.status, 0) << install_.out;
    EXPECT_EQ(files_under(staged_), installed_files());
    // Nothing is run at install time when DESTDIR is set.
    EXPECT_EQ(install_.out.find("Running"), std::string::npos) << install_.out;
    for (const char* program : {"usr/bin/zub", "usr/bin/zub_reader", "usr/bin/zub-open"}) {
        EXPECT_EQ(access((staged_ / program).c_str(), X_OK), 0) << program;
    }
    // Compressed with no name and no time in the header (gzip -9n): the same bytes each build.
    const std::string gzip_header("\x1f\x8b\x08\0\0\0\0\0", 8);
    for (const char* file : {"usr/share/man/man1/zub_reader.1.gz", "usr/share/man/man1/zub.1.gz",
                             "usr/share/doc/zub-reader/changelog.gz"}) {
        EXPECT_EQ(read_text(staged_ / file).substr(0, 8), gzip_header) << file;
    }
    std::string page = read_text(fs::path(ZUB_SOURCE_DIR) / "docs/man/zub_reader.1");
    page.replace(page.find("@PROJECT_VERSION@"), 17, ZUB_VERSION_TEXT);
    EXPECT_EQ(command_output("gzip -dc " + quote(staged_ / "usr/share/man/man1/zub_reader.1.gz")), page);
    EXPECT_EQ(read_text(staged_ / "usr/share/mime/packages/zub_reader.xml"),
              read_text(fs::path(ZUB_SOURCE_DIR) / "desktop/zub_reader.xml"));
}

TEST_F(Install, DirectInstallRefreshesTheDesktopDatabasesUnderItsPrefix) {
    const fs::path prefix = scratch("prefix");
    const command_result direct = run_command("cmake --install " + quote(ZUB_BUILD_DIR) + " --prefix " +
                                              quote(prefix.string()) + " 2>&1");
    ASSERT_EQ(direct.status, 0) << direct.out;
    EXPECT_TRUE(fs::exists(prefix / "share/mime/mime.cache")) << direct.out;
    EXPECT_TRUE(fs::exists(prefix / "share/applications/mimeinfo.cache")) << direct.out;
}

TEST_F(Install, DocumentTypeFollowsTheSchemaAndIsKnownByItsMagic) {
    const fs::path xml = staged_ / "usr/share/mime/packages/zub_reader.xml";
    const command_result valid =
        run_command("xmllint --noout --schema " + quote(ZUB_MIME_SCHEMA) + " " + quote(xml) + " 2>&1");
    EXPECT_EQ(valid.status, 0) << valid.out;

    const fs::path share = scratch("mime-share");
    fs::create_directories(share / "mime/packages");
    fs::copy_file(xml, share / "mime/packages/zub_reader.xml");
    const command_result update =
        run_command("update-mime-database " + quote((share / "mime").string()) + " 2>&1");
    ASSERT_EQ(update.status, 0) << update.out;

    // A document is known by its first bytes whatever it is called, and by its name.
    const fs::path files = scratch("mime-files");
    document_parts parts;
    parts.image = to_bytes("not looked at");
    const bytes document = write_document(parts);
    write_file((files / "no-extension").string(), document);
    write_file((files / "letter.dat").string(), document);
    write_file((files / "named.zub").string(), to_bytes("ZUX: not a document, but named like one"));
    write_file((files / "almost").string(), to_bytes("ZUX: not a document"));
    const auto type_of = [&](const char* name) {
        std::string out =
            command_output(data_dirs(share) + " XDG_DATA_HOME=" + quote(scratch("home").string()) +
                           " gio info -a standard::content-type " + quote((files / name).string()));
        const auto at = out.find("standard::content-type: ");
        if (at == std::string::npos) return out;
        return out.substr(at + 24, out.find('\n', at) - at - 24);
    };
    EXPECT_EQ(type_of("no-extension"), "application/x-zub");
    EXPECT_EQ(type_of("letter.dat"), "application/x-zub");
    EXPECT_EQ(type_of("named.zub"), "application/x-zub");
    EXPECT_NE(type_of("almost"), "application/x-zub");
}

TEST_F(Install, DesktopEntryIsValidAndHandlesTheDocumentType) {
    const fs::path entry = staged_ / "usr/share/applications/zub_reader.desktop";
    const command_result valid = run_command("desktop-file-validate " + quote(entry) + " 2>&1");
    EXPECT_EQ(valid.status, 0) << valid.out;
    EXPECT_EQ(valid.out, "");
    const std::string text = read_text(entry);
    EXPECT_NE(text.find("\nNoDisplay=true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nMimeType=application/x-zub;\n"), std::string::npos) << text;

    const fs::path share = scratch("apps-share");
    fs::create_directories(share / "applications");
    fs::copy_file(entry, share / "applications/zub_reader.desktop");
    ASSERT_EQ(
        run_command("update-desktop-database " + quote((share / "applications").string()) + " 2>&1").status,
        0);
    // GLib passes over an entry whose program is not on PATH.
    const std::string handler = command_output(
        data_dirs(share) + " PATH=" + quote((staged_ / "usr/bin").string() + ":/usr/bin:/bin") +
        " gio mime application/x-zub 2>&1");
    EXPECT_NE(handler.find("Default application for “application/x-zub”: zub_reader.desktop"),
              std::string::npos)
        << handler;
}

TEST_F(Install, ManualPagesLintClean) {
    // Uncompressed into a folder of their own, so that each page's reference to the other
    // is found.
    const fs::path pages = scratch("man/man1");
    for (const char* name : {"zub_reader.1", "zub.1", "zub-open.1"}) {
        ASSERT_EQ(
            run_command("gzip -dc " + quote(staged_ / "usr/share/man/man1" / (std::string(name) + ".gz")) +
                        " > " + quote(pages / name))
                .status,
            0);
    }
    // Their references are looked up among these pages alone, in a database of theirs:
    // MANPATH names their folder, not the machine's pages and database (which may hold
    // this project's pages of another version).
    const command_result lint =
        run_command("cd " + quote(pages) + " && makewhatis " + quote(pages.parent_path()) +
                    " && MANPATH=" + quote(pages.parent_path()) +
                    " mandoc -T lint -W style zub_reader.1 zub.1 zub-open.1 2>&1");
    EXPECT_EQ(lint.status, 0) << lint.out;
    EXPECT_EQ(lint.out, "");
    const auto render = [&](const char* name) {
        return command_output("mandoc -T utf8 " + quote(pages / name) + " | col -bx");
    };
    const std::string page = render("zub_reader.1");
    for (const char* section : {"SYNOPSIS", "FILES", "EXIT STATUS", "EXAMPLES", "Consola.ttf", "16384"}) {
        EXPECT_NE(page.find(section), std::string::npos) << section;
    }
    EXPECT_NE(render("zub.1").find("No space left on device"), std::string::npos);
    // The footer names the project and its version, not the system the formatter guesses
    // ("BSD", "Debian").
    for (const char* name : {"zub_reader.1", "zub.1", "zub-open.1"}) {
        std::string rendered = render(name);
        rendered.erase(rendered.find_last_not_of('\n') + 1);
        const std::string footer = rendered.substr(rendered.rfind('\n') + 1);
        EXPECT_TRUE(footer.starts_with(std::string("zub_reader ") + ZUB_VERSION_TEXT + " ")) << footer;
    }
}

// bash completes zub's commands, options and their values, documents and folders, with
// the completion bash-completion finds where it looks (share/bash-completion/completions
// of its data folders), as it does when a user first presses Tab after zub.
TEST_F(Install, BashCompletesCommandsOptionsAndFiles) {
    const fs::path loader = "/usr/share/bash-completion/bash_completion";
    if (!fs::exists(loader)) GTEST_SKIP() << "bash-completion is not installed";
    const fs::path folder = scratch("completion");
    for (const char* file : {"a.zub", "b.png", "c d.zub", "f.ttf", "E.ZUB"})
        write_file((folder / file).string(), {});
    fs::create_directories(folder / "sub");
    // Loaded by bash-completion, then asked as bash asks it for the words typed.
    const auto completions = [&](const std::string& words) {
        const std::string script = "source " + quote(loader.string()) +
                                   "; XDG_DATA_DIRS=" + quote((staged_ / "usr/share").string()) +
                                   ":/usr/share; __load_completion zub || exit 3; complete -p zub; "
                                   "COMP_WORDS=(" +
                                   words +
                                   "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                   "COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; _zub; "
                                   "printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort | paste -sd'|'";
        return command_output("cd " + quote(folder) + " && HOME=" + quote(folder) + " bash -c " +
                              quote(script));
    };
    const std::string loaded = "complete -F _zub zub\n";
    for (const auto& [words, expected] : std::vector<std::pair<std::string, std::string>>{
             {"zub r", "render"},
             {"zub ''", "--help|--version|info|pack|render|unpack"},
             {"zub render --fo", "--font|--format"},
             {"zub render --format ''", "jpeg|png|ppm|webp"},
             {"zub render --format = w", "webp"},
             {"zub info ''", "E.ZUB|a.zub|c d.zub|sub"},
             {"zub render a.zub ''", "E.ZUB|a.zub|b.png|c d.zub|f.ttf|sub"},
             {"zub render --format = png a.zub ''", "E.ZUB|a.zub|b.png|c d.zub|f.ttf|sub"},
             {"zub render -d ''", "sub"},
             {"zub render -d out a.zub ''", "E.ZUB|a.zub|c d.zub|sub"},
             {"zub render --font ''", "f.ttf|sub"},
             {"zub unpack a.zub ''", "sub"},
             {"zub pack --from ''", "E.ZUB|a.zub|c d.zub|sub"}}) {
        EXPECT_EQ(completions(words), loaded + expected + "\n") << words;
    }
}

// The desktop entry starts the viewer through zub-open, in a working directory of its own
// whose Consola.ttf is the font beside the document or, without one, the system's
// fixed-width face: the window shows what zub render --font draws with that font, and
// the directory is gone once the window is closed.
TEST_F(Install, DesktopEntryOpensADocumentWithItsFont) {
    const xvfb server;
    const fs::path runtime = scratch("runtime");
    const std::string system_face = system_face_of((staged_ / "usr/bin/zub").string());
    ASSERT_FALSE(system_face.empty());
    for (const char* beside : {"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", ""}) {
        const fs::path folder = scratch(*beside != '\0' ? "with a font" : "without a font");
        if (*beside != '\0') fs::copy_file(beside, folder / "Consola.ttf");
        document_parts parts;
        parts.width = 120;
        parts.height = 40;
        parts.caption = to_bytes("Launched");
        parts.image = encode_png(pattern(120, 40, false), png_kind::rgb);
        parts.records.push_back(text_at(4, 4, 255, 255, 255, "from the entry"));
        write_file((folder / "launched.zub").string(), write_document(parts));
        const std::string font = *beside != '\0' ? std::string(beside) : system_face;
        ASSERT_EQ(run_command(quote(staged_ / "usr/bin/zub") + " render --font " + quote(font) + " " +
                              quote(folder / "launched.zub") + " " + quote(folder / "expected.png") + " 2>&1")
                      .status,
                  0);

        const std::string env = "DISPLAY=" + server.display() +
                                " SDL_VIDEODRIVER=x11 XDG_RUNTIME_DIR=" + quote(runtime) +
                                " PATH=" + quote((staged_ / "usr/bin").string() + ":" + std::getenv("PATH"));
        const command_result launch = run_command(
            "cd / && " + env + " gio launch " + quote(staged_ / "usr/share/applications/zub_reader.desktop") +
            " " + quote(folder / "launched.zub") + " >/dev/null 2>&1");
        // (The viewer keeps what it inherits open: gio's output goes nowhere, or reading it
        // would wait for the window to close.)
        ASSERT_EQ(launch.status, 0);
        pid_t pid = 0;
        for (int i = 0; i < 500 && pid == 0; ++i) {
            pid = viewer_showing((folder / "launched.zub").string());
            if (pid == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_NE(pid, 0) << "the entry started no viewer";
        const auto window = find_window(server.display(), pid, 20);
        ASSERT_TRUE(window);
        EXPECT_EQ(window->title, "Launched");

        const dummy_sdl sdl;
        SDL_Surface* png = IMG_Load((folder / "expected.png").c_str());
        ASSERT_NE(png, nullptr) << IMG_GetError();
        const picture expected = read_back(png);
        SDL_FreeSurface(png);
        picture shown;
        for (int i = 0; i < 100; ++i) {
            shown = capture_window(server.display(), window->id, 120, 40);
            if (shown.pixels == expected.pixels) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(shown.pixels == expected.pixels) << "the window is not what zub render draws in " << font;
        send_delete_window(server.display(), window->id);
        for (int i = 0; i < 500 && (kill(pid, 0) == 0 || opener_folders_in(runtime) > 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_NE(kill(pid, 0), 0) << "the window did not close";
        EXPECT_EQ(opener_folders_in(runtime), 0U) << "the working directory is left behind";
    }
}

// A document opened from the desktop that cannot be shown is said on the screen, as a
// notification on the session bus that is there (a notification service of the test's
// own on a private bus), besides on stderr: the viewer's error, and a file that is not a
// document at all, which the viewer passes over in silence. Without a session bus,
// stderr alone says it.
TEST_F(Install, OpenerNotifiesWhatWentWrong) {
    const fs::path folder = scratch("notified");
    document_parts parts;
    parts.image = encode_png(pattern(20, 10, false), png_kind::rgb);
    bytes damaged = write_document(parts);
    damaged.resize(damaged.size() - 5);
    write_file((folder / "cut short.zub").string(), damaged);
    write_file((folder / "picture.zub").string(), encode_png(pattern(4, 4, false), png_kind::rgb));
    const std::string opener = quote(staged_ / "usr/bin/zub-open");
    const std::string viewer_said = command_output(quote(staged_ / "usr/bin/zub_reader") + " " +
                                                   quote(folder / "cut short.zub") + " 2>&1");
    ASSERT_TRUE(viewer_said.starts_with("zub_reader: " + (folder / "cut short.zub").string() + ": "))
        << viewer_said;
    const std::string env = "PATH=" + quote((staged_ / "usr/bin").string() + ":" + std::getenv("PATH")) +
                            " XDG_RUNTIME_DIR=" + quote(folder) +
                            " XDG_DATA_DIRS=" + quote((staged_ / "usr/share").string() + ":/usr/share") + " ";
    const std::string script = "/usr/bin/python3 " ZUB_NOTIFICATION_SERVER
                               " notes >ready 2>server.log & server=$!; "
                               "for i in $(seq 100); do [ -s ready ] && break; sleep 0.1; done; "
                               // As a file manager opens it: through the desktop entry.
                               "gio launch " +
                               quote(staged_ / "usr/share/applications/zub_reader.desktop") +
                               " 'cut short.zub' >/dev/null 2>&1; "
                               "for i in $(seq 100); do [ -s notes ] && break; sleep 0.1; done; " +
                               opener + " 'cut short.zub' 2>damaged.err; echo $? >damaged.status; " + opener +
                               " picture.zub 2>picture.err; echo $? >picture.status; " +
                               "env -u DBUS_SESSION_BUS_ADDRESS " + opener +
                               " picture.zub 2>unbussed.err; echo $? >unbussed.status; " + "kill $server";
    ASSERT_EQ(run_command("cd " + quote(folder) + " && " + env + "dbus-run-session -- sh -c " + quote(script))
                  .status,
              0);
    const std::string damaged_note =
        R"({"app": "zub_reader", "summary": "Cannot show cut short.zub", "body": ")" +
        viewer_said.substr(viewer_said.find(": ", 12) + 2,
                           viewer_said.size() - viewer_said.find(": ", 12) - 3) +
        R"(", "hints": {"desktop-entry": "zub_reader"}})"
        "\n";
    const std::string picture_note =
        R"({"app": "zub_reader", "summary": "Cannot show picture.zub", "body": "It is not a ZUB document: it )"
        R"(does not start with the bytes \"ZUB\".", "hints": {"desktop-entry": "zub_reader"}})"
        "\n";
    EXPECT_EQ(read_text(folder / "notes"), damaged_note + damaged_note + picture_note)
        << read_text(folder / "server.log");
    EXPECT_EQ(read_text(folder / "damaged.err"), viewer_said);
    EXPECT_EQ(read_text(folder / "damaged.status"), "1\n");
    const std::string not_a_document =
        "zub-open: picture.zub: not a ZUB document: it does not start with the bytes \"ZUB\"\n";
    for (const char* run : {"picture", "unbussed"}) {
        EXPECT_EQ(read_text(folder / (std::string(run) + ".err")), not_a_document) << run;
        EXPECT_EQ(read_text(folder / (std::string(run) + ".status")), "1\n") << run;
    }
}

// The Debian package, built by CPack from the release build.
class Package : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (std::string(ZUB_PACKAGE_BUILD_DIR).empty()) return;
        root_ = fs::temp_directory_path() / ("zub-package-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
        build_ = run_command("cpack -G DEB -B " + quote(root_) + " --config " +
                             quote(fs::path(ZUB_PACKAGE_BUILD_DIR) / "CPackConfig.cmake") + " 2>&1");
        deb_ = root_ / (std::string("zub-reader_") + ZUB_VERSION_TEXT + "_amd64.deb");
    }
    static void TearDownTestSuite() {
        if (!root_.empty()) fs::remove_all(root_);
    }
    void SetUp() override {
        if (std::string(ZUB_PACKAGE_BUILD_DIR).empty()) {
            GTEST_SKIP() << "configure with -DZUB_PACKAGE_BUILD_DIR=<a release build> to check the package";
        }
        ASSERT_EQ(build_.status, 0) << build_.out;
        ASSERT_TRUE(fs::exists(deb_)) << build_.out;
    }

    static std::string field(const std::string& info, const std::string& name) {
        const auto at = info.find("\n " + name + ": ");
        if (at == std::string::npos) return "";
        const auto start = at + name.size() + 4;
        return info.substr(start, info.find('\n', start) - start);
    }

    static fs::path root_;
    static fs::path deb_;
    static command_result build_;
};
fs::path Package::root_;
fs::path Package::deb_;
command_result Package::build_;

TEST_F(Package, NamesItsVersionAndTheLibrariesItsBinariesNeed) {
    const std::string info = "\n" + command_output("dpkg-deb --info " + quote(deb_));
    EXPECT_EQ(field(info, "Package"), "zub-reader");
    EXPECT_EQ(field(info, "Version"), ZUB_VERSION_TEXT);
    // The changelog's latest entry is this version's.
    EXPECT_TRUE(command_output("dpkg-deb --fsys-tarfile " + quote(deb_) +
                               " | tar -xO ./usr/share/doc/zub-reader/changelog.gz | gzip -dc")
                    .starts_with(std::string("zub-reader (") + ZUB_VERSION_TEXT + ") "));
    EXPECT_EQ(field(info, "Architecture"), command_output("dpkg --print-architecture").substr(0, 5));
    // Read off the binaries by dpkg-shlibdeps: each library with the version its symbols need.
    const std::string depends = field(info, "Depends");
    for (const char* library :
         {"fonts-dejavu-core",
          "libc6 (>= ", "libsdl1.2debian (>= ", "libsdl-image1.2 (>= ", "libsdl-ttf2.0-0",
          "libstdc++6 (>= ", "libpng16-16 (>= ", "libx11-6", "libseccomp2 (>= ", "libfontconfig1 (>= "}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " in " << depends;
    }
    // A release build: no sanitizer runtime.
    EXPECT_EQ(depends.find("libasan"), std::string::npos) << depends;
}

// Debian's own checks find neither an error nor a warning in any of the packages (their
// notes aside), and each package says what it is in a summary of its own.
TEST_F(Package, PassesLintian) {
    std::set<std::string> summaries;
    for (const char* name : {"zub-reader", "gdk-pixbuf-loader-zub", "qt5-image-formats-plugin-zub",
                             "kio-thumbnailer-zub", "kf5-filemetadata-plugin-zub"}) {
        const fs::path deb = root_ / (std::string(name) + "_" + ZUB_VERSION_TEXT + "_amd64.deb");
        const command_result lintian = run_command("lintian --fail-on error,warning " + quote(deb) + " 2>&1");
        EXPECT_EQ(lintian.status, 0) << name << ": " << lintian.out;
        summaries.insert(field("\n" + command_output("dpkg-deb --info " + quote(deb)), "Description"));
    }
    EXPECT_EQ(summaries.size(), 5U);
}

document_parts thumbnail_document();

TEST_F(Package, HoldsTheInstalledFilesAndTheProgramsRun) {
    std::set<std::string> files;
    std::istringstream contents(command_output("dpkg-deb --contents " + quote(deb_)));
    for (std::string line; std::getline(contents, line);) {
        const std::string path = line.substr(line.rfind(' ') + 1);
        if (path.back() != '/') files.insert(path.substr(2));  // after "./"
    }
    EXPECT_EQ(files, installed_files());

    const fs::path unpacked = root_ / "unpacked";
    ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb_) + " " + quote(unpacked)).status, 0);
    EXPECT_EQ(command_output(quote(unpacked / "usr/bin/zub") + " --version"),
              std::string("zub ") + ZUB_VERSION_TEXT + "\n");
    const command_result usage = run_command(quote(unpacked / "usr/bin/zub_reader"));
    EXPECT_EQ(usage.out, "usage: zub_reader filename\n");
    EXPECT_EQ(usage.status, 255);
    // The viewer finds its window's module where the package puts it: without a display,
    // what stops it is the video, not the module.
    const fs::path doc = root_ / "shown.zub";
    write_file(doc.string(), write_document(thumbnail_document()));
    const command_result shown =
        run_command("env -u DISPLAY -u WAYLAND_DISPLAY " + quote(unpacked / "usr/bin/zub_reader") + " " +
                    quote(doc) + " 2>&1");
    EXPECT_EQ(shown.out,
              "zub_reader: " + doc.string() + ": cannot start the video: no display (DISPLAY is not set)\n");
    EXPECT_EQ(shown.status, 1);
}

// Every ELF file the packages ship is linked with full RELRO (BIND_NOW), and the programs
// carry a stack protector and fortified calls: Debian's hardening flags.
TEST_F(Package, ShippedFilesAreHardened) {
    const fs::path unpacked = root_ / "hardened";
    for (const char* name : {"zub-reader", "gdk-pixbuf-loader-zub", "qt5-image-formats-plugin-zub",
                             "kio-thumbnailer-zub", "kf5-filemetadata-plugin-zub"}) {
        const fs::path deb = root_ / (std::string(name) + "_" + ZUB_VERSION_TEXT + "_amd64.deb");
        ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb) + " " + quote(unpacked)).status, 0) << name;
    }
    std::size_t elf_files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(unpacked)) {
        if (!entry.is_regular_file() || read_text(entry.path().string()).substr(0, 4) !=
                                            "\x7f"
                                            "ELF")
            continue;
        ++elf_files;
        const std::string dynamic = command_output("readelf -d " + quote(entry.path()));
        EXPECT_TRUE(dynamic.find("BIND_NOW") != std::string::npos ||
                    dynamic.find("Flags: NOW") != std::string::npos)
            << entry.path() << ": " << dynamic;
    }
    EXPECT_EQ(elf_files, 10U);
    for (const char* program : {"usr/bin/zub", "usr/bin/zub_reader", "usr/libexec/zub-reader/zub-compose"}) {
        const std::string symbols = command_output("readelf --dyn-syms -W " + quote(unpacked / program));
        EXPECT_NE(symbols.find("__stack_chk_fail"), std::string::npos) << program;
        EXPECT_NE(symbols.find("_chk@"), std::string::npos) << program << ": nothing fortified";
    }
}

// A document to make thumbnails of: a picture with a text over it, wider than high.
document_parts thumbnail_document() {
    document_parts parts;
    parts.width = 480;
    parts.height = 320;
    parts.font_size = 60;
    parts.image = encode_png(pattern(400, 300, true), png_kind::rgb);
    parts.records.push_back(text_at(10, 10, 255, 255, 255, "Thumb"));
    return parts;
}

picture load_png(const fs::path& path) {
    SDL_Surface* png = IMG_Load(path.c_str());
    EXPECT_NE(png, nullptr) << path << ": " << IMG_GetError();
    picture pic = png != nullptr ? read_back(png) : picture{};
    SDL_FreeSurface(png);
    return pic;
}

// The loaders come in packages of their own, so that the viewer's pulls in neither GTK
// nor Qt; each needs the viewer's, which has zub and zub-compose.
TEST_F(Package, LoadersComeInPackagesOfTheirOwn) {
    const std::string viewer = field("\n" + command_output("dpkg-deb --info " + quote(deb_)), "Depends");
    for (const char* host : {"libgdk-pixbuf", "libglib", "libqt5"})
        EXPECT_EQ(viewer.find(host), std::string::npos) << host << " in " << viewer;
    for (const auto& [name, library, file] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"gdk-pixbuf-loader-zub", "libgdk-pixbuf-2.0-0 (>= ",
              "./usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders/libpixbufloader-zub.so"},
             {"qt5-image-formats-plugin-zub",
              "libqt5gui5 (>= ", "./usr/lib/x86_64-linux-gnu/qt5/plugins/imageformats/libqzub.so"},
             {"kf5-filemetadata-plugin-zub", "libkf5filemetadata3 (>= ",
              "./usr/lib/x86_64-linux-gnu/qt5/plugins/kf5/kfilemetadata/kfilemetadata_zubextractor.so"}}) {
        const fs::path deb = root_ / (name + "_" + ZUB_VERSION_TEXT + "_amd64.deb");
        ASSERT_TRUE(fs::exists(deb)) << build_.out;
        const std::string depends = field("\n" + command_output("dpkg-deb --info " + quote(deb)), "Depends");
        EXPECT_TRUE(depends.starts_with(std::string("zub-reader (= ") + ZUB_VERSION_TEXT + "), ")) << depends;
        EXPECT_NE(depends.find(library), std::string::npos) << depends;
        EXPECT_NE(command_output("dpkg-deb --contents " + quote(deb)).find(file), std::string::npos) << name;
    }
}

// Installed by dpkg under /usr (in a mount namespace of the test's own, over overlays of
// /usr and /var), the loaders are found as the hosts find their own: gdk-pixbuf through
// the loaders.cache its dpkg trigger rewrites, Qt and KIO in Qt's plugin folder, with no
// variable set. Each gives the picture (or thumbnail) the installed zub render makes.
// The packages installed by dpkg under /usr in a mount namespace of the test's own, over
// overlays of /usr and /var (the machine keeps nothing): `script` runs there, in `work`,
// and its output is given back.
command_result in_installed_namespace(const fs::path& root, const fs::path& work, const std::string& script) {
    for (const char* folder : {"usr", "usr-work", "var", "var-work"}) fs::create_directories(work / folder);
    std::string debs;
    for (const char* name : {"zub-reader", "gdk-pixbuf-loader-zub", "qt5-image-formats-plugin-zub",
                             "kio-thumbnailer-zub", "kf5-filemetadata-plugin-zub"})
        debs += " " + quote(root / (std::string(name) + "_" + ZUB_VERSION_TEXT + "_amd64.deb"));
    const std::string w = work.string();
    const std::string setup =
        "set -e; mount --make-rprivate /; "
        "mount -t overlay overlay -o lowerdir=/usr,upperdir=" +
        w + "/usr,workdir=" + w +
        "/usr-work /usr; "
        "mount -t overlay overlay -o lowerdir=/var,upperdir=" +
        w + "/var,workdir=" + w +
        "/var-work /var; "
        "dpkg -i" +
        debs + " >" + w + "/dpkg.log 2>&1; cd " + w + "; ";
    return run_command("unshare -m sh -c " + quote(setup + script) + " 2>&1");
}

// The loaders are found as the hosts find their own: gdk-pixbuf through the loaders.cache
// its dpkg trigger rewrites, Qt and KIO in Qt's plugin folder, with no variable set. Each
// gives the picture (or thumbnail) the installed zub render makes.
TEST_F(Package, InstalledLoadersAreFoundWithoutVariables) {
    if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg in a mount namespace needs root";
    const fs::path work = root_ / "namespace";
    fs::create_directories(work);
    write_file((work / "doc.zub").string(), write_document(thumbnail_document()));
    // What the machine has (its own install of these packages, perhaps) stays as it was.
    const auto outside = [] {
        std::string seen;
        for (const char* path :
             {"/usr/bin/zub", "/usr/lib/x86_64-linux-gnu/qt5/plugins/imageformats/libqzub.so",
              "/usr/lib/x86_64-linux-gnu/gdk-pixbuf-2.0/2.10.0/loaders/libpixbufloader-zub.so"}) {
            struct stat st {};
            seen +=
                std::string(path) + (stat(path, &st) != 0 ? " absent\n"
                                                          : " " + std::to_string(st.st_size) + " " +
                                                                std::to_string(st.st_mtim.tv_sec) + "." +
                                                                std::to_string(st.st_mtim.tv_nsec) + "\n");
        }
        return seen;
    };
    const std::string before = outside();
    const std::string w = work.string();
    const command_result r = in_installed_namespace(
        root_, work,
        "/usr/bin/zub render --format ppm doc.zub rendered.ppm 2>/dev/null; "
        "env -i PATH=/usr/bin:/bin /usr/bin/python3 " ZUB_PIXBUF_HOST
        " file doc.zub gdk.ppm; "
        "env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=" +
            w +
            " " ZUB_QT_READER
            " doc.zub qt.ppm >/dev/null 2>&1; "
            "/usr/bin/zub render --format ppm --size 128 doc.zub thumbnail.ppm 2>/dev/null; "
            "env -i PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen HOME=" +
            w + " XDG_RUNTIME_DIR=" + w +
            " " ZUB_KIO_PREVIEW
            " doc.zub preview.ppm 128 >/dev/null 2>&1; "
            "cmp rendered.ppm gdk.ppm; cmp rendered.ppm qt.ppm; cmp thumbnail.ppm preview.ppm; echo same");
    EXPECT_EQ(r.out, "same\n") << read_text(work / "dpkg.log");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(outside(), before) << "installed outside";
}

// A document with words in its title and texts, as KDE's metadata plugin and search
// read them: a side of 0 (the desktop's) is not a size the file states.
document_parts words_document() {
    document_parts parts = thumbnail_document();
    parts.height = 0;
    parts.caption = to_bytes(
        "Gr\xc3\xbc\xc3\x9f"
        "e aus Tromsø");
    parts.records.push_back(text_at(10, 80, 0, 0, 0, "quokka on the caf\xe9 terrace"));
    parts.records.push_back(text_at(10, 150, 0, 0, 0, ""));
    return parts;
}

// Installed under /usr, the metadata plugin is found as Dolphin and Baloo find theirs,
// for the document's MIME type, with no variable set: the title, the stated size and
// every text come back exactly, and a damaged document, one cut while it is read and the
// fuzzers' finds leave the host alive. It needs nothing that decodes or draws.
TEST_F(Package, InstalledMetadataPluginGivesTitleSizeAndTexts) {
    if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg in a mount namespace needs root";
    const fs::path work = root_ / "metadata";
    fs::create_directories(work);
    const bytes whole = write_document(words_document());
    write_file((work / "doc.zub").string(), whole);
    for (std::size_t size = 0; size < whole.size(); size += 11)
        write_file((work / ("cut" + std::to_string(size) + ".zub")).string(),
                   bytes(whole.begin(), whole.begin() + static_cast<long>(size)));
    const std::string w = work.string();
    const std::string host =
        "env -i PATH=/usr/bin:/bin HOME=" + w + " XDG_RUNTIME_DIR=" + w + " " ZUB_METADATA_HOST;
    const command_result r = in_installed_namespace(
        root_, work,
        "readelf -d /usr/lib/x86_64-linux-gnu/qt5/plugins/kf5/kfilemetadata/kfilemetadata_zubextractor.so"
        " | grep NEEDED | grep -ci 'sdl\\|freetype\\|fontconfig\\|png\\|jpeg' || true; " +
            host +
            " doc.zub; "
            "for f in cut*.zub " ZUB_REGRESSIONS "/*; do cp \"$f\" damaged.zub; " +
            host +
            " damaged.zub >/dev/null || echo \"$f: $?\"; done; "
            "(while :; do cp doc.zub race.zub; truncate -s 200 race.zub; truncate -s 40 race.zub; done) & "
            "racer=$!; " +
            host + " race.zub 300 >/dev/null || echo \"race: $?\"; kill $racer; echo alive");
    EXPECT_EQ(r.out,
              "0\n"
              "mimetype: application/x-zub\n"
              "title: Gr\xc3\xbc\xc3\x9f"
              "e aus Troms\xc3\xb8\n"
              "width: 480\n"
              "text: Thumb\\nquokka on the caf\xc3\xa9 terrace\\n \n"
              "alive\n")
        << read_text(work / "dpkg.log");
}

// KDE's search, run as a user's session runs it (its own home and session bus), indexes a
// document and finds it by a word that stands only in one of its texts, and by one of its
// title; a word it does not hold finds nothing.
TEST_F(Package, BalooFindsADocumentByTheWordsOfItsTexts) {
    if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg in a mount namespace needs root";
    if (run_command("command -v baloo_file balooctl baloosearch >/dev/null").status != 0)
        GTEST_SKIP() << "KDE's search (baloo-kf5) is not installed";
    const fs::path work = root_ / "search";
    fs::create_directories(work / "home/docs");
    fs::create_directories(work / "home/.config");
    fs::permissions(work, fs::perms::owner_all);
    write_file((work / "home/docs/holiday.zub").string(), write_document(words_document()));
    // Indexing on, for the one folder, file contents included.
    std::ofstream(work / "home/.config/baloofilerc") << "[Basic Settings]\nIndexing-Enabled=true\n\n"
                                                        "[General]\nfirst run=false\nfolders[$e]=$HOME/docs\n"
                                                        "only basic indexing=false\n";
    const std::string w = work.string();
    const command_result r = in_installed_namespace(
        root_, work,
        "export HOME=" + w + "/home XDG_RUNTIME_DIR=" + w +
            " QT_QPA_PLATFORM=offscreen; cd home; "
            "dbus-run-session -- sh -c '"
            "baloo_file >baloo.log 2>&1 & indexer=$!; balooctl index docs/holiday.zub >/dev/null 2>&1; "
            "for i in $(seq 100); do balooctl status docs/holiday.zub 2>/dev/null | grep -q \"Content "
            "Indexing: Done\" && break; sleep 0.2; done; "
            "for word in quokka terrace Troms\xc3\xb8 wombat; do echo \"$word: $(baloosearch $word "
            "2>/dev/null | grep -c holiday.zub)\"; done; "
            "pkill -P $indexer; kill $indexer; wait $indexer' 2>/dev/null");
    EXPECT_EQ(r.out, "quokka: 1\nterrace: 1\nTroms\xc3\xb8: 1\nwombat: 0\n") << read_text(work / "dpkg.log");
}

// GNOME's image viewer and KDE's, started on a document in an X server as a user starts
// them, show its picture: a screenshot holds zub render's pixels.
TEST_F(Package, EogAndGwenviewShowThePicture) {
    if (geteuid() != 0) GTEST_SKIP() << "installing with dpkg in a mount namespace needs root";
    const fs::path work = root_ / "viewers";
    fs::create_directories(work);
    fs::permissions(work, fs::perms::owner_all);
    document_parts parts = thumbnail_document();
    parts.width = 200;
    parts.height = 150;
    parts.font_size = 30;
    write_file((work / "doc.zub").string(), write_document(parts));
    const std::string w = work.string();
    for (const char* viewer : {"eog", "gwenview"}) {
        const command_result r = in_installed_namespace(
            root_, work / viewer,
            "/usr/bin/zub render --format ppm ../doc.zub rendered.ppm 2>/dev/null; "
            "Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 1024x768x24 3>display >/dev/null 2>&1 & "
            "server=$!; "
            "while [ ! -s display ]; do sleep 0.1; done; export DISPLAY=:$(cat display) HOME=" +
                w + " XDG_RUNTIME_DIR=" + w +
                " QT_QPA_PLATFORM=xcb; "
                "dbus-run-session -- sh -c '" +
                viewer +
                " ../doc.zub >viewer.log 2>&1 & viewer=$!; "
                "/usr/bin/python3 " ZUB_FIND_ON_SCREEN
                " $DISPLAY rendered.ppm 90; found=$?; "
                "kill $viewer; exit $found' >/dev/null 2>&1 && echo shown; kill $server");
        EXPECT_EQ(r.out, "shown\n") << viewer << ": " << read_text(work / viewer / "viewer.log");
    }
}

// GNOME's thumbnail factory runs the installed thumbnailer in its sandbox, which shows
// the program little more than /usr: the package is unpacked below /usr/local, and the
// thumbnail it makes is the one zub render --size 256 makes, with the font beside the
// document and without it.
TEST_F(Package, GnomeThumbnailFactoryMakesTheRenderedThumbnail) {
    if (run_command("/usr/bin/python3 -c \"import gi; gi.require_version('GnomeDesktop', '3.0')\"").status !=
        0)
        GTEST_SKIP() << "GNOME's thumbnail factory (gir1.2-gnomedesktop-3.0) is not installed";
    const fs::path prefix = fs::path("/usr/local") / ("zub-thumbnail-test-" + std::to_string(getpid()));
    if (!fs::create_directories(prefix)) GTEST_SKIP() << "cannot write below /usr/local";
    ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb_) + " " + quote(prefix)).status, 0);
    const fs::path bin = prefix / "usr/bin";
    const fs::path work = root_ / "thumbnails";
    fs::create_directories(work / "with font");
    fs::create_directories(work / "without");
    fs::copy_file("Consola.ttf", work / "with font" / "Consola.ttf");
    const std::string script =
        "import sys, gi; gi.require_version('GnomeDesktop', '3.0'); from gi.repository import GnomeDesktop, "
        "Gio; "
        "f = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.LARGE); "
        "p = f.generate_thumbnail(Gio.File.new_for_path(sys.argv[1]).get_uri(), 'application/x-zub', None); "
        "p.savev(sys.argv[2], 'png', [], [])";
    const dummy_sdl sdl;
    for (const char* folder : {"with font", "without"}) {
        const fs::path doc = work / folder / "doc.zub";
        write_file(doc.string(), write_document(thumbnail_document()));
        const command_result rendered = run_command(quote(bin / "zub") + " render --size 256 " + quote(doc) +
                                                    " " + quote(work / folder / "render.png") + " 2>&1");
        ASSERT_EQ(rendered.status, 0) << rendered.out;
        const command_result factory =
            run_command("HOME=" + quote(work) + " PATH=" + quote(bin.string() + ":/usr/bin:/bin") +
                        " XDG_DATA_DIRS=" + quote((prefix / "usr/share").string() + ":/usr/share") +
                        " /usr/bin/python3 -c " + quote(script) + " " + quote(doc) + " " +
                        quote(work / folder / "factory.png") + " 2>&1");
        ASSERT_EQ(factory.status, 0) << folder << ": " << factory.out;
        const picture made = load_png(work / folder / "factory.png");
        EXPECT_EQ(made.width, 256) << folder;
        EXPECT_EQ(made.height, 171) << folder;
        EXPECT_TRUE(made.pixels == load_png(work / folder / "render.png").pixels) << folder;
    }
    fs::remove_all(prefix);
}

// tumblerd, the thumbnail service of XFCE's Thunar and of other file managers, asked over
// D-Bus as they ask it, with the document's type: it finds the package's thumbnailer
// entry in the thumbnailers/ folders of XDG_DATA_HOME and XDG_DATA_DIRS, hands zub an
// empty file it made, reads the thumbnail back through the descriptor it keeps, and
// caches it. The cached thumbnail is the one zub render --size 128 makes.
TEST_F(Package, TumblerMakesTheRenderedThumbnail) {
    if (!fs::exists("/usr/share/dbus-1/services/org.xfce.Tumbler.Thumbnailer1.service"))
        GTEST_SKIP() << "tumbler is not installed";
    const fs::path work = root_ / "tumbler";
    const fs::path share = work / "usr/share";
    ASSERT_EQ(run_command("dpkg-deb -x " + quote(deb_) + " " + quote(work)).status, 0);
    fs::create_directories(work / "tmp");
    const fs::path doc = work / "doc.zub";
    write_file(doc.string(), write_document(thumbnail_document()));
    const command_result rendered = run_command(quote(work / "usr/bin/zub") + " render --size 128 " +
                                                quote(doc) + " " + quote(work / "render.png") + " 2>&1");
    ASSERT_EQ(rendered.status, 0) << rendered.out;

    const std::string env =
        "HOME=" + quote(work) + " XDG_CACHE_HOME=" + quote(work / "cache") +
        " XDG_CONFIG_HOME=" + quote(work / "config") + " XDG_DATA_HOME=" + quote(work / "data") +
        " XDG_DATA_DIRS=" + quote(share.string() + ":/usr/share") + " TMPDIR=" + quote(work / "tmp") +
        " PATH=" + quote((work / "usr/bin").string() + ":/usr/bin:/bin");
    const command_result asked =
        run_command(env + " timeout 120 dbus-run-session -- /usr/bin/python3 " + quote(ZUB_TUMBLER_CLIENT) +
                    " " + quote(doc) + " application/x-zub 2>" + quote(work / "log"));
    EXPECT_EQ(asked.status, 0) << read_text(work / "log");
    const fs::path cached = asked.out.substr(0, asked.out.find('\n'));
    ASSERT_TRUE(fs::exists(cached)) << cached << " is not there: " << read_text(work / "log");
    const dummy_sdl sdl;
    const picture made = load_png(cached);
    EXPECT_EQ(made.width, 128);
    EXPECT_EQ(made.height, 85);
    EXPECT_TRUE(made.pixels == load_png(work / "render.png").pixels);
}

}  // namespace
}  // namespace zub::test
