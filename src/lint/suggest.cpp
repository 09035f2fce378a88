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

Vocabulary::Vocabulary(std::span<const std::string_view> words)
    : words_(words.begin(), words.end()), entries_(words.size()), counts_(128 * words.size()) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        Entry& entry = entries_[i];
        entry.begin = folded_.size();
        for (std::size_t at = 0; at < words[i].size();) {
            const auto c = static_cast<unsigned char>(words[i][at]);
            const char32_t cp = c < 0x80 ? fold(c) : utf8::next(words[i], at);
            if (c < 0x80) {
                ++at;
                entry.ascii[cp >> 6] |= std::uint64_t{1} << (cp & 63);
                ++counts_[128 * i + cp];
            }
            folded_.push_back(cp);
        }
        entry.length = folded_.size() - entry.begin;
    }
}

std::optional<std::size_t> Vocabulary::case_only(std::string_view word) const {
    for (std::size_t i = 0; i < words_.size(); ++i) {
        if (same_but_case(word, words_[i])) return i;
    }
    return std::nullopt;
}

// Each edit changes the length by at most one, and brings in or takes away
// at most one character that only one of the texts has: these bound the
// distance from below, and a word they put farther than the best so far (or
// as far, once that is not the single nearest) is not measured.
Vocabulary::Match Vocabulary::match(std::string_view word) const {
    Scratch<char32_t, inline_length> word_buffer;
    Scratch<std::size_t, 3 * (inline_length + 1)> rows;
    char32_t* folded;
    const std::size_t n = fold_into(word, word_buffer, folded);
    const std::size_t limit = std::max<std::size_t>(1, n / 3);
    std::array<std::uint64_t, 2> ascii{};
    std::array<std::uint32_t, 128> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        if (folded[i] >= 0x80) continue;
        ascii[folded[i] >> 6] |= std::uint64_t{1} << (folded[i] & 63);
        ++counts[folded[i]];
    }
    // Sums how often `count` has the characters of `bits`, stopping once past `bound`.
    const auto over = [](const std::array<std::uint64_t, 2>& bits, const std::uint32_t* count, std::size_t bound) {
        std::size_t sum = 0;
        for (std::size_t half = 0; half < 2; ++half) {
            for (std::uint64_t b = bits[half]; b != 0; b &= b - 1) {
                sum += count[half * 64 + static_cast<std::size_t>(std::countr_zero(b))];
                if (sum > bound) return true;
            }
        }
        return false;
    };
    Match found;
    std::size_t best = limit + 1;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        // A word is measured when it may be as near as the best so far: one
        // as near makes that one not the single nearest.
        const std::size_t bound = found.nearest ? best : limit;
        if ((n > entry.length ? n - entry.length : entry.length - n) > bound) continue;
        if (over({entry.ascii[0] & ~ascii[0], entry.ascii[1] & ~ascii[1]}, &counts_[128 * i], bound)) continue;
        if (over({ascii[0] & ~entry.ascii[0], ascii[1] & ~entry.ascii[1]}, counts.data(), bound)) continue;
        const std::size_t m = entry.length;
        const std::size_t d = distance(folded, n, &folded_[entry.begin], m, bound, rows.get(3 * (m + 1)));
        if (d < best) {
            found = Match{i, true};
            best = d;
            // The first that differs in case only is the one meant, whatever follows.
            if (d == 0) break;
        } else if (d == best && found.nearest) {
            found.single = false;
        }
    }
    return found;
}

std::optional<std::size_t> nearest(std::string_view word, std::span<const std::string_view> candidates) {
    return Vocabulary(candidates).match(word).nearest;
}

std::optional<std::size_t> single_nearest(std::string_view word, std::span<const std::string_view> candidates) {
    const Vocabulary::Match found = Vocabulary(candidates).match(word);
    return found.single ? found.nearest : std::nullopt;
}

}  // namespace vora::lint
