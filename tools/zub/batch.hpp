// Many documents at once: each taken by one of a thread a core, what each prints to
// standard output printed in the documents' order, a progress bar on stderr while it
// is a terminal, and the lines the tool says written above the bar.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zub {

// A document's status and what it prints to standard output.
struct batch_outcome {
    int status = 0;
    std::string out;
    bool incomplete = false;  // done, but without a part of it (an image, texts), with a warning
};

// How many of the documents gave status 0, how many of those are incomplete, and how
// many did not.
struct batch_counts {
    std::size_t succeeded = 0;
    std::size_t incomplete = 0;
    std::size_t failed = 0;
};

// Runs `work` for the documents below `count`, `group` consecutive ones at a time (the
// first and how many), on every core, and prints each one's output in order as soon as
// the ones before it are done, `separator` between two outputs. Shows the progress bar
// when there is more than one document and stderr is a terminal.
using batch_work = std::function<std::vector<batch_outcome>(std::size_t first, std::size_t count)>;
batch_counts run_batch(std::size_t count, std::size_t group, const batch_work& work,
                       std::string_view separator = {});

// Writes one line (its '\n' included) to stderr, whole, above the progress bar if one is
// shown: the tool's one way to stderr, from any thread.
void write_report_line(const std::string& line);

// The documents DOC arguments name: files as given; a folder, with `recursive`, walked
// for its *.zub files in name order. Each comes with its path below the folder it was
// found in (or its own name), which names its output.
struct named_document {
    std::string path;
    std::string relative;  // "a.zub", "sub/b.zub"
};
struct document_list {
    std::vector<named_document> documents;
    std::string refusal;  // a folder given without `recursive`, or one that cannot be walked
};
document_list collect_documents(const std::vector<std::string>& arguments, bool recursive);

}  // namespace zub
