// The stages' work in the calling process, without the wall: for fuzzing the caller's
// side of a hand-back and counting instructions, never for showing a document.
#include <sys/mman.h>

#include <cstring>
#include <mutex>

#include "document/image_probe.hpp"
#include "wall/caller.hpp"
#include "wall/stages.hpp"

namespace zub {

namespace {

result<mapping_handle> anonymous(std::uint64_t bytes) {
    void* at =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) return failure{std::string("cannot map memory: ") + std::strerror(errno)};
    return mapping_handle(at, mapping_release{static_cast<std::size_t>(bytes)});
}

std::span<std::uint8_t> bytes_of(const mapping_handle& mapping) {
    return {static_cast<std::uint8_t*>(mapping.get()), mapping.get_deleter().size};
}

}  // namespace

finished_image decode_in_process(bytes_view image, const image_ask& ask) {
    static std::once_flag prepared;
    std::call_once(prepared, prepare_image_stage);
    finished_image out;
    if (const auto declared = probe_image_size(image)) {
        if (const auto problem = image_size_problem(*declared)) {
            out.image = failure{*problem};
            return out;
        }
    }
    result<mapping_handle> region = anonymous(image_handback_bytes(image, ask));
    if (!region) {
        out.image = failure{region.why()};
        return out;
    }
    const int status = run_image_stage(image, ask, bytes_of(*region));
    image_handback header{};
    std::memcpy(&header, region->get(), sizeof header);
    out.format = stage_text(header.format, sizeof header.format);
    if (status != exit_done) {
        out.image = failure{status == exit_out_of_memory
                                ? "the decoder went over its memory limit"
                                : stage_text(header.report.error, sizeof header.report.error)};
        return out;
    }
    out.mapping = std::move(*region);
    out.image = read_image_handback(bytes_of(out.mapping), ask.pixels);
    return out;
}

finished_texts render_in_process(std::span<const text_to_render> texts, bytes_view font,
                                 const texts_ask& ask) {
    static std::once_flag prepared;
    std::call_once(prepared, prepare_texts_stage);
    finished_texts out;
    const std::span<const text_to_render> taken = texts.first(std::min<std::size_t>(texts.size(), max_texts));
    const std::vector<std::uint8_t> input = texts_request(font, taken);
    result<mapping_handle> region = anonymous(texts_handback_bytes(taken.size(), ask));
    if (!region) {
        out.texts = failure{region.why()};
        return out;
    }
    if (run_texts_stage(bytes_view(input.data(), input.size()), ask, bytes_of(*region)) != exit_done) {
        stage_report report{};
        std::memcpy(&report, region->get(), sizeof report);
        out.fate = stage_text(report.error, sizeof report.error);
    }
    out.texts = read_texts_handback(bytes_of(*region), taken, ask);
    out.mappings.push_back(std::move(*region));
    return out;
}

}  // namespace zub
