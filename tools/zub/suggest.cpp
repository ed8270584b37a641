#include "tools/zub/suggest.hpp"

#include <algorithm>

namespace zub {

std::size_t edit_distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::optional<std::string> closest(const std::string& word, const std::vector<std::string>& known) {
    std::optional<std::string> best;
    std::size_t best_distance = 3;
    for (const std::string& candidate : known) {
        const std::size_t distance = edit_distance(word, candidate);
        // Short names are all a slip or two from each other: no guesses among them.
        if (distance < best_distance && distance + 1 < candidate.size()) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best;
}

}  // namespace zub
