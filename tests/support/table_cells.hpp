// The tests' reference drawing of a table: a Table of owned cells, or its
// cells given one by one to TableCells, drawn whole. TableForm, which the
// summary draws with, must draw the same bytes for the same cells.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/output.hpp"
#include "summary/table.hpp"

namespace vora {

struct Cell {
    std::string text;
};

// A row may hold fewer cells than the table has columns; a missing cell is
// drawn as an empty one.
struct Row {
    std::vector<Cell> cells;
};

// A column carries no data; the number of columns is what counts.
struct Col {};

struct Table {
    std::vector<Col> cols;
    std::vector<Row> rows;

    // Appends one row with one cell per text, adding columns while the table
    // has fewer columns than the row has cells.
    void add_row(std::vector<std::string> texts);
    void add_row(std::span<const std::string_view> texts);
    void add_row(std::initializer_list<std::string_view> texts);
};

// The drawing of the whole table as UTF-8 text, lines separated by a line
// feed, ending with the bottom-right corner (no trailing line feed). Throws
// InternalFault("table cannot be empty") for a table without rows or columns.
//
// A cell is drawn as the lines of its text: split at line feeds, a carriage
// return directly before a line feed dropped, no further line after a final
// line feed, and at least one (empty) line. In each line every whitespace
// character that directly follows a non-whitespace character is drawn as one
// space.
std::string render(const Table& table);

// The cells of one drawing, given row by row without building a Table: what
// render draws for a Table of the same texts, drawn straight into a caller's
// buffer. An object kept between drawings keeps its buffers. Texts given by
// view must outlive the drawing.
class TableCells {
public:
    // Forgets every cell and starts a table of `columns` columns.
    void start(std::size_t columns);

    // Adds the next cell, rows filled left to right.
    void add(std::string_view text);

    // The size in bytes of the drawing (as render would return it), which
    // lays the table out. Call once all cells are added; a last row left
    // short is drawn with empty cells. Throws InternalFault("table cannot be
    // empty") without rows or columns.
    std::size_t drawn_size();
    // Appends the drawing: exactly drawn_size() bytes. Call drawn_size() first.
    void draw_into(std::string& out) const;
    // Puts exactly drawn_size() bytes into `out`, line by line as drawn.
    void draw(Sink& out) const;
    // The bytes its buffers hold, kept for the next drawing.
    std::size_t held() const noexcept {
        return rewritten_.capacity() + lines_.capacity() * sizeof(Line) + cells_.capacity() * sizeof(CellLines);
    }

private:
    // Where a drawn line's bytes are: in a caller's text (`data`), or, with
    // `data` null until drawn_size() sets it, at `offset` in the buffer of
    // rewritten lines, which may still move while cells are added.
    struct Line {
        const char* data;
        std::size_t offset;
        std::size_t size;
        std::size_t width;
    };
    // A cell's lines: lines_[first, first + count).
    struct CellLines {
        std::size_t first;
        std::size_t count;
    };

    std::size_t columns_ = 0;
    std::vector<Line> lines_;
    std::vector<CellLines> cells_;
    std::string rewritten_;  // lines whose whitespace was replaced
    std::vector<std::size_t> widths_;
    std::vector<std::size_t> heights_;
    std::size_t size_ = 0;
};

}  // namespace vora
