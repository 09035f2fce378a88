// What lint.cpp and the findings share: the fixed words of composed
// messages, the table of phrases they index, and the test for a bare key.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "configuration/error.hpp"
#include "lint/lint.hpp"
#include "text/word.hpp"

namespace vora::lint {

// The words of an unknown key's or section's message: "`KEY` is not a key
// of [config]; the converter ignores it", "[KEY] is not a section; ...".
inline constexpr std::string_view kNotAKey = " is not a key";
inline constexpr std::string_view kNotASection = " is not a section";
inline constexpr std::string_view kIgnored = "; the converter ignores it";

// The few fixed texts that composed messages are made of, each kept once for
// the life of the program and named by its index (from 1): the ends of
// unknown-key messages (" of [config]") and the hints. They come from the
// configuration's names, so there are few of them.
class Phrases {
public:
    // The index of the pair, or 0 when the table is full.
    std::uint16_t index(std::string_view first, std::string_view second) {
        const std::lock_guard<std::mutex> lock(mutex_);
        key_.assign(first);
        key_ += '\0';
        key_ += second;
        const auto found = index_.find(key_);
        if (found != index_.end()) return found->second;
        if (items_.size() >= kMost) return 0;
        items_.emplace_back(first, second);
        const auto at = static_cast<std::uint16_t>(items_.size());
        index_.emplace(key_, at);
        return at;
    }
    // The pair at an index from index() (its texts never move).
    const std::pair<std::string, std::string>& at(std::uint16_t index) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return items_[index - 1];
    }

private:
    static constexpr std::size_t kMost = 255;  // a where's index is a byte
    std::mutex mutex_;
    std::deque<std::pair<std::string, std::string>> items_;
    std::map<std::string, std::uint16_t, std::less<>> index_;
    std::string key_;  // the two texts of the pair looked for, joined by a NUL
};

// The one table, kept for the life of the program.
Phrases& phrases();

// Whether a key is written bare: letters, digits, `_` and `-`.
inline bool bare(std::string_view key) {
    // Eight ASCII bytes at a time: each in one of the ranges.
    const auto in = [](std::uint64_t w, unsigned char low, unsigned char high) {
        return word::in_ascii_range(w, low, high);
    };
    std::size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
        const std::uint64_t w = word::load(key.data() + i);
        if (word::high(w) != 0) return false;
        const std::uint64_t allowed =
            in(w, 'a', 'z') | in(w, 'A', 'Z') | in(w, '0', '9') | in(w, '_', '_') | in(w, '-', '-');
        if (allowed != word::highs) return false;
    }
    static constexpr std::array<bool, 256> allowed = [] {
        std::array<bool, 256> a{};
        for (std::size_t c = 0; c < 256; ++c) {
            a[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        }
        return a;
    }();
    for (; i < key.size(); ++i) {
        if (!allowed[static_cast<unsigned char>(key[i])]) return false;
    }
    return !key.empty();
}

// What a warning adds when it knows what was meant: the end of its message
// and the suggestion.
struct Hint {
    std::string tail;
    std::string suggestion;
};

inline Hint did_you_mean(const std::string& shown, std::string_view meant) {
    return Hint{"; did you mean " + shown + "?", std::string(meant)};
}

// Whether `a` comes before `b` in file order (findings without a place
// first).
inline bool in_file_order(const Finding& a, const Finding& b) {
    const std::optional<std::size_t> x = a.begin();
    const std::optional<std::size_t> y = b.begin();
    if (!x || !y) return !x && y;
    return *x < *y;
}

// Makes the finding's fix of a string value (load_findings.cpp).
void correct_text(Finding& finding, std::string_view text, std::size_t begin, std::size_t end, std::string_view value,
                  std::string_view meant);

// The findings of loading's errors, appended to `out` (load_findings.cpp).
void load_findings(const toml::Document& document, std::vector<LoadError>& errors, std::vector<Finding>& out);

}  // namespace vora::lint
