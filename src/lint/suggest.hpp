// Finding the known word that a misspelled one was meant to be.
#pragma once

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
// searches: each word's characters with ASCII letters lower-cased, and the
// classes of its ASCII characters, which bound the distance from below.
class Vocabulary {
public:
    explicit Vocabulary(std::span<const std::string_view> words);

    std::span<const std::string_view> words() const { return words_; }

    struct Match {
        std::optional<std::size_t> nearest;  // as nearest() gives it
        bool single = false;                 // and single_nearest() gives the same
    };
    Match match(std::string_view word) const;

private:
    std::vector<std::string_view> words_;
    struct Entry {
        std::uint64_t kinds;  // the classes of its ASCII characters
        std::size_t begin;    // of its characters in folded_
        std::size_t length;   // in characters
    };
    std::vector<Entry> entries_;  // per word
    std::vector<char32_t> folded_;
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
