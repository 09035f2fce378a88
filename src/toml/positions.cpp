// Positions of byte offsets: the first position asked of a document walks the
// text once to mark the line and column of every 256th byte, from which any
// offset's position is found by reading at most one block.

#include "toml/positions.hpp"

#include <algorithm>
#include <mutex>

#include "text/source_index.hpp"
#include "toml/toml.hpp"

namespace vora::toml {

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
