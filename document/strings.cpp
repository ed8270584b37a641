#include "document/strings.hpp"

#include <algorithm>
#include <cstdio>

#include "document/document.hpp"

namespace zub {

namespace {

struct decoded_character {
    std::uint32_t code = 0;
    std::size_t length = 0;  // bytes
};

// The strict UTF-8 character that starts at `at`, or nothing.
std::optional<decoded_character> character_at(std::string_view utf8, std::size_t at) {
    const auto lead = static_cast<unsigned char>(utf8[at]);
    std::uint32_t code = 0;
    std::size_t extra = 0;
    std::uint32_t least = 0;  // the smallest code point of this length
    if (lead < 0x80) return decoded_character{lead, 1};
    if ((lead & 0xE0U) == 0xC0) {
        code = lead & 0x1FU, extra = 1, least = 0x80;
    } else if ((lead & 0xF0U) == 0xE0) {
        code = lead & 0x0FU, extra = 2, least = 0x800;
    } else if ((lead & 0xF8U) == 0xF0) {
        code = lead & 0x07U, extra = 3, least = 0x10000;
    } else {
        return std::nullopt;
    }
    if (extra >= utf8.size() - at) return std::nullopt;
    for (std::size_t k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(utf8[at + k]);
        if ((next & 0xC0U) != 0x80) return std::nullopt;
        code = code << 6U | (next & 0x3FU);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    return decoded_character{code, extra + 1};
}

std::string_view as_chars(bytes_view bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void append_escaped(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        char hex[5];
        (void)std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
        out += hex;
    }
}

}  // namespace

bool is_control_character(std::uint32_t code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

void append_utf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0U | (code >> 6U));
        out += static_cast<char>(0x80U | (code & 0x3FU));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0U | (code >> 12U));
        out += static_cast<char>(0x80U | ((code >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (code & 0x3FU));
    } else {
        out += static_cast<char>(0xF0U | (code >> 18U));
        out += static_cast<char>(0x80U | ((code >> 12U) & 0x3FU));
        out += static_cast<char>(0x80U | ((code >> 6U) & 0x3FU));
        out += static_cast<char>(0x80U | (code & 0x3FU));
    }
}

std::optional<std::vector<std::uint32_t>> code_points(std::string_view utf8) {
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto character = character_at(utf8, i);
        if (!character) return std::nullopt;
        out.push_back(character->code);
        i += character->length;
    }
    return out;
}

std::string latin1_to_utf8(bytes_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const std::uint8_t b : latin1) append_utf8(out, b);
    return out;
}

std::string caption_text(bytes_view caption) {
    const std::string_view as_is = as_chars(caption);
    return code_points(as_is) ? std::string(as_is) : latin1_to_utf8(caption);
}

std::string title_text(bytes_view caption) {
    const bytes_view cut = caption.first(std::min(caption.size(), max_string_length));
    const auto zero = std::find(cut.begin(), cut.end(), std::uint8_t{0});
    const bytes_view shown = cut.first(static_cast<std::size_t>(zero - cut.begin()));
    if (code_points(as_chars(shown))) return std::string(as_chars(shown));
    // A character that starts in the last bytes shown and ends after the cut is dropped.
    if (shown.size() == max_string_length && caption.size() > max_string_length) {
        std::size_t lead = shown.size() - 1;
        while (lead > 0 && shown.size() - lead < 4 && (shown[lead] & 0xC0U) == 0x80) --lead;
        const auto whole = character_at(as_chars(caption), lead);
        const std::string_view before = as_chars(shown.first(lead));
        if (whole && lead + whole->length > shown.size() && code_points(before)) return std::string(before);
    }
    return latin1_to_utf8(shown);
}

std::string bytes_count(std::int64_t count) {
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

namespace {

// `text` with each byte of a control character or of what is not UTF-8 escaped, and
// with a backslash before each quote and backslash when `quotes` is set.
std::string escaped_text(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto character = character_at(text, i);
        const std::size_t length = character ? character->length : 1;
        const std::string_view bytes = text.substr(i, length);
        if (quotes && (bytes == "\\" || bytes == "\"")) {
            out += '\\';
            out += bytes;
        } else if (!character || is_control_character(character->code)) {
            append_escaped(out, bytes);
        } else {
            out += bytes;
        }
        i += length;
    }
    return out;
}

}  // namespace

std::string quoted_text(bytes_view text) { return escaped_text(as_chars(text), true); }

namespace {

std::string escaped_latin1(bytes_view text, bool in_quotes) {
    std::string out;
    out.reserve(text.size());
    for (const std::uint8_t byte : text) {
        if (byte == '\\' || (in_quotes && byte == '"')) {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (is_control_character(byte)) {
            append_escaped(out, as_chars(bytes_view(&byte, 1)));
        } else {
            append_utf8(out, byte);
        }
    }
    return out;
}

}  // namespace

std::string quoted_latin1(bytes_view text) { return escaped_latin1(text, true); }

std::string latin1_line(bytes_view text) { return escaped_latin1(text, false); }

std::string quoted_caption(bytes_view caption) {
    return code_points(as_chars(caption)) ? quoted_text(caption) : quoted_latin1(caption);
}

std::string terminal_safe(std::string_view text) { return escaped_text(text, false); }

}  // namespace zub
