// Picture formats by the extensions of their files: the ones zub render writes, and the
// others, that its output must not be named for.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zub {

// What a file named `path` would be taken for, when its extension is that of a format
// zub render does not write ("a JPEG picture", "a ZUB document"); nothing for a format it
// writes, a name without an extension or an extension of no picture format. Extensions
// are matched whatever their case.
std::optional<std::string> unwritten_format(std::string_view path);

// The extension of the path's last name, in lower case, or nothing: a name that only
// starts with a dot (".png") has none.
std::string file_extension(std::string_view path);

// The formats zub render writes, for messages: "PNG (.png)".
std::string written_formats();

}  // namespace zub
