#include "tools/zub/texts_file.hpp"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string_view>

#include "document/document.hpp"
#include "document/strings.hpp"
#include "files/read_file.hpp"
#include "tools/zub/colours.hpp"
#include "tools/zub/commands.hpp"

namespace zub {

namespace {

// UTF-8 to Latin-1, the bytes the text renderer reads. A control character (a zero
// byte would end the text where it stands; a tab is drawn as a box) is refused with its
// place in the text, and so is a character outside Latin-1, named.
result<std::string> to_latin1(std::string_view utf8, const std::string& what) {
    const auto codes = code_points(utf8);
    if (!codes) return failure{what + " is not valid UTF-8"};
    std::string out;
    for (std::size_t i = 0; i < codes->size(); ++i) {
        const std::uint32_t code = (*codes)[i];
        char name[16];
        (void)std::snprintf(name, sizeof name, "U+%04X", code);
        const std::string place = " at character " + std::to_string(i + 1) + " of the text";
        if (code == 0) return failure{what + " has a zero byte" + place + ", which would end the text there"};
        if (is_control_character(code))
            return failure{what + " has the control character " + name + (code == '\t' ? " (a tab)" : "") +
                           place};
        if (code > 0xFF) {
            std::string character;
            append_utf8(character, code);
            return failure{what + " has the character " + name + " (" + character + ")" + place +
                           ", which is outside Latin-1"};
        }
        out += static_cast<char>(code);
    }
    return out;
}

// A field with the spaces and tabs around it taken off.
std::string_view trimmed(std::string_view field) {
    const auto first = field.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    return field.substr(first, field.find_last_not_of(" \t") - first + 1);
}

// A position as written: a whole number, with a sign ("+5", "-3") or none.
std::optional<long> position_of(std::string_view field) {
    field = trimmed(field);
    if (field.starts_with('+') && field.size() > 1 && field[1] != '-') field.remove_prefix(1);
    return whole_number(field);
}

}  // namespace

outcome check_string_length(const std::string& bytes, const std::string& what) {
    if (bytes.size() > max_string_length) {
        return failure{what + " is " + std::to_string(bytes.size()) + " bytes long (at most 255)"};
    }
    return done{};
}

result<text_to_write> parse_text(const std::string& entry, const std::string& where) {
    const std::string what = where + " " + quoted(entry);
    const auto first = entry.find(',');
    const auto second = first == std::string::npos ? first : entry.find(',', first + 1);
    const auto third = second == std::string::npos ? second : entry.find(',', second + 1);
    if (third == std::string::npos) return failure{what + " is not in the form X,Y,#RRGGBB,TEXT"};
    const auto x = position_of(std::string_view(entry).substr(0, first));
    const auto y = position_of(std::string_view(entry).substr(first + 1, second - first - 1));
    if (!x || !y) return failure{what + ": the position is not two whole numbers"};
    if (*x < -32768 || *x > 32767 || *y < -32768 || *y > 32767) {
        return failure{what + ": the position is outside -32768..32767"};
    }
    const std::string_view written = trimmed(std::string_view(entry).substr(second + 1, third - second - 1));
    const std::optional<colour> rgb = colour_of(written);
    if (!rgb) {
        return failure{what + ": the colour " + quoted(written, '\'') +
                       " is not #rrggbb, #rgb or a CSS colour name"};
    }
    text_to_write text;
    text.red = rgb->red;
    text.green = rgb->green;
    text.blue = rgb->blue;
    text.x = static_cast<std::int16_t>(*x);
    text.y = static_cast<std::int16_t>(*y);
    const result<std::string> latin1 = to_latin1(entry.substr(third + 1), what);
    if (!latin1) return failure{latin1.why()};
    text.text = *latin1;
    if (const outcome length = check_string_length(text.text, what + " in Latin-1"); !length)
        return failure{length.why()};
    // The text is the rest of the line as it stands: a space after the colour's comma is
    // the text's own, which is easy to write without meaning it.
    if (text.text.starts_with(' '))
        say("", "note: " + what +
                    ": the text begins with a space, which is stored and drawn (it starts right "
                    "after the colour's comma)");
    return text;
}

outcome read_texts_file(const std::string& path, std::vector<text_to_write>& texts, bool regular_only) {
    const result<file_bytes> loaded =
        read_file(path, file_bound{max_texts_file_bytes, "a texts file", regular_only, "the file"});
    if (!loaded) return failure{path + ": " + loaded.why()};
    const bytes_view bytes = loaded->view();
    std::string_view rest(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
    std::string bad;  // the last bad line's words
    bool not_utf8 = false;
    for (int number = 1; !rest.empty(); ++number) {
        const auto end = rest.find('\n');
        std::string line(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos || line.starts_with('#')) continue;
        const result<text_to_write> text = parse_text(line, path + ":" + std::to_string(number));
        if (text) {
            texts.push_back(*text);
            continue;
        }
        // Every bad line is said, the last as the failure.
        if (!bad.empty()) say("", bad);
        bad = text.why();
        not_utf8 = not_utf8 || !code_points(line);
    }
    if (not_utf8) {
        say("", bad);
        bad = path + ": is not UTF-8; a Latin-1 file converts with iconv -f latin1 -t utf-8";
    }
    if (!bad.empty()) return failure{bad};
    return done{};
}

result<std::string> text_line(const text_to_write& text) {
    std::string utf8;
    for (std::size_t i = 0; i < text.text.size(); ++i) {
        const auto code = static_cast<std::uint8_t>(text.text[i]);
        if (code == 0 || is_control_character(code)) {
            char name[8];
            (void)std::snprintf(name, sizeof name, "U+%04X", unsigned{code});
            return failure{std::string("its text has the control character ") + name + " at character " +
                           std::to_string(i + 1) + ", which a texts file cannot hold"};
        }
        append_utf8(utf8, code);
    }
    char head[40];
    (void)std::snprintf(head, sizeof head, "%d,%d,#%02x%02x%02x,", text.x, text.y, text.red, text.green,
                        text.blue);
    return head + utf8;
}

}  // namespace zub
