// Lines and columns of byte offsets into one text, made only when a report
// is rendered: the one place that knows how a position is counted. Lines
// are 1-based and end at a line feed; columns are 1-based and count code
// points (a tab or a carriage return counts one), the byte-order mark at
// the start of the text not counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace vora {

struct LineColumn {
    std::uint32_t line = 1;
    std::uint32_t column = 1;
};

// Advances (line, column) over text[from, to): a line feed starts a line,
// every other character (not byte) is one column. The one rule of counting:
// the index below and the reader's own positions (toml::Document) both
// walk with it.
void advance(const char* text, std::size_t from, std::size_t to, std::uint32_t& line, std::uint32_t& column);

class SourceIndex {
public:
    explicit SourceIndex(std::string_view text);

    // The line and column of the byte at `offset` (past the end: of the
    // end). Walks forwards from the offset asked for last, so offsets asked
    // in file order read the text once; an earlier offset is found from
    // the line starts once they are known, from the start before.
    LineColumn at(std::size_t offset);
    // The position of `offset` at or after `from`, whose position is
    // `place`; the walk is not kept (a range's end, which the next range
    // may start before).
    LineColumn after(LineColumn place, std::size_t from, std::size_t offset) const;

    // Line `number` without its line feed and a carriage return before it,
    // the byte-order mark left out; empty past the last line. The line
    // starts are found when first asked for (4 bytes a line).
    std::string_view line(std::uint32_t number);
    // The byte offset at which line(number) starts (after the byte-order
    // mark on line 1); the text's size past the last line.
    std::size_t line_start(std::uint32_t number);

private:
    void find_starts();

    std::string_view text_;
    std::size_t first_;                  // 3 after a byte-order mark, else 0
    std::size_t at_;                     // the offset asked for last
    LineColumn place_;                   // its position
    std::vector<std::uint32_t> starts_;  // of every line, once asked for
};

}  // namespace vora
