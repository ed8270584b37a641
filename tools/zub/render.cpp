// zub render: the picture the viewer shows, composed without a display and saved as a
// PNG, JPEG or WebP picture; one document, or many at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <string_view>
#include <tuple>

#include "files/read_file.hpp"
#include "tools/font_lookup.hpp"
#include "tools/output_file.hpp"
#include "tools/picture_file.hpp"
#include "tools/picture_formats.hpp"
#include "tools/scale.hpp"
#include "tools/stop_signals.hpp"
#include "tools/zub/batch.hpp"
#include "tools/zub/commands.hpp"
#include "tools/zub/picture_module.hpp"
#include "wall/job.hpp"

namespace zub {

namespace {

// The picture's size and depth: the window's.
struct picture_request {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t depth = 0;
};

picture_request rendered_request(const document& doc, picture_size desktop) {
    picture_request request{doc.header.width, doc.header.height, doc.header.bits_per_pixel};
    // Depth 0 is the display's own, and so is any depth a display does not offer: the
    // viewer's displays are true colour.
    if (!exact_depth(request.depth)) request.depth = 32;
    // A side of 0 is the desktop's.
    if (request.width == 0) request.width = desktop.width;
    if (request.height == 0) request.height = desktop.height;
    return request;
}

// Whether the file the output names, links followed, is a ZUB document: its first bytes
// are the magic. A picture written there would destroy it (`zub render *.zub`).
bool holds_document(const output_target& target) {
    if (!target.exists || !target.regular || target.descriptor >= 0 || target.link_error != 0) return false;
    const int fd = open(target.final_path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    std::array<std::uint8_t, 3> head{};
    const ssize_t n = pread(fd, head.data(), head.size(), 0);
    (void)close(fd);
    return n == static_cast<ssize_t>(head.size()) && parse_document(head).is_document;
}

// Where each document's picture goes, and how it is made: what every document of a run
// shares.
struct render_run {
    const render_options& options;
    picture_encoding encoding;
    bool batch = false;  // SDL is started and every format learned before the first document
    const picture_painter* painter = nullptr;
};

// The painter loaded, SDL started in it, and the formats of its windows learned: `depth`
// alone, or every one.
outcome start_screens(render_run& run, int depth) {
    const result<void*> entry =
        load_module(picture_module_name, picture_module_entry, "the painter's module");
    if (!entry) return failure{entry.why()};
    run.painter = reinterpret_cast<picture_painter_entry>(*entry)();
    if (std::string why; !run.painter->start(depth, why)) return failure{why};
    return done{};
}

// A document read and checked, and where its picture goes: what composing it needs.
struct prepared_document {
    int status = status_ok;  // not status_ok: it failed, and has been said
    std::string path;
    std::string out_path;
    found_font font;
    output_target target;
    file_bytes bytes;
    document doc;  // views into `bytes`
    picture_request request;
};

prepared_document prepare_one(const render_run& run, const std::string& path, const std::string& out_path) {
    const render_options& options = run.options;
    prepared_document p;
    p.path = path;
    p.out_path = out_path;
    const auto failed = [&p](int status) {
        p.status = status;
        return std::move(p);
    };
    // The output is checked first: nothing is composed for a file that cannot be written.
    p.font = find_font(options.font_path, path);
    const result<output_target> target = plan_output(output_path(out_path), {input_path(path), p.font.path});
    if (!target)
        return failed(run.batch ? file_problem(path, target.why()) : usage_error("render", target.why()));
    p.target = *target;
    if (holds_document(p.target)) {
        const std::string refused =
            out_path +
            " is a ZUB document: zub render writes one picture of one document; several documents are "
            "rendered with -d DIR";
        return failed(run.batch ? file_problem(path, refused) : usage_error("render", refused));
    }
    if (const auto format = run.batch ? std::nullopt : unwritten_format(out_path)) {
        return failed(usage_error("render", out_path + " is named as " + *format +
                                                ": zub render writes pictures as " + written_formats()));
    }

    result<file_bytes> loaded = read_input(path, document_bound());
    if (!loaded) return failed(file_problem(path, loaded.why()));
    p.bytes = std::move(*loaded);
    p.doc = parse_document(p.bytes.view());
    if (!p.doc.is_document) return failed(file_problem(path, "not a ZUB document"));
    if (const problem* error = p.doc.error()) return failed(file_problem(path, describe(*error)));

    p.request = rendered_request(p.doc, {options.desktop_width, options.desktop_height});
    const picture_request& request = p.request;
    if (options.size > 0 && std::int64_t{request.width} * request.height > max_thumbnail_pixels) {
        return failed(file_problem(path, "the window " + std::to_string(request.width) + "x" +
                                             std::to_string(request.height) +
                                             " is too large for a thumbnail (at most " +
                                             std::to_string(max_thumbnail_pixels) + " pixels)"));
    }
    if (const auto row = window_size_problem(request.width, request.height, request.depth))
        return failed(file_problem(path, describe(*row)));
    return p;
}

composition_order order_for(const render_run& run, const prepared_document& p) {
    return {&p.doc,
            composing_ask_for_window(p.request.width, p.request.height, !run.options.font_path.empty()),
            font_choice{p.font.path, p.font.hint}};
}

// The document's picture, composed from what its stages hand back and written; the status,
// and whether the picture lacks a part the viewer would leave out too.
batch_outcome finish_one(const render_run& run, const prepared_document& p, composition& composing) {
    const render_options& options = run.options;
    const std::string& path = p.path;
    // The stages are waited for here, where the composers they run were noted.
    composed_picture composed;
    {
        const finished_image image = finish_image_stage(composing.image, composing.image_asked);
        const finished_texts texts = composing.texts_wanted ? finish_texts(composing) : finished_texts{};
        run.painter->compose({&p.doc, &composing, &image, composing.texts_wanted ? &texts : nullptr,
                              p.request.width, p.request.height, p.request.depth, !run.batch},
                             composed);
    }  // the hand-backs are let go once painted
    if (!composed.error.empty()) return {file_problem(path, composed.error), {}, false};
    const std::vector<problem>& warnings = composed.warnings;
    // A stage that failed through no fault of the document: no picture at all.
    if (const problem* failed = not_composed(warnings))
        return {file_problem(path, describe(*failed)), {}, false};
    if (!options.font_path.empty() && !composing.font_error.empty())
        return {file_problem(options.font_path, "cannot open the font: " + composing.font_error), {}, false};
    if (const std::string note = font_note(p.font, "drawn"); !note.empty() && p.doc.has_texts()) {
        if (run.batch) {
            say_once(note);
        } else {
            say(path, note);
        }
    }
    bool incomplete = false;
    for (const problem& warning : warnings) {
        say(path, describe(warning));
        incomplete = incomplete || severity_of(warning.code) == severity::warning;
    }

    rgb_image& picture = composed.picture;
    if (options.size > 0)
        picture = scale_down(picture, fit_within(picture.width, picture.height, options.size));
    const result<std::vector<std::uint8_t>> bytes = picture_bytes(picture, run.encoding);
    if (!bytes) return {file_problem(p.out_path, bytes.why()), {}, false};
    if (const outcome written = write_output(p.target, *bytes); !written)
        return {file_problem("", written.why()), {}, false};
    return {status_ok, {}, incomplete};
}

// The first of the document's stages that failed through no fault of the document
// (it could not start, say), waited for without painting; nothing when none did.
std::optional<problem> stage_failure(const prepared_document& p, composition& c) {
    if (const finished_image image = finish_image_stage(c.image, c.image_asked); !image.error.empty())
        return problem{problem_code::not_composed, p.doc.image_offset, {}, image.error};
    if (!c.texts_wanted) return std::nullopt;
    for (problem& found : text_problems(p.doc, c, finish_texts(c))) {
        if (found.code == problem_code::not_composed) return found;
    }
    return std::nullopt;
}

// One document's picture, composed and written to `out_path`; the status.
int render_one(render_run& run, const std::string& path, const std::string& out_path) {
    const prepared_document p = prepare_one(run, path, out_path);
    if (p.status != status_ok) return p.status;
    // The stages compose behind the wall while SDL starts.
    const composition_order order = order_for(run, p);
    composition composing = std::move(start_compositions(std::span(&order, 1)).front());
    if (const outcome started = start_screens(run, p.request.depth); !started) {
        // A stage that failed through no fault of the document is said first, as composing
        // would say it: without it there is nothing to paint either.
        if (const std::optional<problem> failed = stage_failure(p, composing))
            return file_problem(path, describe(*failed));
        return file_problem(path, started.why());
    }
    return finish_one(run, p, composing).status;
}

// Documents `first` on, `count` of them, composed with one run of the composer for all
// (its start is paid once), each written; their statuses.
std::vector<batch_outcome> render_group(const render_run& run, const std::vector<named_document>& documents,
                                        const std::vector<std::string>& outputs, std::size_t first,
                                        std::size_t count) {
    std::vector<prepared_document> group;
    std::vector<composition_order> orders;
    group.reserve(count);
    for (std::size_t i = first; i < first + count; ++i) {
        group.push_back(prepare_one(run, documents[i].path, outputs[i]));
    }
    for (const prepared_document& p : group) {
        if (p.status == status_ok) orders.push_back(order_for(run, p));
    }
    std::vector<composition> compositions = start_compositions(orders);
    std::vector<batch_outcome> outcomes;
    std::size_t next = 0;
    for (const prepared_document& p : group) {
        if (p.status != status_ok) {
            outcomes.push_back({p.status, {}, false});
            continue;
        }
        composition& composing = compositions[next++];
        try {
            outcomes.push_back(finish_one(run, p, composing));
            if (outcomes.back().status == status_ok) batch_picture_written();
        } catch (const std::exception& e) {  // out of memory, in all likelihood
            outcomes.push_back({file_problem(p.path, e.what()), {}, false});
        }
        composing = composition{};  // its hand-backs go as soon as it is written
    }
    return outcomes;
}

// The documents composed with one run of the composer: as many as it takes stages.
constexpr std::size_t documents_a_run = max_stages / 2;

// The picture's name in the output folder: the document's, below the folder it was
// found in, with the format's extension in place of .zub.
std::string picture_name(const std::string& relative, picture_kind kind) {
    std::filesystem::path name(relative);
    if (file_extension(relative) == "zub") name.replace_extension();
    return name.string() + "." + std::string(extension_of(kind));
}

// Where a picture goes on the file system: the file a name leads to when it is there
// (links followed), else its folder's device and inode with the name in it.
struct picture_place {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name;  // empty for a file that is there

    bool operator<(const picture_place& other) const {
        return std::tie(device, inode, name) < std::tie(other.device, other.inode, other.name);
    }
};

picture_place place_of(const std::string& path) {
    struct stat file {};
    if (stat(path.c_str(), &file) == 0) return {file.st_dev, file.st_ino, ""};
    const std::filesystem::path name(path);
    struct stat folder {};
    const std::string parent = name.has_parent_path() ? name.parent_path().string() : ".";
    if (stat(parent.c_str(), &folder) != 0) return {0, 0, path};
    return {folder.st_dev, folder.st_ino, name.filename().string()};
}

int render_many(render_run& run) {
    const render_options& options = run.options;
    const document_list list = collect_documents(options.paths, options.recursive);
    if (!list.refusal.empty()) return usage_error("render", list.refusal);
    // Every name is known before any picture is written: two documents may not give one.
    std::vector<std::string> outputs;
    for (const named_document& doc : list.documents) {
        if (doc.path == "-") {
            return usage_error("render", "standard input gives no name for its picture in " +
                                             options.out_dir + "; render it as zub render - OUT");
        }
        outputs.push_back(
            (std::filesystem::path(options.out_dir) / picture_name(doc.relative, run.encoding.kind))
                .string());
    }
    const auto clash = [&](std::size_t first, std::size_t second) {
        return usage_error(
            "render",
            zub::quoted(list.documents[first].path) + " and " + zub::quoted(list.documents[second].path) +
                " would both be written as " + zub::quoted(outputs[first]) +
                (outputs[first] == outputs[second] ? "" : " (" + zub::quoted(outputs[second]) + ")"));
    };
    // The same name twice is refused before a folder is made.
    std::map<std::string, std::size_t> named;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto [at, added] = named.emplace(outputs[i], i);
        if (!added) return clash(at->second, i);
    }
    for (const std::string& out : outputs) {
        std::error_code failed;
        std::filesystem::create_directories(std::filesystem::path(out).parent_path(), failed);
        if (failed) {
            return file_problem(std::filesystem::path(out).parent_path().string(),
                                "cannot make the folder: " + failed.message());
        }
    }
    // Names are told apart as the file system tells them, once the folders are there: a
    // folder reached by two paths (a link to another) is one folder.
    std::map<picture_place, std::size_t> taken;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto [at, added] = taken.emplace(place_of(outputs[i]), i);
        if (!added) return clash(at->second, i);
    }
    if (const outcome started = start_screens(run, 0); !started) return file_problem("", started.why());
    run.batch = true;
    batch_begun(list.documents.size(), options.out_dir);
    // Each worker composes documents_a_run documents with one run of the composer.
    const batch_counts counts =
        run_batch(list.documents.size(), documents_a_run, [&](std::size_t first, std::size_t count) {
            return render_group(run, list.documents, outputs, first, count);
        });
    const std::size_t all = list.documents.size();
    std::string summary = std::to_string(counts.succeeded) +
                          (counts.failed > 0 ? " of " + std::to_string(all) : "") +
                          (all == 1 ? " document" : " documents") + " rendered into " + options.out_dir;
    if (counts.incomplete > 0)
        summary += ", " + std::to_string(counts.incomplete) + " of them without a part (see the warnings)";
    if (counts.failed > 0) summary += ", " + std::to_string(counts.failed) + " failed";
    say("", summary);
    return counts.failed > 0 ? status_problem : status_ok;
}

}  // namespace

int render_command(const render_options& options) {
    render_run run{options, {}, false, nullptr};
    run.encoding.quality = options.quality;
    const std::string single_out = options.out_dir.empty() ? options.out_path : "";
    // The picture's format: OUT's extension's, else --format's, else PNG.
    run.encoding.kind = picture_kind::png;
    const bool format_named = !options.format.empty();
    if (format_named) {
        const std::optional<picture_kind> named = kind_named(options.format);
        if (!named) {
            return usage_error(
                "render", "--format " + zub::quoted(options.format, '\'') + " is not png, jpeg, webp or ppm");
        }
        run.encoding.kind = *named;
    }
    if (single_out == "-" && isatty(STDOUT_FILENO) == 1) {
        return usage_error("render", "standard output is a terminal: the picture goes to a file or a pipe");
    }
    if (!single_out.empty() && single_out != "-") {
        if (const std::optional<picture_kind> by_name = kind_of_path(single_out)) {
            if (format_named && *by_name != run.encoding.kind) {
                return usage_error(
                    "render", single_out + " is named as another format than --format " + options.format);
            }
            run.encoding.kind = *by_name;
        }
    }
    if (options.quality > 0 &&
        (run.encoding.kind == picture_kind::png || run.encoding.kind == picture_kind::ppm))
        say("", std::string("note: --quality is for JPEG and WebP pictures: the ") +
                    (run.encoding.kind == picture_kind::png ? "PNG" : "PPM") +
                    " picture is written without loss");
    // A font the user names is an input like the document: one that cannot be read or
    // opened ends the run, where another only leaves the texts out with a warning.
    if (!options.font_path.empty()) {
        if (const outcome named_font = check_font_file(options.font_path); !named_font)
            return file_problem(options.font_path, named_font.why());
    }
    if (!options.out_dir.empty()) return render_many(run);
    return render_one(run, options.path, options.out_path);
}

}  // namespace zub
