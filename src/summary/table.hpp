// The console drawing of a table of text cells: a double frame, single lines
// between columns and rows, cells left-aligned and padded with spaces, widths
// counted in Unicode scalar values. The summary draws its tables with a
// TableForm; the tests draw the same tables cell by cell with a reference
// (tests/support/table_cells.hpp).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/output.hpp"

namespace vora {

// A table drawn many times whose cells stay the same except in one column,
// the open column: everything else is laid out and drawn once, when the
// form is made. A row may come in several variants (cells that differ in a
// fixed column, say "Yes" or "No"), one of which each drawing picks.
//
// Each drawing (FormCells) gives every row its open cell and its variant,
// and is drawn as the tests' reference render draws the Table of the same
// cells:
//
//                 fixed    open column    fixed
//               ┌───┴───┐┌──────┴──────┐┌──┴──┐
//   rules_[0]   ╔═══════╤═══════════════╤═════╗⏎     top rule
//   row 0       ║Key    │Value          │Set? ║⏎     one variant (the heading)
//   rules_[1]   ╟───────┼───────────────┼─────╢⏎     middle rule, between rows
//   row 1       ║dtype  │int8           │No   ║⏎  ┐  variant 1 of ["Yes", "No"]:
//               ║       │second line    │     ║⏎  ┘  the `blank_` line: below
//   rules_[1]   ╟───────┼───────────────┼─────╢⏎     the fixed cells, the open
//   row 2       ║float  │1.5            │Yes  ║⏎     cell's further lines
//   rules_[2]   ╚═══════╧═══════════════╧═════╝      bottom rule (no ⏎)
//
// Each line, rules too, is two Parts in text_ around the open cell:
//
//   ║dtype  │int8           │No   ║⏎     a row's line
//   └before─┘└──┘└─padding─┘└after─┘
//             open cell: drawn each time; the padding is the end of the
//             kPadRoom spaces that precede `after` in text_, copied with it
//   ╟───────┼───────────────┼─────╢⏎     a rule
//   └before─┘└────fill─────┘└after─┘
//             the start of the kFillRoom fill characters that follow
//             `before` in text_, copied with it
class TableForm {
public:
    // A form of `columns` columns (at least one) whose column `open_column`
    // is open.
    TableForm(std::size_t columns, std::size_t open_column);

    // Adds the next row in one or more variants, each the texts of the row's
    // cells (a short variant is completed with empty cells; its text in the
    // open column is not used).
    void add_row(std::span<const std::vector<std::string_view>> variants);
    void add_row(std::initializer_list<std::vector<std::string_view>> variants);

    // Lays out and draws the fixed parts; call once, after the last row.
    // Throws InternalFault("table cannot be empty") without rows, and
    // InternalFault when a fixed column's width would depend on the
    // variants picked (every fixed column must have a cell, such as a
    // heading, at least as wide as every variant's cell).
    void finish();

private:
    friend class FormCells;

    // The drawn bytes, in text_, before and after the open cell of one line
    // of a row variant (frame line, fixed cells and column lines, then the
    // line feed) or of a rule (corners, junctions and fill runs).
    struct Parts {
        std::size_t before;
        std::size_t before_size;
        std::size_t after;
        std::size_t after_size;
    };
    // The lines of one row variant: parts_[first, first + height). In text_
    // the variant's lines follow one another, the after part of one line
    // directly followed by the before part of the next, and are preceded by
    // a copy of the middle rule's after part (`head`) and followed by one of
    // its before part (`tail`) and fill. Spaces precede each after part:
    // a drawing copies the padding of an open cell and the fixed bytes up to
    // the next open cell at once.
    struct Variant {
        std::size_t first;
        std::size_t height;
        std::size_t size;  // bytes of its `height` lines without the open cell
        std::size_t head;
        std::size_t tail;
    };
    // A row's variants: variants_[first, first + count).
    struct RowVariants {
        std::size_t first;
        std::size_t count;
    };

    std::size_t columns_;
    std::size_t open_;
    bool finished_ = false;
    std::vector<std::vector<std::string>> cells_;  // texts of each row variant until finish()
    std::vector<RowVariants> rows_;
    std::vector<Variant> variants_;
    std::vector<Parts> parts_;
    Parts blank_{};  // a line of a row below its fixed cells
    // Top, middle, bottom; the after parts of the top and middle rules end
    // with the line feed.
    Parts rules_[3]{};
    std::string text_;
};

// One drawing of a TableForm: the open cell and variant of each row, in
// order. An object kept between drawings keeps its buffers; texts given by
// view, and the form, must outlive the drawing.
class FormCells {
public:
    void start(const TableForm& form);

    // Gives the next row its open cell and picks its variant.
    void add(std::string_view text, std::size_t variant = 0);
    // Gives the next row the open cell that `write(std::string&)` appends to
    // a store the object owns; `size`, when known, is the text's: the store
    // grows by that much at once.
    template <class Write>
    void add_written(Write&& write, std::size_t variant = 0, std::size_t size = 0) {
        const std::size_t from = store_.size();
        if (size > 0) store_.reserve(from + size);
        write(store_);
        add_open(std::string_view(store_).substr(from), variant, false, from);
    }

    // The size in bytes of the drawing. Call once every row has its cell;
    // throws InternalFault when rows are missing or the form is not finished.
    std::size_t drawn_size();
    // Appends the drawing: exactly drawn_size() bytes. Call drawn_size() first.
    void draw_into(std::string& out) const;
    // Puts exactly drawn_size() bytes into `out`, line by line as drawn.
    void draw(Sink& out) const;
    std::size_t held() const noexcept {
        return store_.capacity() + lines_.capacity() * sizeof(Line) + rows_.capacity() * sizeof(Row);
    }

private:
    // A drawn line of an open cell: `size` bytes at `data` (a caller's text)
    // or, with `data` null, at `offset` in the store (a stored text or a
    // line whose whitespace was replaced), `width` scalar values wide.
    struct Line {
        const char* data;
        std::size_t offset;
        std::size_t size;
        std::size_t width;
    };
    // A row: its variant (an index into the form's variants), the lines of
    // its open cell, `line` and then lines_[first, first + count - 1), and
    // how many lines it draws.
    struct Row {
        std::size_t variant;
        Line line;
        std::size_t first;
        std::size_t count;
        std::size_t height;
    };

    // Adds the next row with its open cell; `by_view`: `text` is the
    // caller's, else it lies at `offset` in the store.
    void add_open(std::string_view text, std::size_t variant, bool by_view, std::size_t offset);
    // add_open of a text that is not one plain line, its variant picked.
    void add_lines(std::string_view text, std::size_t picked, bool by_view, std::size_t offset);

    const TableForm* form_ = nullptr;
    std::vector<Row> rows_;
    std::vector<Line> lines_;
    std::string store_;
    std::size_t open_width_ = 0;
    std::size_t fixed_ = 0;  // bytes of the rows without the open cells' lines and padding
    std::size_t extra_ = 0;  // bytes beyond one per scalar value in the open cells
    std::size_t drawn_lines_ = 0;
    std::size_t size_ = 0;
};

}  // namespace vora
