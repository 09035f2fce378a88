#include "lint/suggest.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

#include "text/utf8.hpp"

namespace vora::lint {

namespace {

char32_t fold(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }

// Room for `n` elements: on the stack up to N, past it in a heap block kept
// for the next request.
template <class T, std::size_t N>
class Scratch {
public:
    T* get(std::size_t n) {
        if (n <= N) return small_.data();
        if (large_.size() < n) large_.resize(n);
        return large_.data();
    }

private:
    std::array<T, N> small_;
    std::vector<T> large_;
};

// The code points of `text`, ASCII letters lower-cased, into `buffer`; their number.
template <std::size_t N>
std::size_t fold_into(std::string_view text, Scratch<char32_t, N>& buffer, char32_t*& out) {
    out = buffer.get(text.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out[n++] = fold(c);
            ++i;
        } else {
            out[n++] = utf8::next(text, i);  // folds to itself
        }
    }
    return n;
}

// The optimal string alignment distance of a[0, n) and b[0, m), or a value
// above `cutoff` as soon as it is certain to be above it. `rows` holds
// 3 * (m + 1) cells.
std::size_t distance(const char32_t* a, std::size_t n, const char32_t* b, std::size_t m, std::size_t cutoff,
                     std::size_t* rows) {
    // Three rows of the distance matrix: two back (for swaps), one back, this one.
    std::size_t* before = rows;
    std::size_t* previous = rows + (m + 1);
    std::size_t* current = rows + 2 * (m + 1);
    for (std::size_t j = 0; j <= m; ++j) previous[j] = j;
    std::size_t previous_min = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        current[0] = i;
        std::size_t row_min = i;
        for (std::size_t j = 1; j <= m; ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            std::size_t d = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d = std::min(d, before[j - 2] + 1);
            current[j] = d;
            row_min = std::min(row_min, d);
        }
        // Every cell comes from the row above (+0 or +1), from two rows
        // above (+1) or from the first column: once two rows in a row are
        // past the cutoff, so is every later one.
        if (row_min > cutoff && previous_min > cutoff) return cutoff + 1;
        previous_min = row_min;
        std::swap(before, previous);
        std::swap(previous, current);
    }
    return previous[m];
}

constexpr std::size_t inline_length = 64;

}  // namespace

std::size_t edit_distance(std::string_view a_text, std::string_view b_text) {
    Scratch<char32_t, inline_length> a_buffer, b_buffer;
    Scratch<std::size_t, 3 * (inline_length + 1)> rows;
    char32_t* a;
    char32_t* b;
    const std::size_t n = fold_into(a_text, a_buffer, a);
    const std::size_t m = fold_into(b_text, b_buffer, b);
    return distance(a, n, b, m, std::max(n, m), rows.get(3 * (m + 1)));
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
    Scratch<char32_t, inline_length> word_buffer, candidate_buffer;
    Scratch<std::size_t, 3 * (inline_length + 1)> rows;
    char32_t* folded;
    const std::size_t n = fold_into(word, word_buffer, folded);
    const std::size_t length = utf8::count_code_points(word);
    const std::size_t limit = std::max<std::size_t>(1, length / 3);
    // The letters of an ASCII word (lower-cased): which, and how often.
    const bool ascii_word = std::all_of(word.begin(), word.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    std::array<std::uint64_t, 2> letters{};
    std::array<std::uint32_t, 128> counts{};
    if (ascii_word) {
        for (std::size_t i = 0; i < n; ++i) {
            letters[folded[i] >> 6] |= std::uint64_t{1} << (folded[i] & 63);
            ++counts[folded[i]];
        }
    }
    std::optional<std::size_t> best;
    std::size_t best_distance = limit + 1;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        // Each edit changes the length by at most one, and brings in or
        // takes away at most one letter that only one of the texts has:
        // these bound the distance from below, and a candidate they put no
        // nearer than the best so far is not measured.
        const std::string_view text = candidates[i];
        const std::size_t other = utf8::count_code_points(text);
        if ((length > other ? length - other : other - length) >= best_distance) continue;
        if (ascii_word) {
            std::array<std::uint64_t, 2> seen{};
            std::size_t foreign = 0;  // letters of the candidate the word lacks
            std::size_t j = 0;
            for (; j < text.size() && foreign < best_distance; ++j) {
                const auto c = static_cast<unsigned char>(text[j]);
                if (c >= 0x80) break;
                const char32_t f = fold(c);
                const std::uint64_t bit = std::uint64_t{1} << (f & 63);
                foreign += (letters[f >> 6] & bit) == 0;
                seen[f >> 6] |= bit;
            }
            if (foreign >= best_distance) continue;
            if (j == text.size()) {
                std::size_t missing = 0;  // letters of the word the candidate lacks
                for (std::size_t half = 0; half < 2; ++half) {
                    for (std::uint64_t bits = letters[half] & ~seen[half]; bits != 0; bits &= bits - 1)
                        missing += counts[half * 64 + static_cast<std::size_t>(std::countr_zero(bits))];
                }
                if (missing >= best_distance) continue;
            }
        }
        char32_t* candidate;
        const std::size_t m = fold_into(text, candidate_buffer, candidate);
        const std::size_t d = distance(folded, n, candidate, m, best_distance - 1, rows.get(3 * (m + 1)));
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
