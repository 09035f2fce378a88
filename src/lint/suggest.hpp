// Finding the known word that a misspelled one was meant to be.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace vora::lint {

// The restricted Damerau-Levenshtein distance (optimal string alignment) of
// two texts in characters: insertions, deletions, substitutions and swaps of
// two neighbouring characters, each character edited at most once. ASCII
// letters compare without regard to case.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The words a misspelled one is matched against, read once for any number of
// searches: each word's characters with ASCII letters lower-cased, its length
// in characters and how often it has each ASCII character, which bound the
// distance from below before it is measured.
class Vocabulary {
public:
    explicit Vocabulary(std::span<const std::string_view> words);

    std::span<const std::string_view> words() const { return words_; }

    struct Match {
        std::optional<std::size_t> nearest;  // as nearest() gives it
        bool single = false;                 // and single_nearest() gives the same
    };
    // The words a search set aside by the kinds of character alone, kept
    // for a next word with the same kinds (of those the vocabulary has) and
    // limit: one searcher's, not to be shared between threads.
    struct Memo {
        const Vocabulary* of = nullptr;
        std::uint64_t kinds = 0;
        std::size_t limit = 0;
        std::vector<std::uint64_t> far;  // per 64 words
    };
    Match match(std::string_view word, Memo* memo = nullptr) const;

private:
    struct Entry {
        std::size_t begin = 0;        // of its characters in folded_
        std::size_t length = 0;       // in characters
        std::size_t ascii = 0;        // of which ASCII
        std::uint64_t kinds = 0;      // the classes (kind_of) of its ASCII characters
        std::size_t tally_begin = 0;  // of its ASCII characters in tally_, each once
        std::size_t tally_end = 0;
    };
    struct Tally {
        std::uint8_t c;  // an ASCII character, lower-cased
        std::uint32_t count;
    };
    // Sixty-four words side by side: which of them have each class.
    struct Block {
        std::array<std::uint64_t, 64> have{};
        std::uint64_t kinds = 0;  // the classes any of them has
        std::uint64_t words = 0;  // which of the 64 are words
    };

    std::vector<std::string_view> words_;
    std::vector<Entry> entries_;
    std::vector<char32_t> folded_;
    std::vector<Tally> tally_;
    std::vector<Block> blocks_;
    std::uint64_t kinds_ = 0;  // those any word has
};

// The index of the candidate `word` was most likely meant to be: the first
// that differs from it in case only; otherwise the nearest by edit_distance
// when at most a third of word's length in characters (rounded down, at
// least 1) away, the first of equally near ones. Nothing when none is close.
std::optional<std::size_t> nearest(std::string_view word, std::span<const std::string_view> candidates);

// nearest(), when no other candidate is as near to `word` as the one it
// gives (a case-only match always is the one); nothing otherwise.
std::optional<std::size_t> single_nearest(std::string_view word, std::span<const std::string_view> candidates);

}  // namespace vora::lint
