// Guessing what a mistyped command or option meant.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zub {

// Edits (insertions, deletions, changes and swaps of neighbours) between two words.
std::size_t edit_distance(const std::string& a, const std::string& b);

// The known word closest to `word`, when it is a typing slip away.
std::optional<std::string> closest(const std::string& word, const std::vector<std::string>& known);

}  // namespace zub
