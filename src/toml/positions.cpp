// Positions of byte offsets: the first position asked of a document walks the
// text once to mark the line and column of every 256th byte, from which any
// offset's position is found by reading at most one block.

#include "toml/positions.hpp"

#include <algorithm>
#include <bit>
#include <mutex>

#include "text/word.hpp"
#include "toml/toml.hpp"

namespace vora::toml {

void advance(const char* p, std::size_t from, std::size_t to, std::uint32_t& line, std::uint32_t& column) {
    std::size_t i = from;
    auto step = [&](std::size_t k) {
        const auto c = static_cast<unsigned char>(p[k]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else {
            column += (c & 0xC0) != 0x80;
        }
    };
    // Eight ASCII bytes at a time: indexing the positions of a whole
    // document costs about 4 instructions a byte, against 11 a byte at a
    // time (callgrind, the parse and the position of its last byte less the
    // parse alone, on small_tables.toml and string_list.toml of
    // bench/reader_ir.py: 4.4 against 10.9 and 3.9 against 11.0).
    while (i + 8 <= to) {
        const std::uint64_t w = word::load(p + i);
        if (word::high(w)) {
            for (const std::size_t stop = i + 8; i < stop; ++i) step(i);
            continue;
        }
        const std::uint64_t feeds = word::equal_exact(w, '\n');
        if (feeds == 0) {
            column += 8;
        } else {
            line += static_cast<std::uint32_t>(std::popcount(feeds));
            // The bytes after the last line feed of the eight.
            column = 1 + 7 - static_cast<std::uint32_t>(word::last_lane(feeds));
        }
        i += 8;
    }
    for (; i < to; ++i) step(i);
}

void Document::index_positions(std::vector<Mark>& marks) const {
    const std::size_t n = text_.size();
    marks.resize(n / block + 1);
    std::uint32_t line = 1;
    std::uint32_t column = 1;
    std::size_t at = first_;
    for (std::size_t b = 0; b < marks.size(); ++b) {
        const std::size_t base = std::max<std::size_t>(b * block, first_);
        advance(text_.data(), at, base, line, column);
        at = base;
        marks[b] = Mark{line, column};
    }
}

const std::vector<Document::Mark>& Document::marks() const {
    std::call_once(marks_->made, [this] { index_positions(marks_->marks); });
    return marks_->marks;
}

Position Document::position(std::uint32_t offset) const {
    if (!marks_) return Position{};
    const std::vector<Mark>& marks = this->marks();
    const std::size_t b = offset / block;
    if (b >= marks.size()) return Position{};
    const std::size_t base = std::max<std::size_t>(b * block, first_);
    std::uint32_t line = marks[b].line;
    std::uint32_t column = marks[b].column;
    if (offset > base) advance(text_.data(), base, offset, line, column);
    return Position{line, column};
}

Span Document::span_of(std::uint32_t begin, std::uint32_t end) const {
    const Position from = position(begin);
    // The end, most often a few bytes on the same line, walked to from the start.
    if (!marks_ || begin < first_ || end < begin || end - begin > block || end > text_.size())
        return Span{from, position(end)};
    Position to = from;
    advance(text_.data(), begin, end, to.line, to.column);
    return Span{from, to};
}

}  // namespace vora::toml
