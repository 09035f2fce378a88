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

namespace {

// The class of an ASCII character in a 64-bit set: one per letter, digit,
// `_` and `-`, the others shared. A character whose class a text lacks is
// not in it.
constexpr std::array<std::uint8_t, 128> kinds = [] {
    std::array<std::uint8_t, 128> k{};
    for (std::size_t c = 0; c < 128; ++c) k[c] = static_cast<std::uint8_t>(38 + c % 26);
    for (std::size_t c = 'a'; c <= 'z'; ++c) k[c] = static_cast<std::uint8_t>(c - 'a');
    for (std::size_t c = 'A'; c <= 'Z'; ++c) k[c] = static_cast<std::uint8_t>(c - 'A');
    for (std::size_t c = '0'; c <= '9'; ++c) k[c] = static_cast<std::uint8_t>(26 + c - '0');
    k['_'] = 36;
    k['-'] = 37;
    return k;
}();

std::uint64_t kind_of(char32_t c) { return std::uint64_t{1} << kinds[c]; }

// kind_of of each byte; none for those that are not ASCII.
constexpr std::array<std::uint64_t, 256> kind_bits = [] {
    std::array<std::uint64_t, 256> bits{};
    for (std::size_t c = 0; c < 128; ++c) bits[c] = std::uint64_t{1} << kinds[c];
    return bits;
}();

// The number of bits set, without relying on an instruction for it.
std::size_t bits_set(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ull;
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<std::size_t>(word::sum_lanes(x));
}

}  // namespace

Vocabulary::Vocabulary(std::span<const std::string_view> words)
    : words_(words.begin(), words.end()), entries_(words.size()) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        Entry& entry = entries_[i];
        entry.begin = folded_.size();
        std::array<std::uint32_t, 128> counts{};
        for (std::size_t at = 0; at < words[i].size();) {
            const auto c = static_cast<unsigned char>(words[i][at]);
            if (c < 0x80) {
                ++at;
                folded_.push_back(fold(c));
                entry.kinds |= kind_of(c);
                ++entry.ascii;
                ++counts[fold(c)];
            } else {
                folded_.push_back(utf8::next(words[i], at));
            }
        }
        entry.length = folded_.size() - entry.begin;
        entry.tally_begin = tally_.size();
        for (std::size_t c = 0; c < 128; ++c) {
            if (counts[c] > 0) tally_.push_back(Tally{static_cast<std::uint8_t>(c), counts[c]});
        }
        entry.tally_end = tally_.size();
        if (i % 64 == 0) blocks_.emplace_back();
        Block& block = blocks_.back();
        block.words |= std::uint64_t{1} << (i % 64);
        block.kinds |= entry.kinds;
        kinds_ |= entry.kinds;
        for (std::uint64_t k = entry.kinds; k != 0; k &= k - 1) {
            block.have[static_cast<std::size_t>(std::countr_zero(k))] |= std::uint64_t{1} << (i % 64);
        }
    }
}

namespace {

// Counters of 0 to 8 (8 standing for more), one bit of each in each of 64
// lanes.
struct Lanes {
    std::uint64_t one = 0, two = 0, four = 0, eight = 0;

    // Adds 1 in the lanes of `x`.
    void add(std::uint64_t x) {
        const std::uint64_t carry_one = one & x;
        one ^= x;
        const std::uint64_t carry_two = two & carry_one;
        two ^= carry_one;
        eight |= four & carry_two;
        four ^= carry_two;
    }

    // The lanes at `t` (1 to 8) or above.
    std::uint64_t at_least(std::size_t t) const {
        if (t >= 8) return eight;
        std::uint64_t above = 0, equal = ~std::uint64_t{0};
        const std::uint64_t planes[] = {four, two, one};
        for (std::size_t b = 0; b < 3; ++b) {
            if ((t >> (2 - b)) & 1) {
                equal &= planes[b];
            } else {
                above |= equal & planes[b];
                equal &= ~planes[b];
            }
        }
        return eight | above | equal;
    }
};

}  // namespace

// Each edit changes the length by at most one, and brings in at most one
// character and takes away at most one: the difference in length, and the
// characters that one text has more often than the other, bound the
// distance from below. A word they put farther than the best so far (or as
// far, once that is not the single nearest) is not measured. The words
// with more classes of character that `word` lacks than the limit are set
// aside first, 64 at a time.
Vocabulary::Match Vocabulary::match(std::string_view word, Memo* memo) const {
    std::size_t ascii = 0;
    std::uint64_t word_kinds = 0;
    unsigned char high = 0;  // the top bits of all bytes
    for (const char c : word) {
        high |= static_cast<unsigned char>(c);
        word_kinds |= kind_bits[static_cast<unsigned char>(c)];
    }
    if (high < 0x80) {
        ascii = word.size();
    } else {
        for (const char c : word) ascii += static_cast<unsigned char>(c) < 0x80;
    }
    const std::size_t n = ascii == word.size() ? ascii : utf8::count_code_points(word);
    const std::size_t limit = std::max<std::size_t>(1, n / 3);
    // The word's characters and how often it has each ASCII one, when first needed.
    Scratch<char32_t, inline_length> word_buffer;
    Scratch<std::size_t, 3 * (inline_length + 1)> rows;
    char32_t* folded = nullptr;
    std::size_t folded_size = 0;  // n, unless the word is not well-formed UTF-8
    std::array<std::uint32_t, 128> counts;
    const bool remembered = memo && memo->of == this && memo->kinds == (word_kinds & kinds_) && memo->limit == limit;
    if (memo && !remembered) *memo = Memo{this, word_kinds & kinds_, limit, std::vector<std::uint64_t>(blocks_.size())};
    Match found;
    std::size_t best = limit + 1;
    for (std::size_t first = 0; first < entries_.size(); first += 64) {
        const Block& block = blocks_[first / 64];
        std::uint64_t far;
        if (remembered) {
            far = memo->far[first / 64];
        } else {
            Lanes foreign;
            for (std::uint64_t k = block.kinds & ~word_kinds; k != 0; k &= k - 1) {
                foreign.add(block.have[static_cast<std::size_t>(std::countr_zero(k))]);
            }
            far = foreign.at_least(limit + 1);
            if (memo) memo->far[first / 64] = far;
        }
        for (std::uint64_t left = block.words & ~far; left != 0; left &= left - 1) {
            const std::size_t i = first + static_cast<std::size_t>(std::countr_zero(left));
            const Entry& entry = entries_[i];
            // A word is measured when it may be as near as the best so far:
            // one as near makes that one not the single nearest.
            const std::size_t bound = found.nearest ? best : limit;
            if ((n > entry.length ? n - entry.length : entry.length - n) > bound) continue;
            if (bits_set(entry.kinds & ~word_kinds) > bound || bits_set(word_kinds & ~entry.kinds) > bound) continue;
            if (!folded) {
                folded_size = fold_into(word, word_buffer, folded);
                counts.fill(0);
                for (std::size_t j = 0; j < folded_size; ++j) {
                    if (folded[j] < 0x80) ++counts[folded[j]];
                }
            }
            // The ASCII characters the entry has more often than the word,
            // and those the word has more often.
            std::size_t more = 0;
            for (std::size_t t = entry.tally_begin; t < entry.tally_end; ++t) {
                const std::uint32_t have = counts[tally_[t].c];
                if (tally_[t].count > have) more += tally_[t].count - have;
            }
            const std::size_t fewer = more + ascii - entry.ascii;  // each side sums to its ASCII count
            if (more > bound || fewer > bound) continue;
            const std::size_t m = entry.length;
            const std::size_t d =
                distance(folded, folded_size, &folded_[entry.begin], m, bound, rows.get(3 * (m + 1)));
            if (d < best) {
                found = Match{i, true};
                best = d;
                // The first that differs in case only is the one meant, whatever follows.
                if (d == 0) return found;
            } else if (d == best && found.nearest) {
                found.single = false;
            }
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
