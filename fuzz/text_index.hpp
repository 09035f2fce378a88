// Helpers shared by the fuzz targets: a UTF-8 check written independently of
// the project's own, and an index of the lines of a text that turns byte
// offsets into (line, column) positions and back, and tells whether a
// position lies within the text. Lines end at a line feed; columns count Unicode scalar
// values; in malformed text, where a reader may count a stray byte as one
// replacement character, every byte counts one. A leading byte-order mark is
// not counted.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace fuzz {

// Reports a broken invariant and aborts, so that libFuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

inline void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

// Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        i += len;
    }
    return true;
}

class LineIndex {
public:
    explicit LineIndex(std::string_view text) : text_(text), bytes_(!valid_utf8(text)) {
        bom_ = text.substr(0, 3) == "\xEF\xBB\xBF";
        starts_.push_back(bom_ ? 3 : 0);
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\n') starts_.push_back(i + 1);
        }
    }

    std::size_t lines() const { return starts_.size(); }

    // Columns on line `line` (1-based), the line feed excluded.
    std::size_t line_length(std::size_t line) const {
        const std::size_t begin = starts_[line - 1];
        const std::size_t end = line < starts_.size() ? starts_[line] - 1 : text_.size();
        return columns_between(begin, end);
    }

    // The (line, column) of byte `offset`: the start of a character, or the
    // end of the text. Offsets inside a byte-order mark name the first
    // character after it.
    std::pair<std::size_t, std::size_t> position(std::size_t offset) const {
        if (bom_ && offset < 3) offset = 3;
        const auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
        const std::size_t line = static_cast<std::size_t>(it - starts_.begin());
        return {line, 1 + columns_between(starts_[line - 1], offset)};
    }

    // The byte offset of (line, column), when it lies within the text.
    std::optional<std::size_t> offset(std::size_t line, std::size_t column) const {
        if (!contains(line, column)) return std::nullopt;
        std::size_t i = starts_[line - 1];
        for (std::size_t c = 1; c < column; ++c) {
            ++i;
            if (!bytes_) {
                while (i < text_.size() && (static_cast<unsigned char>(text_[i]) & 0xC0) == 0x80) ++i;
            }
        }
        return i;
    }

    // Whether (line, column) names a place in the text: a character or the
    // end of a line.
    bool contains(std::size_t line, std::size_t column) const {
        return line >= 1 && column >= 1 && line <= lines() && column <= line_length(line) + 1;
    }

private:
    std::size_t columns_between(std::size_t begin, std::size_t end) const {
        std::size_t n = 0;
        if (bytes_) return end - begin;
        for (std::size_t i = begin; i < end; ++i) n += (static_cast<unsigned char>(text_[i]) & 0xC0) != 0x80;
        return n;
    }

    std::string_view text_;
    bool bytes_ = false;  // malformed text: columns count bytes
    bool bom_ = false;
    std::vector<std::size_t> starts_;  // byte offset of each line's first character
};

template <class P>
bool before_or_same(const P& a, const P& b) {
    return a.line < b.line || (a.line == b.line && a.column <= b.column);
}

// Reads every byte of `s`, so that the sanitizers see a view that outlived
// its storage.
inline std::size_t touch(std::string_view s) {
    std::size_t h = s.size();
    for (unsigned char c : s) h = h * 31 + c;
    return h;
}

}  // namespace fuzz
