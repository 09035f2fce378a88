#include "lint/suggest.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "text/utf8.hpp"

namespace vora::lint {

namespace {

char32_t fold(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

std::u32string folded(std::string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) out += fold(utf8::next(text, i));
    return out;
}

}  // namespace

std::size_t edit_distance(std::string_view a_text, std::string_view b_text) {
    const std::u32string a = folded(a_text);
    const std::u32string b = folded(b_text);
    const std::size_t n = a.size(), m = b.size();
    // Three rows of the distance matrix: two back (for swaps), one back, this one.
    std::vector<std::size_t> before(m + 1), previous(m + 1), current(m + 1);
    for (std::size_t j = 0; j <= m; ++j) previous[j] = j;
    for (std::size_t i = 1; i <= n; ++i) {
        current[0] = i;
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            std::size_t d = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d = std::min(d, before[j - 2] + 1);
            current[j] = d;
        }
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[m];
}

bool same_but_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return fold(static_cast<unsigned char>(x)) == fold(static_cast<unsigned char>(y));
           });
}

std::optional<std::size_t> case_only(std::string_view word, std::span<const std::string_view> candidates) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (same_but_case(word, candidates[i])) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> nearest(std::string_view word, std::span<const std::string_view> candidates) {
    if (const auto same = case_only(word, candidates)) return same;
    const std::size_t length = utf8::count_code_points(word);
    const std::size_t limit = std::max<std::size_t>(1, length / 3);
    std::optional<std::size_t> best;
    std::size_t best_distance = limit + 1;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        // The difference in length is edits already: a text far longer or
        // shorter than the candidate is not measured at all.
        const std::size_t other = utf8::count_code_points(candidates[i]);
        if ((length > other ? length - other : other - length) > limit) continue;
        const std::size_t d = edit_distance(word, candidates[i]);
        if (d < best_distance) {
            best = i;
            best_distance = d;
        }
    }
    return best;
}

std::optional<std::size_t> single_nearest(std::string_view word, std::span<const std::string_view> candidates) {
    if (const auto same = case_only(word, candidates)) return same;
    const std::size_t length = utf8::count_code_points(word);
    const std::size_t limit = std::max<std::size_t>(1, length / 3);
    std::optional<std::size_t> best;
    std::size_t best_distance = limit + 1;
    bool tied = false;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        const std::size_t other = utf8::count_code_points(candidates[i]);
        if ((length > other ? length - other : other - length) > std::min(limit, best_distance)) continue;
        const std::size_t d = edit_distance(word, candidates[i]);
        if (d < best_distance) {
            best = i;
            best_distance = d;
            tied = false;
        } else if (d == best_distance && best) {
            tied = true;
        }
    }
    return tied ? std::nullopt : best;
}

}  // namespace vora::lint
