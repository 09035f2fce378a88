#include "lint/suggest.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "text/utf8.hpp"
#include "text/word.hpp"

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

namespace {

// The class of an ASCII character in a 64-bit set: one per letter (of either
// case), digit, `_` and `-`, the others shared; none for other bytes.
constexpr std::array<std::uint64_t, 256> kind_bits = [] {
    std::array<std::uint64_t, 256> bits{};
    for (std::size_t c = 0; c < 128; ++c) {
        std::size_t kind = 38 + c % 26;
        if (c >= 'a' && c <= 'z') kind = c - 'a';
        if (c >= 'A' && c <= 'Z') kind = c - 'A';
        if (c >= '0' && c <= '9') kind = 26 + c - '0';
        if (c == '_') kind = 36;
        if (c == '-') kind = 37;
        bits[c] = std::uint64_t{1} << kind;
    }
    return bits;
}();

// The number of bits set, inline: std::popcount, without an instruction for
// it in the baseline x86-64 target, is a library call; inline, the check of
// unknown_keys.toml (below Vocabulary::match) costs 2 instructions a byte
// less, 4.85 times the reader instead of 4.93.
std::size_t bits_set(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>(word::sum_lanes(x));
}

// The classes of the ASCII characters of `text`; `ascii` tells whether all are.
std::uint64_t kinds_of(std::string_view text, bool& ascii) {
    std::uint64_t kinds = 0;
    unsigned char high = 0;  // the top bits of all bytes
    for (const char c : text) {
        kinds |= kind_bits[static_cast<unsigned char>(c)];
        high |= static_cast<unsigned char>(c);
    }
    ascii = high < 0x80;
    return kinds;
}

}  // namespace

Vocabulary::Vocabulary(std::span<const std::string_view> words) : words_(words.begin(), words.end()) {
    for (const std::string_view word : words) {
        bool ascii;
        Entry& entry = entries_.emplace_back(Entry{kinds_of(word, ascii), folded_.size(), 0});
        for (std::size_t at = 0; at < word.size();) {
            const auto c = static_cast<unsigned char>(word[at]);
            if (c < 0x80) {
                folded_.push_back(fold(c));
                ++at;
            } else {
                folded_.push_back(utf8::next(word, at));  // folds to itself
            }
        }
        entry.length = folded_.size() - entry.begin;
    }
}

// The words in order: each that neither the classes of character one of
// the two has and the other lacks nor its difference in length put farther
// than the best so far (or than the limit) is measured, with that as the
// cut-off. One as near as the best makes it not the single nearest.
// Each edit changes the length by at most one and brings in or takes away
// at most one character (a substitution: one class in, one out), so the
// length, and half the classes in one text only, bound the distance below.
// The class bound is what keeps `check` of many unknown keys near the
// reader's cost. `check --format json` on bench/reader_ir.py's
// unknown_keys.toml (34 434 unknown keys of [config]; --vora-config), in
// instructions per byte, the reader alone at 27.7: the length bound alone
// 1449 (52 times the reader); with the class bound first 134 (4.85 times);
// the former search of 64 words side by side with lane counters and a memo
// of the words set aside 126 (4.57 times), kept no longer for its 6 %.
Vocabulary::Match Vocabulary::match(std::string_view word) const {
    bool ascii;
    const std::uint64_t word_kinds = kinds_of(word, ascii);
    const std::size_t n = ascii ? word.size() : utf8::count_code_points(word);
    const std::size_t limit = std::max<std::size_t>(1, n / 3);
    Scratch<char32_t, inline_length> word_buffer;
    Scratch<std::size_t, 3 * (inline_length + 1)> rows;
    char32_t* folded = nullptr;   // the word's characters, once a word is measured
    std::size_t folded_size = 0;  // n, unless the word is not well-formed UTF-8
    Match found;
    std::size_t best = limit + 1;
    for (std::size_t next = 0; const Entry& entry : entries_) {
        const std::size_t i = next++;
        const std::size_t bound = std::min(best, limit);  // best is limit + 1 until one is found
        if (bits_set(entry.kinds ^ word_kinds) > 2 * bound) continue;
        const std::size_t m = entry.length;
        if ((n > m ? n - m : m - n) > bound) continue;
        if (!folded) folded_size = fold_into(word, word_buffer, folded);
        const std::size_t d = distance(folded, folded_size, &folded_[entry.begin], m, bound, rows.get(3 * (m + 1)));
        if (d < best) {
            found = Match{i, true};
            best = d;
            // The first that differs in case only is the one meant, whatever follows.
            if (d == 0) return found;
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
