// A table of text cells and its console drawing: a double frame, single
// lines between columns and rows, cells left-aligned and padded with spaces,
// widths counted in Unicode scalar values.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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
std::string render(const Table& table);

}  // namespace vora
